# The layer resolves DOS names through hostns and hashes with Crypto++.
find_library(LOCKBIN_CRYPTOPP_LIBRARY NAMES cryptopp crypto++ REQUIRED)
find_path(LOCKBIN_CRYPTOPP_INCLUDE cryptopp/sha.h REQUIRED)
target_include_directories(win32 PRIVATE ${LOCKBIN_CRYPTOPP_INCLUDE})
target_link_libraries(win32 PUBLIC hostns PRIVATE ${LOCKBIN_CRYPTOPP_LIBRARY})
# The HTTP client interface runs over libcurl.
find_package(CURL REQUIRED)
target_link_libraries(win32 PRIVATE CURL::libcurl)
