# Installation and the Debian package.
#
# Everything the programs need at run time goes into one directory,
# <prefix>/lib/varnock: the programs, the resource library and the two
# settings files, which the programs look for beside themselves. <prefix>/bin
# gets links to the programs (they find their directory through the link).
set(VARNOCK_INSTALL_DIR lib/varnock)

set(VARNOCK_PROGRAMS)
foreach(program varnock varnockd varnock-plcsim varnock-host)
  if(TARGET ${program})
    list(APPEND VARNOCK_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${VARNOCK_PROGRAMS} RUNTIME DESTINATION ${VARNOCK_INSTALL_DIR})
install(TARGETS varnock_res_en LIBRARY DESTINATION ${VARNOCK_INSTALL_DIR})
# varnock-host finds the library it preloads beside itself.
if(TARGET varnock-host)
  install(TARGETS varnock_host_preload LIBRARY DESTINATION ${VARNOCK_INSTALL_DIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/settings/samples/Varnock.ini ${PROJECT_SOURCE_DIR}/settings/samples/Varnock_setting.ini
        DESTINATION ${VARNOCK_INSTALL_DIR})
foreach(program IN LISTS VARNOCK_PROGRAMS)
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
    file(CREATE_LINK ../${VARNOCK_INSTALL_DIR}/${program} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\" SYMBOLIC)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\")")
endforeach()

if(TARGET varnockd)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/varnockd.service DESTINATION lib/systemd/user)
endif()
if(TARGET varnock_ui_qt)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/varnock.desktop DESTINATION share/applications)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/varnock.svg DESTINATION share/icons/hicolor/scalable/apps)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/varnock)

# cmake --build <build> --target package, or cpack in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnock)
set(CPACK_PACKAGE_VENDOR "Varnock")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge between PLC programming software and PLCs")
set(CPACK_PACKAGE_DESCRIPTION
    "Varnock gives PLC programming software virtual serial ports and carries what it writes to the PLC over a serial line, USB or Ethernet, and the replies back.")
set(CPACK_PACKAGE_CONTACT "Varnock developers <varnock@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The settings files are the installation's configuration: an upgrade keeps
# the channels the program has saved.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles
     "/usr/${VARNOCK_INSTALL_DIR}/Varnock.ini\n/usr/${VARNOCK_INSTALL_DIR}/Varnock_setting.ini\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
include(CPack)

if(VARNOCK_BUILD_TESTS)
  add_test(NAME package_deb COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-deb.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(package_deb PROPERTIES LABELS package TIMEOUT 300)
endif()
