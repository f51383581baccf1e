# Installs the headers, the library and a relocatable CMake package:
#   find_package(Plinth CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE Plinth::Plinth)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PLINTH_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Plinth")

install(TARGETS plinth EXPORT PlinthTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/Plinth" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(FILES "${PROJECT_BINARY_DIR}/include/Plinth/Export.h" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/Plinth")

install(EXPORT PlinthTargets NAMESPACE Plinth:: DESTINATION "${PLINTH_CMAKE_DIR}")
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/PlinthConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/PlinthConfig.cmake"
  INSTALL_DESTINATION "${PLINTH_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/PlinthConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/PlinthConfig.cmake" "${PROJECT_BINARY_DIR}/PlinthConfigVersion.cmake"
  DESTINATION "${PLINTH_CMAKE_DIR}")
