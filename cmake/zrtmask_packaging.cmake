# Debian packages from the install components, with CPack's DEB generator:
#   cmake -S . -B build/package -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build/package
#   (cd build/package && cpack -G DEB)
# gives libzrtmask0 (the shared library), libzrtmask-dev (headers, CMake package, pkg-config file,
# the unversioned .so link) and zrtmask (the tool and its manual page). Dependencies on other
# packages come from dpkg-shlibdeps; those between the three from the components' own.
set(CPACK_PACKAGE_NAME zrtmask)
set(CPACK_PACKAGE_VENDOR "zrtmask developers")
set(CPACK_PACKAGE_CONTACT "zrtmask developers <zrtmask@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")

set(CPACK_COMPONENTS_ALL runtime dev)
if(ZRTMASK_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The library is the tool's own: dpkg-shlibdeps finds it in the package being built.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libzrtmask${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "The shared library: the template class and the HTML item scanner.")
# A shlibs file, so that what links the library depends on this package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME "libzrtmask-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Development files: headers, CMake package and pkg-config file.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zrtmask)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION web)
# --diff runs diff(1).
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS diffutils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "The command-line tool: queries, rewrites and checks templates from the shell.")

include(CPack)
