# The Debian package: `cpack -G DEB` in a build folder (scripts/package does it for the release build) makes
# tempolis_<version>_amd64.deb, which installs what `cmake --install` does, under /usr.

# The package's version is the bundle's short version, read from the Info.json that app/shell has written.
file(READ ${TEMPOLIS_BUNDLE_DIR}/Contents/Info.json tempolis_info)
string(JSON TEMPOLIS_PACKAGE_VERSION GET "${tempolis_info}" CFBundleShortVersionString)

set(TEMPOLIS_PACKAGE_MAINTAINER "Tempolis maintainers <maintainers@tempolis.app>"
    CACHE STRING "Maintainer field of the package (Name <address>)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tempolis)
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_VERSION ${TEMPOLIS_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${TEMPOLIS_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# The install rules compute paths from the prefix (the menu entry's Exec, the command's link): CPack must run
# them with the real prefix and put the files aside with DESTDIR, not pretend its staging folder is the prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed programs are stripped; their symbols stay in the build folder.
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 0)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tempolis.app/)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis, and the extended description (CPack indents it and marks its empty lines).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recorder that keeps the recent past of a microphone")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Tempolis records an audio input all the time into a rolling buffer (one hour
unless another length is chosen, from 15 minutes to 8 hours) so that when
something worth keeping was just said, the last seconds or minutes of it can
still be saved as an AAC clip (.m4a).

It lives in a small status item at the top-right of the screen: pull down
from it to choose how much of the past to keep. The tempolis command and a
session-bus interface save, pause and resume from keyboard shortcuts and
scripts. The buffer is readable only by its user and erased at exit.]=])

# Libraries the programs link are found by dpkg-shlibdeps. What is loaded at run time is invisible to it and
# listed here: the QML modules of the announcement window (its helper program), the X11 platform plugin
# (libqt6gui6 only recommends it), the SVG image plugin, which draws the artwork (its package also holds the
# QtSvg library the program links, so dpkg-shlibdeps names it too, with a version: the plugin needs it whether
# or not the program links it), and libavformat, which the program loads when it writes its first clip (the
# version is the one its symbols file gives for the calls made).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtqml, qml6-module-qtqml-models, qml6-module-qtqml-workerscript, qml6-module-qtquick, \
qml6-module-qtquick-layouts, qml6-module-qtquick-controls, qml6-module-qtquick-templates, \
qml6-module-qtquick-window, qt6-qpa-plugins, libqt6svg6, libavformat59 (>= 7:5.0)")
# Recording needs an audio server that speaks the PulseAudio protocol.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
# GNOME Shell shows tray icons only with the AppIndicator extension; without it Tempolis keeps its floating item.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")

include(CPack)
