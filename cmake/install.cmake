# What `cmake --install` puts where, and the Debian package CPack builds.
#
#   /usr/bin/ZenthraSetup, zenthra-store, zenthra-catalog, zenthra-lmtpd
#   /usr/lib/zenthra/Zenthra.dll          the event sink; ZenthraSetup installs it
#                                         from the current directory, so run it there
#   /usr/share/doc/zenthra/               README, ARCHITECTURE, the window's picture
#   /usr/share/zenthra/examples/mail/     the demo's sample messages
#   /usr/lib/systemd/system/zenthra-lmtpd.{service,socket}
#                                         the LMTP delivery service, not enabled
#   /usr/share/zenthra/examples/postfix/  Postfix settings that hand mail to it
include(GNUInstallDirs)

foreach(program ZenthraSetup zenthra-store zenthra-catalog zenthra-lmtpd)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET Zenthra)
  install(TARGETS Zenthra LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/zenthra)
endif()
install(FILES README.md ARCHITECTURE.md docs/setup-window.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zenthra)
install(DIRECTORY examples/mail DESTINATION ${CMAKE_INSTALL_DATADIR}/zenthra/examples)
if(TARGET zenthra-lmtpd)
  install(FILES packaging/systemd/zenthra-lmtpd.service packaging/systemd/zenthra-lmtpd.socket
          DESTINATION lib/systemd/system)
  install(FILES packaging/postfix/main.cf.zenthra
          DESTINATION ${CMAKE_INSTALL_DATADIR}/zenthra/examples/postfix)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zenthra)
set(CPACK_PACKAGE_VENDOR "Zenthra")
set(CPACK_PACKAGE_CONTACT "Zenthra maintainers <maintainers@zenthra.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "files quarantined mail out of the Inbox into a folder of its own")
set(CPACK_PACKAGE_DESCRIPTION
    "Zenthra moves delivered messages that carry a virus scanner's marker attachment\n"
    "out of the Inbox into a target folder. It ships the event sink Zenthra.dll, the\n"
    "administrator's program ZenthraSetup, the tools zenthra-store and zenthra-catalog,\n"
    "and zenthra-lmtpd, which takes mail from a mail transport over LMTP.")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies are read off the binaries by dpkg-shlibdeps, except
# libldap's: the directory loads it when first used (ldap_library.h).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core, ${ZENTHRA_LIBLDAP_PACKAGE}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
