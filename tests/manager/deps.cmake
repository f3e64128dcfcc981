# OpenSSL is the independent SHA-1 oracle of the key derivation tests.
find_package(OpenSSL REQUIRED)
target_link_libraries(manager_tests PRIVATE OpenSSL::Crypto)
