# Script for the consumer tests. One host project (consumer/) is built and run each way a host
# takes the library:
#   MODE=packages    build the Debian packages, check them (with lintian too), unpack them into an
#                    empty root as dpkg would install them, and build the consumer against them
#                    with CMake and with pkg-config; run the tool from its package
#   MODE=subproject  build the consumer with Plinth's source tree as its subproject
cmake_minimum_required(VERSION 3.21)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGV}\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

function(build_and_run_consumer)
  run("${CMAKE_COMMAND}" -S "${CONSUMER_DIR}" -B "${WORK_DIR}/consumer" -G "${GENERATOR}"
      "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}" ${ARGV})
  set(output "${output}" PARENT_SCOPE)
  run("${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer")
  run("${WORK_DIR}/consumer/consumer")
  run("${WORK_DIR}/consumer/consumer_with_compiled_spdlog")
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")

if(MODE STREQUAL "subproject")
  # A parent that builds static libraries and sets no build type; Plinth's library is shared all
  # the same, and says why.
  build_and_run_consumer("-DPLINTH_SOURCE_DIR=${SOURCE_DIR}" -DBUILD_SHARED_LIBS=OFF)
  if(NOT output MATCHES "Plinth: built as a shared library all the same \\(BUILD_SHARED_LIBS is OFF\\): its logger registry")
    message(FATAL_ERROR "no word on why the library stays shared:\n${output}")
  endif()
  # Nothing of Plinth joins the parent's install.
  run("${CMAKE_COMMAND}" --install "${WORK_DIR}/consumer" --prefix "${WORK_DIR}/installed")
  file(GLOB_RECURSE installed "${WORK_DIR}/installed/*")
  if(installed)
    message(FATAL_ERROR "the parent's install holds Plinth's files: ${installed}")
  endif()
  file(REMOVE_RECURSE "${WORK_DIR}")
  message(STATUS "a host builds Plinth as its subproject")
  return()
endif()

run("${CPACK}" --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/debs")
set(packages libplinth1 libplinth-dev)
if(WITH_TOOL)
  list(APPEND packages plinth-tool)
endif()
set(root "${WORK_DIR}/root")
set(debs)
set(summaries)
foreach(package IN LISTS packages)
  file(GLOB deb "${WORK_DIR}/debs/${package}_*.deb")
  list(APPEND debs "${deb}")
  set(${package}_deb "${deb}")
  run(dpkg-deb -x "${deb}" "${root}")
  if(NOT EXISTS "${root}/usr/share/doc/${package}/copyright")
    message(FATAL_ERROR "${package} has no copyright file")
  endif()
  run(dpkg-deb --field "${deb}" Description)
  string(REGEX REPLACE "\n.*" "" summary "${output}")
  if(summary IN_LIST summaries)
    message(FATAL_ERROR "${package} has the summary of another package: ${summary}")
  endif()
  list(APPEND summaries "${summary}")
endforeach()

# Debian's own checks of the packages: no error.
run(lintian --fail-on error ${debs})

set(prefix "${root}/usr")
set(libdir "${prefix}/${LIBDIR}")
if(NOT EXISTS "${libdir}/libplinth.so.1")
  message(FATAL_ERROR "the library is not in ${LIBDIR}")
endif()
# Packages built against the library accept any later release of the same major version.
run(dpkg-deb --info "${libplinth1_deb}" shlibs)
if(NOT output STREQUAL "libplinth 1 libplinth1 (>= ${VERSION})\n")
  message(FATAL_ERROR "unexpected shlibs file: ${output}")
endif()

build_and_run_consumer("-DCMAKE_PREFIX_PATH=${prefix}")

# The same host through pkg-config, which finds the unpacked tree from the file's own place.
set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
run(pkg-config --cflags --libs plinth)
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
run("${CXX}" -std=c++17 ${consumer_flags} "${CONSUMER_DIR}/main.cpp" ${flags} "-Wl,-rpath,${libdir}"
    -o "${WORK_DIR}/pkg-config-consumer")
run("${WORK_DIR}/pkg-config-consumer")

# The packaged tool carries no search path of its own: the loader finds the library in the
# system's library folder, here the unpacked one.
if(WITH_TOOL)
  file(READ_ELF "${prefix}/bin/plinth" RUNPATH runpath RPATH rpath)
  if(runpath OR rpath)
    message(FATAL_ERROR "the packaged tool searches ${runpath}${rpath} for libraries")
  endif()
  set(ENV{LD_LIBRARY_PATH} "${libdir}")
  run("${prefix}/bin/plinth" version compare 1.9 1.10)
  if(NOT output STREQUAL "<\n")
    message(FATAL_ERROR "the packaged tool answered: ${output}")
  endif()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "the Debian packages pass lintian and build and run a consumer")
