# Installation layout and the Debian package.
#
# The default prefix is /usr: polkit reads actions only from /usr/share/polkit-1/actions, and
# the unit, the policy and the package name their programs by the prefix they were configured
# with, so the package is built from a tree configured with the prefix it installs to.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)
# cpack installs what is built and builds nothing: the package test runs it while other tests
# of the same tree run.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lockbin)
set(CPACK_PACKAGE_VENDOR Lockbin)
set(CPACK_PACKAGE_CONTACT "Lockbin maintainers <maintainers@lockbin.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "File vault: encrypted container files opened as drives")
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps files in vaults, each an encrypted container file that the vault service zelvirdk\n"
    "presents as an NTFS drive while it is open. Includes the manager, lockbinctl, drvlog and\n"
    "the updater. The container format is kept for compatibility with existing vaults; it is\n"
    "not a modern disk encryption (see the README).")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries (Qt, libcurl, Crypto++, libfuse3, pugixml) come from dpkg-shlibdeps; the
# programs the service and the manager start, and what Qt loads at run time, are listed here.
find_program(LOCKBIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(LOCKBIN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(lockbin_depends ntfs-3g fuse3 fuseiso)
if(LOCKBIN_GUI)
    list(APPEND lockbin_depends fonts-noto-cjk qt6-qpa-plugins libqt6svg6 pkexec xdg-utils)
endif()
if(NOT LOCKBIN_DPKG_SHLIBDEPS)
    list(APPEND lockbin_depends libcurl4 libfuse3-3)
endif()
list(JOIN lockbin_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
foreach(script postinst prerm)
    configure_file(cmake/debian/${script}.in ${PROJECT_BINARY_DIR}/debian/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/prerm
    ${PROJECT_SOURCE_DIR}/cmake/debian/postrm ${PROJECT_SOURCE_DIR}/cmake/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
