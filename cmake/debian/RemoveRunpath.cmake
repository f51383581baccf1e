# Run by CPack after it has installed the packages' files into its staging folder: the packaged
# plinth tool loses the RUNPATH that points it at the library's folder relative to its own. In the
# packages the library lies in the system's library folder, where the loader looks anyway.
file(GLOB tools "${CPACK_TEMPORARY_DIRECTORY}/*/usr/bin/plinth")
foreach(tool IN LISTS tools)
  file(RPATH_REMOVE FILE "${tool}")
endforeach()
