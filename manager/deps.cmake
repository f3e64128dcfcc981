# The XML store is built over pugixml.
find_package(pugixml REQUIRED)
target_link_libraries(manager_core PUBLIC pugixml::pugixml)
# The password backup file is encrypted with Crypto++'s AES-GCM.
find_library(LOCKBIN_CRYPTOPP_LIBRARY NAMES cryptopp crypto++ REQUIRED)
find_path(LOCKBIN_CRYPTOPP_INCLUDE cryptopp/gcm.h REQUIRED)
target_include_directories(manager_core PRIVATE ${LOCKBIN_CRYPTOPP_INCLUDE})
target_link_libraries(manager_core PRIVATE ${LOCKBIN_CRYPTOPP_LIBRARY})
