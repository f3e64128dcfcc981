# OpenSSL is the independent SHA-1 oracle of the key derivation tests.
find_package(OpenSSL REQUIRED)
target_link_libraries(manager_tests PRIVATE OpenSSL::Crypto)
# The win32 tests' temporary drive T: (test_root.h) serves the manager's tests of paths too.
target_include_directories(manager_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/win32)
