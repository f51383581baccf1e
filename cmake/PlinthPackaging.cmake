# Debian packages of the three install components, built by `cpack` in the build folder:
#   libplinth<major>   the shared library
#   libplinth-dev      headers, link name, CMake package and pkg-config file
#   plinth-tool        the plinth command-line tool
# Included when PLINTH_PACKAGE is on: by default only when Plinth is the top-level project, since
# CPack writes its configuration into the top-level build folder.
set(PLINTH_PACKAGE_MAINTAINER "Plinth maintainers <plinth@maintainers.invalid>"
  CACHE STRING "Maintainer named in the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plinth)
set(CPACK_PACKAGE_VENDOR "VORNE")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Shared C++ utility library of the audio product line")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PLINTH_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(PLINTH_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
# Component dependencies become package dependencies on the exact same version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libplinth${PROJECT_VERSION_MAJOR}")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Plinth: the shared library")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# A shlibs file, for packages built against this one; only the runtime package has a library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libplinth-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Plinth: headers, CMake package and pkg-config file")
# What the installed CMake package and pkg-config file ask for: the exact spdlog and Boost the
# library was built with.
set(plinth_boost_series "${Boost_VERSION_MAJOR}.${Boost_VERSION_MINOR}")
string(JOIN ", " CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libspdlog-dev (>= 1:${spdlog_VERSION})" "libspdlog-dev (<< 1:${spdlog_VERSION}.~)"
  "libboost${plinth_boost_series}-dev"
  "libboost-filesystem${plinth_boost_series}-dev" "libboost-system${plinth_boost_series}-dev"
  "libboost-thread${plinth_boost_series}-dev" "libboost-chrono${plinth_boost_series}-dev"
  "libboost-date-time${plinth_boost_series}-dev")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME plinth-tool)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "Plinth: the plinth tool (CRC-32, safe copy, WAVE facts, versions)")
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
# The tool's own library is in a sibling package: dpkg-shlibdeps finds it in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src")

include(CPack)
