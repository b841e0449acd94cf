# The Debian package: `cpack -G DEB` in a build folder makes tolvane-scheduler_<version>_<arch>.deb
# with the runtime, the component, its manifest and texts, the headers, tolvane-regsvr,
# tolvane-scheduler and its systemd user unit. Installing the package registers libScheduler.so
# machine-wide; removing it removes the registration.
set(CPACK_PACKAGE_NAME tolvane-scheduler)
set(CPACK_PACKAGE_VENDOR Tolvane)
set(CPACK_PACKAGE_CONTACT "Tolvane developers <tolvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}: scheduled file copies, the component and its runtime")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(TOLVANE_PACKAGE_LIBDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(TOLVANE_PACKAGE_BINDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
foreach(script postinst prerm triggers)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${PROJECT_BINARY_DIR}/debian/${script} @ONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
