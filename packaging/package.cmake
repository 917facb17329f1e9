# The Debian package, built by CPack's DEB generator: scripts/package.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/strip.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Dorvane developers <maintainers@users.noreply.c-seed-1b248f92.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "map the paths in a CMake file API reply to the host")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "When CMake runs inside a build container or cross environment, the file
API reply it writes names files as that environment saw them: system
directories such as /usr/include, perhaps behind a cross toolchain's
root, and the workspace under /workspace.
.
Dorvane runs in the build directory with a sysroot path and a workspace
path, and rewrites every reply file in place, and on request the
compilation database, so that IDEs, clangd and scripts on the host find
the same files. Files are replaced atomically, runs in one build
directory take turns, each file is mapped once for the paths given,
and a run with other paths maps every file again from what CMake
wrote.")
include(CPack)
