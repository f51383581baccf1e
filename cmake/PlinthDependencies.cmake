# Finds the Debian packages the library is built from.
find_package(Threads REQUIRED)
# The library carries a private, header-only copy of spdlog (see src/CMakeLists.txt); hosts must
# use this exact version so that the loggers they hand over have the layout the library expects.
find_package(spdlog 1.10.0 EXACT CONFIG REQUIRED)
find_package(fmt 9 CONFIG REQUIRED)
find_package(Boost 1.74 CONFIG REQUIRED COMPONENTS filesystem system thread chrono date_time)
# ISA-L, the CRC engine of the file checksums; linked privately, so hosts need not find it. Debian
# ships it for Linux only: the Windows build uses the library's own table-driven engine.
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ISAL REQUIRED IMPORTED_TARGET libisal)
endif()
