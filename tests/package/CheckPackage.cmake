# Script for the package test: build the Debian packages, unpack the library's two (runtime and
# -dev) into an empty root, build the consumer against them with CMake and with pkg-config, run
# both, and run the tool from its own package.
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGV}\n${output}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
run("${CPACK}" --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/debs")
set(root "${WORK_DIR}/root")
set(packages libplinth1 libplinth-dev)
if(WITH_TOOL)
  list(APPEND packages plinth-tool)
endif()
foreach(package IN LISTS packages)
  file(GLOB deb "${WORK_DIR}/debs/${package}_*.deb")
  run(dpkg-deb -x "${deb}" "${root}")
endforeach()
set(prefix "${root}/usr")

run("${CMAKE_COMMAND}" -S "${CONSUMER_DIR}" -B "${WORK_DIR}/consumer" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer")
run("${WORK_DIR}/consumer/consumer")
run("${WORK_DIR}/consumer/state_machine_host")

# The same host through pkg-config, which finds the unpacked tree from the file's own place.
set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
execute_process(COMMAND pkg-config --cflags --libs plinth RESULT_VARIABLE result OUTPUT_VARIABLE flags
                ERROR_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know plinth: ${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
run("${CXX}" -std=c++17 ${consumer_flags} "${CONSUMER_DIR}/main.cpp" ${flags} "-Wl,-rpath,${prefix}/lib"
    -o "${WORK_DIR}/pkg-config-consumer")
run("${WORK_DIR}/pkg-config-consumer")

# The tool finds the library beside it, wherever the tree lies.
if(WITH_TOOL)
  execute_process(COMMAND "${prefix}/bin/plinth" version compare 1.9 1.10 RESULT_VARIABLE result
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT output STREQUAL "<\n")
    message(FATAL_ERROR "the packaged tool failed (${result}): ${output}")
  endif()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "the Debian packages build and run a consumer")
