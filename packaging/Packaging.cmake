# Installation and the Debian packages.
#
# The programs, the resource library and the preload library live in
# <prefix>/lib/varnock; <prefix>/bin gets links to the programs (they find
# their directory through the link). The settings are configuration:
# Varnock.ini and the default channel file go to <prefix>/etc/varnock, /etc
# for the prefix /usr, where the programs look when nothing is beside them;
# each user then saves a channel file of their own (see SettingsManager).
#
# Two packages: varnock-bridge (varnockd, the simulator, the host launcher,
# the services; no Qt) and varnock (the desktop program).
include(GNUInstallDirs)
set(VARNOCK_INSTALL_DIR lib/varnock)

set(VARNOCK_MAINTAINER "Varnock developers <maintainers@users.noreply.c-seed-f05f4bf5.example>"
    CACHE STRING "Maintainer field of the Debian packages")

# Which package each program belongs to.
set(VARNOCK_BRIDGE_PROGRAMS)
foreach(program varnockd varnock-plcsim varnock-host)
  if(TARGET ${program})
    list(APPEND VARNOCK_BRIDGE_PROGRAMS ${program})
  endif()
endforeach()
set(VARNOCK_DESKTOP_PROGRAMS)
if(TARGET varnock_ui_qt)
  set(VARNOCK_DESKTOP_PROGRAMS varnock)
endif()

function(varnock_install_programs component)
  if(NOT ARGN)
    return()
  endif()
  install(TARGETS ${ARGN} RUNTIME DESTINATION ${VARNOCK_INSTALL_DIR} COMPONENT ${component})
  foreach(program IN LISTS ARGN)
    install(CODE "
      file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
      file(CREATE_LINK ../${VARNOCK_INSTALL_DIR}/${program} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\" SYMBOLIC)
      message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\")"
      COMPONENT ${component})
    # Manual pages, compressed as Debian wants them.
    set(page ${CMAKE_BINARY_DIR}/packaging/man/${program}.1.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
      COMMAND gzip -9n -c ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/man/${program}.1 > ${page}
      DEPENDS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/man/${program}.1)
    list(APPEND VARNOCK_MAN_PAGES ${page})
    set(VARNOCK_MAN_PAGES ${VARNOCK_MAN_PAGES} PARENT_SCOPE)
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
endfunction()
set(VARNOCK_MAN_PAGES)
varnock_install_programs(bridge ${VARNOCK_BRIDGE_PROGRAMS})
varnock_install_programs(desktop ${VARNOCK_DESKTOP_PROGRAMS})
add_custom_target(varnock_man_pages ALL DEPENDS ${VARNOCK_MAN_PAGES})

install(TARGETS varnock_res_en LIBRARY DESTINATION ${VARNOCK_INSTALL_DIR} COMPONENT bridge)
# varnock-host finds the library it preloads beside itself.
if(TARGET varnock-host)
  install(TARGETS varnock_host_preload LIBRARY DESTINATION ${VARNOCK_INSTALL_DIR} COMPONENT bridge)
endif()

# The manual that Help opens, beside the desktop program with the pictures
# it shows.
if(TARGET varnock_ui_qt)
  find_program(VARNOCK_CMARK cmark)
  if(NOT VARNOCK_CMARK)
    message(FATAL_ERROR "cmark is needed for the desktop program's manual; scripts/bootstrap installs it.")
  endif()
  file(GLOB VARNOCK_PICTURES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
  set(VARNOCK_MANUAL ${VARNOCK_OUTPUT_DIR}/VarnockToolE.html)
  add_custom_command(
    OUTPUT ${VARNOCK_MANUAL}
    COMMAND ${CMAKE_COMMAND} -DCMARK=${VARNOCK_CMARK} -DREADME=${PROJECT_SOURCE_DIR}/README.md
            -DOUTPUT=${VARNOCK_MANUAL} -P ${CMAKE_CURRENT_LIST_DIR}/Manual.cmake
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VARNOCK_OUTPUT_DIR}/docs
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VARNOCK_PICTURES} ${VARNOCK_OUTPUT_DIR}/docs/
    DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/Manual.cmake ${VARNOCK_PICTURES}
    COMMENT "The manual")
  add_custom_target(varnock_manual ALL DEPENDS ${VARNOCK_MANUAL})
  install(FILES ${VARNOCK_MANUAL} DESTINATION ${VARNOCK_INSTALL_DIR} COMPONENT desktop)
  install(FILES ${VARNOCK_PICTURES} DESTINATION ${VARNOCK_INSTALL_DIR}/docs COMPONENT desktop)
endif()

# The settings: never written over by an install (dpkg keeps changed
# conffiles itself). The directory is taken at install time, so that the
# packages' prefix /usr gives /etc.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(etc /etc/varnock)
  else()
    set(etc \${CMAKE_INSTALL_PREFIX}/etc/varnock)
  endif()
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${etc}\")
  foreach(name Varnock.ini Varnock_setting.ini)
    if(EXISTS \"\$ENV{DESTDIR}\${etc}/\${name}\")
      message(STATUS \"Kept: \$ENV{DESTDIR}\${etc}/\${name}\")
    else()
      file(COPY_FILE \"${PROJECT_SOURCE_DIR}/settings/samples/\${name}\" \"\$ENV{DESTDIR}\${etc}/\${name}\")
      message(STATUS \"Installing: \$ENV{DESTDIR}\${etc}/\${name}\")
    endif()
  endforeach()" COMPONENT bridge)

if(TARGET varnockd)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/varnockd.service DESTINATION lib/systemd/user COMPONENT bridge)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/system/varnockd.service DESTINATION lib/systemd/system
          COMPONENT bridge)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/system/varnock.sysusers DESTINATION lib/sysusers.d
          RENAME varnock.conf COMPONENT bridge)
endif()
if(TARGET varnock_ui_qt)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/varnock.desktop DESTINATION share/applications COMPONENT desktop)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/varnock.svg DESTINATION share/icons/hicolor/scalable/apps
          COMPONENT desktop)
endif()

# Each package's copyright and changelog, as Debian wants them.
set(VARNOCK_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${VARNOCK_CHANGELOG}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${VARNOCK_CHANGELOG}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(varnock_changelog ALL DEPENDS ${VARNOCK_CHANGELOG})
foreach(package IN ITEMS bridge desktop)
  set(name varnock-bridge)
  if(package STREQUAL desktop)
    set(name varnock)
  endif()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${VARNOCK_CHANGELOG} DESTINATION share/doc/${name}
          COMPONENT ${package})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/varnock-bridge COMPONENT bridge)

# cmake --build <build> --target package, or cpack in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnock)
set(CPACK_PACKAGE_VENDOR "Varnock")
set(CPACK_PACKAGE_CONTACT "${VARNOCK_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL bridge)
if(TARGET varnock_ui_qt)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME varnock-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_RECOMMENDS systemd)
# Up to 0.1.0 one package named varnock held every program.
set(CPACK_DEBIAN_BRIDGE_PACKAGE_REPLACES "varnock (<< 0.2.0)")
set(CPACK_DEBIAN_BRIDGE_PACKAGE_BREAKS "varnock (<< 0.2.0)")
set(CPACK_COMPONENT_BRIDGE_DESCRIPTION
   "bridge between PLC programming software and PLCs, without a window
Varnock gives PLC programming software virtual serial ports and carries
what it writes to the PLC over a serial line, USB or Ethernet, and the
replies back.
.
This package holds varnockd, the bridge without a window (as a user
service or as a system service for a box that serves other machines),
the PLC simulator varnock-plcsim and the host program launcher
varnock-host.")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME varnock)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "varnock-bridge (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
   "bridge between PLC programming software and PLCs
Varnock gives PLC programming software virtual serial ports and carries
what it writes to the PLC over a serial line, USB or Ethernet, and the
replies back.
.
This package holds the desktop program, a window that lists the channels
and connects, disconnects and edits them.")

# The settings are the installation's configuration; the system user is
# made (and the unit files taken) by the maintainer scripts.
configure_file(${CMAKE_CURRENT_LIST_DIR}/conffiles ${CMAKE_BINARY_DIR}/packaging/bridge/conffiles COPYONLY)
foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${script} ${CMAKE_BINARY_DIR}/packaging/bridge/${script} COPYONLY)
endforeach()
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/bridge/conffiles ${CMAKE_BINARY_DIR}/packaging/bridge/postinst
    ${CMAKE_BINARY_DIR}/packaging/bridge/postrm)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# From the normal tree only: sanitizer builds are no packages to ship.
if(VARNOCK_BUILD_TESTS AND NOT VARNOCK_SANITIZE)
  add_test(NAME package_deb COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-deb.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(package_deb PROPERTIES LABELS package TIMEOUT 600)
endif()
