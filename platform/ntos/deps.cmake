# --- disk bridge (volume): libfuse3 for the block files under R/disks ---
find_package(PkgConfig REQUIRED)
pkg_check_modules(LOCKBIN_FUSE3 REQUIRED IMPORTED_TARGET fuse3)
target_link_libraries(ntos PUBLIC PkgConfig::LOCKBIN_FUSE3)
# --- end disk bridge ---
# --- mount manager and drive publishing (mount): the DOS namespace on the host ---
target_link_libraries(ntos PUBLIC hostns)
# --- end mount manager ---
