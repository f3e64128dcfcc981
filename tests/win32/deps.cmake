# The layer's internal helpers are tested directly; OpenSSL is the independent SHA-1 oracle.
find_package(OpenSSL REQUIRED)
target_include_directories(win32_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform/win32/src)
target_link_libraries(win32_tests PRIVATE OpenSSL::Crypto)
