# Debian packages of the three install components, built by `cpack` in the build folder:
#   libplinth<major>   the shared library
#   libplinth-dev      headers, link name, CMake package and pkg-config file
#   plinth-tool        the plinth command-line tool
# Included when PLINTH_PACKAGE is on: by default only when Plinth is the top-level project, since
# CPack writes its configuration into the top-level build folder. `lintian` finds no error in them.
set(PLINTH_PACKAGE_MAINTAINER "Plinth maintainers <plinth@maintainers.invalid>"
  CACHE STRING "Maintainer named in the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plinth)
set(CPACK_PACKAGE_VENDOR "VORNE")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PLINTH_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The debugging information goes into -dbgsym packages (.ddeb), where debuggers look for it by build
# id, as for Debian's own packages: lldb then reads a crash dump of the packaged programs.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(PLINTH_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
# Component dependencies become package dependencies on the exact same version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)

# Each package's description: its own summary line, then the long description in lines of at most
# 80 characters, in paragraphs. (No package-wide CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put that in front
# of every package's own.)
set(plinth_about "Plinth is the shared C++ utility library of the Melvo audio product line:
loggers, byte buffers and their pool, WAVE files, strings and versions,
application information, crash dumps, file checksums and safe copies, timers
and state machines.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libplinth${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Melvo audio utility library - shared library
${plinth_about}

This package holds the shared library that the product line's programs load.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# A shlibs file, for packages built against this one: any later release of the same major
# version serves a program built against this one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is brought up to date by libc's ldconfig trigger. (CPack still adds maintainer
# scripts that call ldconfig themselves, which lintian only warns about.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/triggers")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libplinth-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Melvo audio utility library - development files
${plinth_about}

This package holds what a program needs to be built against the library: the
headers, the link name, the CMake package and the pkg-config file.")
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
set(CPACK_DEBIAN_TOOL_DESCRIPTION "Melvo audio file tool - CRC-32, safe copy, WAVE facts
${plinth_about}

This package holds the plinth command: CRC-32 checksums of files, copies that
never leave a half-written destination, the facts of a WAVE file, and version
comparisons.")
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
# The tool's own library is in a sibling package: dpkg-shlibdeps finds it in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src")

# The packaged tool finds the library in the system's library folder, where a search path of its
# own (the RUNPATH that lets an installed tree be moved) is not allowed: it goes from the packages.
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/debian/RemoveRunpath.cmake")

# Each package's changelog, the one of a native Debian package. Its newest entry must be this
# version's.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/debian/changelog" plinth_changelog_top LIMIT_COUNT 1)
if(NOT plinth_changelog_top MATCHES "^plinth \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: its newest entry is not version ${PROJECT_VERSION}: "
    "${plinth_changelog_top}")
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/changelog" "${PROJECT_BINARY_DIR}/debian/changelog" COPYONLY)
execute_process(COMMAND gzip -9nc "${PROJECT_BINARY_DIR}/debian/changelog"
  OUTPUT_FILE "${PROJECT_BINARY_DIR}/debian/changelog.gz" RESULT_VARIABLE plinth_gzip_result)
if(NOT plinth_gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip failed on the packages' changelog")
endif()

# Each package's copyright file: the owner's notice, followed by the notices of the code compiled
# into the package from other projects' headers (spdlog and fmt into the library and the tool,
# CLI11 into the tool), taken from their Debian packages. Only the packages carry these files and
# the changelog: they are left out of a plain `cmake --install`.
function(plinth_debian_docs component package)
  file(READ "${CMAKE_CURRENT_LIST_DIR}/debian/copyright" text)
  foreach(source IN LISTS ARGN)
    set(notice "/usr/share/doc/${source}/copyright")
    if(EXISTS "${notice}")
      file(READ "${notice}" sourceText)
      string(APPEND text "\n-- The code of ${source}, compiled in from its headers, comes under this notice:\n\n"
        "${sourceText}")
    else()
      string(APPEND text "\nContains code of ${source}: see the copyright file of its Debian package.\n")
    endif()
  endforeach()
  set(file "${PROJECT_BINARY_DIR}/debian/${package}/copyright")
  file(WRITE "${file}" "${text}")
  install(FILES "${file}" "${PROJECT_BINARY_DIR}/debian/changelog.gz"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
plinth_debian_docs(runtime "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}" libspdlog-dev libfmt-dev)
plinth_debian_docs(dev "${CPACK_DEBIAN_DEV_PACKAGE_NAME}")
if(PLINTH_BUILD_TOOLS)
  plinth_debian_docs(tool "${CPACK_DEBIAN_TOOL_PACKAGE_NAME}" libspdlog-dev libfmt-dev libcli11-dev)
endif()

include(CPack)
