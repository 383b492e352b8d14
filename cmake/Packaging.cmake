# The Debian package, built by scripts/package. Runtime dependencies come from dpkg-shlibdeps,
# after the ones listed here that no linked library names.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wardlatch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Wardlatch maintainers <maintainers@wardlatch.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's Wayland platform plugin is loaded at run time, not linked: without it a Wayland session
# silently runs the program through XWayland, where no global shortcut reaches it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland")
# Locking goes through logind and the desktop's screen locker over D-Bus; a window manager
# session needs a locker such as xss-lock.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus-user-session | dbus-x11")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xss-lock")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lock the session when a key device goes away")
set(CPACK_PACKAGE_DESCRIPTION "Wardlatch is a tray utility that guards an unattended computer. The user \
picks one key device, a USB device or the headphones of the default audio output; when that \
device goes away, the session is locked at once or the screen saver started. A global shortcut \
locks on demand.")
include(CPack)
