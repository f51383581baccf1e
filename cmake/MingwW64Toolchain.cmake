# Cross-compiles for 64-bit Windows with Debian's mingw-w64 compilers (the posix-threads flavour,
# so that std::thread and std::mutex work) and runs what it builds under wine.
#
# The Windows builds of the dependencies live in one prefix, prepared by scripts/windows-deps:
# .deps/windows/prefix beside this folder, or $PLINTH_WINDOWS_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(DEFINED ENV{PLINTH_WINDOWS_PREFIX})
  set(plinth_windows_prefix "$ENV{PLINTH_WINDOWS_PREFIX}")
else()
  get_filename_component(plinth_windows_prefix "${CMAKE_CURRENT_LIST_DIR}/../.deps/windows/prefix" ABSOLUTE)
endif()

# Only the cross compiler's own files and the prefix: never the build machine's /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${plinth_windows_prefix}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread are linked in, so that programs start under wine without
# the compiler's DLLs on a search path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# Test programs are listed when CTest runs, under wine, rather than by every build.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
