# What `cmake --install` puts where: the program, the rig plugin where
# alsa-lib looks for plugins, the rig's everyday devices where alsa-lib reads
# configuration on its own, the manual page and the README. The plugin and
# the devices go to alsa-lib's own folders (absolute paths), whatever the
# install prefix, since alsa-lib looks nowhere else.
include(GNUInstallDirs)

pkg_get_variable(ZEMBRAK_ALSA_LIBDIR alsa libdir)
pkg_get_variable(ZEMBRAK_ALSA_PREFIX alsa prefix)
if(NOT ZEMBRAK_ALSA_LIBDIR OR NOT ZEMBRAK_ALSA_PREFIX)
  message(FATAL_ERROR "pkg-config names no libdir or prefix for alsa")
endif()
set(ZEMBRAK_ALSA_PLUGIN_DIR "${ZEMBRAK_ALSA_LIBDIR}/alsa-lib"
    CACHE PATH "Where alsa-lib loads libasound_module_pcm_*.so from")
set(ZEMBRAK_ALSA_CONF_DIR "${ZEMBRAK_ALSA_PREFIX}/share/alsa/alsa.conf.d"
    CACHE PATH "alsa-lib's folder of configuration snippets")

# Upstream alsa.conf loads every file in its alsa.conf.d; Debian's loads
# /etc/alsa/conf.d instead, where each package links its snippet from
# alsa.conf.d. Link there too when the system's alsa.conf reads only that.
set(link_default "")
set(alsa_conf "${ZEMBRAK_ALSA_PREFIX}/share/alsa/alsa.conf")
if(EXISTS "${alsa_conf}")
  file(READ "${alsa_conf}" alsa_conf_text)
  if(NOT alsa_conf_text MATCHES "alsa\\.conf\\.d" AND alsa_conf_text MATCHES "\"/etc/alsa/conf\\.d\"")
    set(link_default "/etc/alsa/conf.d")
  endif()
endif()
set(ZEMBRAK_ALSA_CONF_LINK_DIR "${link_default}"
    CACHE PATH "Folder alsa-lib reads that links to the snippet (empty: no link)")

set(ZEMBRAK_RIG_SNIPPET 50-zembrak-rig.conf)

install(TARGETS zembrak RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS rig_plugin LIBRARY DESTINATION ${ZEMBRAK_ALSA_PLUGIN_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/rig/${ZEMBRAK_RIG_SNIPPET}
        DESTINATION ${ZEMBRAK_ALSA_CONF_DIR})
if(ZEMBRAK_ALSA_CONF_LINK_DIR)
  # A symbolic link is no install() kind of its own: made at install time,
  # under DESTDIR, and listed in the manifest as the files are (without it).
  install(CODE "
    set(link \"${ZEMBRAK_ALSA_CONF_LINK_DIR}/${ZEMBRAK_RIG_SNIPPET}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${link}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${ZEMBRAK_ALSA_CONF_LINK_DIR}\")
    file(CREATE_LINK \"${ZEMBRAK_ALSA_CONF_DIR}/${ZEMBRAK_RIG_SNIPPET}\" \"\$ENV{DESTDIR}\${link}\"
         SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")
  ")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/doc/zembrak.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
