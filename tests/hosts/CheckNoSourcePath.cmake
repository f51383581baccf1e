# Fails when the library holds the absolute path of the source tree it was built from.
file(STRINGS "${LIBRARY}" texts)
foreach(text IN LISTS texts)
  string(FIND "${text}" "${SOURCE_DIR}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "libplinth holds the build machine's source path: ${text}")
  endif()
endforeach()
message(STATUS "libplinth holds no absolute source path")
