# Runs the exit-time host: it must exit 0, and the hand-back refused after main must reach its sink.
# Its buffer is the first the process makes, so it carries identity number 0.
# EMULATOR runs a cross-built host (wine for the Windows build); empty for a native one.
execute_process(COMMAND ${EMULATOR} "${HOST}" OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the host ended with '${result}'\n${output}${errors}")
endif()
if(NOT output MATCHES "vorn\\.Plinth\\.BufferQueue: Tried to recycle buffer 0 which was never in use\r?\n$")
  message(FATAL_ERROR "the refusal after main did not reach the host's sink:\n${output}${errors}")
endif()
message(STATUS "the host logged through the library from its global destructors")
