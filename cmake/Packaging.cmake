# SPDX-License-Identifier: MIT
# `cpack -G DEB` in a build folder makes a Debian package of the install tree under /usr.
set(CPACK_PACKAGE_NAME orvane-companion)
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_CONTACT "Orvane <support@orvane.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Unlock Pro sensors for Orvane on this machine")
# Lines of at most 80 characters, as Debian's control file wants them.
set(CPACK_PACKAGE_DESCRIPTION "Orvane Companion installs, or removes, a per-user background service\n\
that serves this machine's CPU and GPU temperature, SoC power and GPU usage\n\
on 127.0.0.1 for Orvane, and shows whether it runs.\n\
A small system helper, started on demand through orvane-power.socket, tells\n\
every user the processor packages' power, rounded, once a second at most.")
set(CPACK_PACKAGE_HOMEPAGE_URL https://orvane.app)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSES/MIT.txt)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# The platform plugins (X11 and Wayland) and fonts are runtime needs that shared-library scanning cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland, fonts-dejavu-core | fonts-freefont-ttf, xdg-utils")
# Enable and start the power helper's socket on install, stop it on removal, forget it on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/docs/debian/postinst ${PROJECT_SOURCE_DIR}/docs/debian/prerm
  ${PROJECT_SOURCE_DIR}/docs/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Manual pages and the package's changelog, compressed as Debian wants them; the DEP-5 copyright beside.
set(docs ${PROJECT_SOURCE_DIR}/docs)
foreach(page man/orvane-companion.1 man/macmon.1 debian/changelog)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/docs/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/docs
    COMMAND gzip -9n -c ${docs}/${page} > ${CMAKE_BINARY_DIR}/docs/${name}.gz
    DEPENDS ${docs}/${page})
  list(APPEND compressed_docs ${CMAKE_BINARY_DIR}/docs/${name}.gz)
endforeach()
add_custom_target(compressed-docs ALL DEPENDS ${compressed_docs})
install(FILES ${CMAKE_BINARY_DIR}/docs/orvane-companion.1.gz ${CMAKE_BINARY_DIR}/docs/macmon.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${docs}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_BINARY_DIR}/docs/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME changelog.Debian.gz)
