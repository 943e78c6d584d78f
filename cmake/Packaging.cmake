# SPDX-License-Identifier: MIT
# `cpack -G DEB` in a build folder makes a Debian package of the install tree under /usr.
set(CPACK_PACKAGE_NAME orvane-companion)
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_CONTACT "Orvane <support@orvane.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Unlock Pro sensors for Orvane on this machine")
set(CPACK_PACKAGE_DESCRIPTION "Orvane Companion installs, or removes, a per-user background service that serves\
 this machine's CPU and GPU temperature, SoC power and GPU usage on 127.0.0.1 for Orvane, and shows whether it runs.")
set(CPACK_PACKAGE_HOMEPAGE_URL https://orvane.app)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSES/MIT.txt)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The platform plugins and fonts are runtime needs that shared-library scanning cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-dejavu-core | fonts-freefont-ttf, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-svg-plugins")
include(CPack)
