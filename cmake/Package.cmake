# The Debian package: `cpack -G DEB` in the build tree makes
# zembrak_<version>_<arch>.deb of what the install rules install, with its
# runtime dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zembrak)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Zembrak)
set(CPACK_PACKAGE_CONTACT "Zembrak <dev@zembrak.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "measures the frequency response of a room through a sound interface")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The plugin and the ALSA snippet have absolute destinations: install into
# the package's tree through DESTDIR so that they land inside it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The long description under the summary line; a paragraph break is ".".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Zembrak is a console program that plays a sine sweep (linear or
exponential) on output 1 of a two-channel ALSA device and a sync pulse on output 2, records both
inputs, aligns them by the pulse looped back into input 2 and prints one
level in dB per band of constant relative width. Each run also saves the
response, the impulse response, a picture and the room-acoustic
parameters per octave (EDT, T20, T30, C50, C80, D50), and with the
exponential sweep the harmonic distortion.
.
The package includes a simulated measurement rig, an ALSA plugin with the
devices rig (a flat room), rig_room (a typical room) and rig_live (the
typical room in real time), to try the program without hardware.")

include(CPack)
