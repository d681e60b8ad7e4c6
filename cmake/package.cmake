# The Debian package, made by CPack from an installed build: `cpack -G DEB` in the build
# folder (scripts/build-deb.sh). The dependencies come from the linked libraries
# (dpkg-shlibdeps); the maintainer scripts create the service's user and first files.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sentrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Hallvik)
set(CPACK_PACKAGE_CONTACT "Hallvik <sentrel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network monitor with ping, HTTP and TCP port checks")
# CPack puts the summary first and indents the lines below it.
set(CPACK_PACKAGE_DESCRIPTION
"Sentrel watches servers for one operator. Each server carries ping, HTTP and
TCP port monitors; every outcome moves a monitor between green, yellow and red
and is written to the server's log file. A change of colour can run an event:
a popup, a sound, a program, an e-mail, a network message, a reboot, a print
notice or a serial-port script. A built-in web server publishes a status page.

The package holds the desktop program and a systemd service that runs it
without a window as the system user sentrel, its data in /var/lib/sentrel.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${SENTREL_WEB_SITE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Named as well as found by dpkg-shlibdeps: the resolver of every check, at least the
# version whose getaddrinfo the checks use.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc-ares2 (>= 1.16)")
# useradd and install come from essential packages; systemd-sysusers is used when there.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, iputils-ping")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire-bin | pulseaudio-utils | alsa-utils, openssh-client")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/dist/debian/postinst;${CMAKE_SOURCE_DIR}/dist/debian/prerm;${CMAKE_SOURCE_DIR}/dist/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install with DESTDIR, so that the unit is configured with the package's prefix and the
# absolute unit folder lands inside the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
