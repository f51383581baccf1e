# Installs the headers, the library, a relocatable CMake package and a pkg-config file:
#   find_package(Plinth CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE Plinth::Plinth)
# or
#   c++ app.cpp $(pkg-config --cflags --libs plinth)
# in three components, one per Debian package (see PlinthPackaging): `runtime` (the shared library),
# `dev` (headers, link name, CMake package, pkg-config file) and `tool` (the plinth tool).
# Included when PLINTH_INSTALL is on: by default only when Plinth is the top-level project.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PLINTH_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Plinth")

install(TARGETS plinth EXPORT PlinthTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT dev
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/Plinth" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT dev)
install(FILES "${PROJECT_BINARY_DIR}/include/Plinth/Export.h" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/Plinth"
  COMPONENT dev)

install(EXPORT PlinthTargets NAMESPACE Plinth:: DESTINATION "${PLINTH_CMAKE_DIR}" COMPONENT dev)
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/PlinthConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/PlinthConfig.cmake"
  INSTALL_DESTINATION "${PLINTH_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/PlinthConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/PlinthConfig.cmake" "${PROJECT_BINARY_DIR}/PlinthConfigVersion.cmake"
  DESTINATION "${PLINTH_CMAKE_DIR}" COMPONENT dev)

# pkg-config: the Boost libraries whose code the public headers call go on the link line too.
set(PLINTH_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH PLINTH_PC_PREFIX_FROM_PCDIR "/root/${PLINTH_PC_DIR}" "/root")
string(REGEX REPLACE "/$" "" PLINTH_PC_PREFIX_FROM_PCDIR "${PLINTH_PC_PREFIX_FROM_PCDIR}")
set(PLINTH_PC_BOOST_LIBS "-lboost_filesystem -lboost_thread -lboost_chrono")
configure_file("${PROJECT_SOURCE_DIR}/cmake/plinth.pc.in" "${PROJECT_BINARY_DIR}/plinth.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/plinth.pc" DESTINATION "${PLINTH_PC_DIR}" COMPONENT dev)
