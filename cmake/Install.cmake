# Install rules: the runtime library, its public headers, an exported CMake package and a
# pkg-config file, so host projects can find_package(Tolvane) or use pkg-config.
include(CMakePackageConfigHelpers)

install(TARGETS comrt comrt_support EXPORT TolvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/comrt DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The component's public headers: the type library, the archive and the host interfaces.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
if(TARGET Scheduler)
  install(TARGETS Scheduler LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # The component finds its language texts in this folder beside the library.
  install(DIRECTORY ${TOLVANE_TEXTS_DIR}/ DESTINATION ${CMAKE_INSTALL_LIBDIR}/scheduler-texts
    FILES_MATCHING PATTERN "*.res")
  install(FILES ${PROJECT_SOURCE_DIR}/server/Scheduler.manifest DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT TolvaneTargets NAMESPACE Tolvane:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tolvane)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TolvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TolvaneConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tolvane)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TolvaneConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TolvaneConfig.cmake ${PROJECT_BINARY_DIR}/TolvaneConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tolvane)

configure_file(${PROJECT_SOURCE_DIR}/cmake/comrt.pc.in ${PROJECT_BINARY_DIR}/comrt.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/comrt.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
