# OpenSSL is the independent oracle for the ciphers; the driver itself never links it.
find_package(OpenSSL REQUIRED)
target_link_libraries(drvcomm_tests PRIVATE OpenSSL::Crypto)
