# OpenSSL is the independent oracle for the sector transform; the driver itself never links it.
find_package(OpenSSL REQUIRED)
target_link_libraries(driver_tests PRIVATE OpenSSL::Crypto)
