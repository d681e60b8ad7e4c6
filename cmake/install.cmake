# Where `cmake --install` puts Sentrel, laid out as Debian expects under the prefix:
# the program, the desktop entry, icons and AppStream data, the manual page, the user
# manual, the systemd unit with its system user, and the service's first server file.
include(GNUInstallDirs)

set(SENTREL_WEB_SITE "https://sentrel.example.org" CACHE STRING
    "Web site named by the AppStream data (home page and screenshot)")
set(SENTREL_APPSTREAM_ID "org.example.sentrel" CACHE STRING "AppStream component id")
set(SENTREL_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_LIBDIR}/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative to the prefix, or absolute)")
set(SENTREL_SYSUSERS_DIR "${CMAKE_INSTALL_LIBDIR}/sysusers.d" CACHE STRING
    "Where the system user's sysusers.d file goes")
# GNUInstallDirs gives lib64 or a multiarch folder for LIBDIR on some systems; systemd
# looks only in lib/.
if(NOT IS_ABSOLUTE "${SENTREL_SYSTEMD_UNIT_DIR}")
  string(REGEX REPLACE "^lib[^/]*/" "lib/" SENTREL_SYSTEMD_UNIT_DIR "${SENTREL_SYSTEMD_UNIT_DIR}")
endif()
if(NOT IS_ABSOLUTE "${SENTREL_SYSUSERS_DIR}")
  string(REGEX REPLACE "^lib[^/]*/" "lib/" SENTREL_SYSUSERS_DIR "${SENTREL_SYSUSERS_DIR}")
endif()

install(TARGETS sentrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page, compressed as Debian ships them (-n: no name or time stamp inside).
set(SENTREL_MAN_GZ ${CMAKE_BINARY_DIR}/dist/sentrel.1.gz)
add_custom_command(OUTPUT ${SENTREL_MAN_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/docs/sentrel.1 > ${SENTREL_MAN_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/sentrel.1 VERBATIM)
set(SENTREL_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/dist/changelog.gz)
add_custom_command(OUTPUT ${SENTREL_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/dist/debian/changelog > ${SENTREL_CHANGELOG_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/dist/debian/changelog VERBATIM)
add_custom_target(sentrel_dist_files ALL DEPENDS ${SENTREL_MAN_GZ} ${SENTREL_CHANGELOG_GZ})
install(FILES ${SENTREL_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The user manual with the pages it links and its pictures; the window's Help opens it.
# Each page is installed as Markdown and, where Python's markdown module is there to make
# it, as HTML too (Help then opens the HTML page in the browser, with the pictures).
file(GLOB SENTREL_DOC_PAGES CONFIGURE_DEPENDS docs/*.md)
install(FILES ${SENTREL_DOC_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR})
find_program(SENTREL_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
set(SENTREL_HTML_DOCS OFF)
if(SENTREL_SYSTEM_PYTHON3)
  execute_process(COMMAND ${SENTREL_SYSTEM_PYTHON3} -c "import markdown"
                  RESULT_VARIABLE SENTREL_NO_MARKDOWN OUTPUT_QUIET ERROR_QUIET)
  if(SENTREL_NO_MARKDOWN EQUAL 0)
    set(SENTREL_HTML_DOCS ON)
  endif()
endif()
if(SENTREL_HTML_DOCS)
  set(SENTREL_HTML_PAGES)
  foreach(page ${SENTREL_DOC_PAGES})
    get_filename_component(name ${page} NAME_WE)
    set(html ${CMAKE_BINARY_DIR}/dist/doc/${name}.html)
    add_custom_command(OUTPUT ${html}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist/doc
      COMMAND ${SENTREL_SYSTEM_PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/markdown_to_html.py ${page} ${html}
      DEPENDS ${page} ${CMAKE_SOURCE_DIR}/cmake/markdown_to_html.py VERBATIM)
    list(APPEND SENTREL_HTML_PAGES ${html})
  endforeach()
  add_custom_target(sentrel_html_docs ALL DEPENDS ${SENTREL_HTML_PAGES})
  add_dependencies(sentrel_dist_files sentrel_html_docs)
  install(FILES ${SENTREL_HTML_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  message(STATUS "Python's markdown module not found: the manual is installed as Markdown only")
endif()
if(IS_DIRECTORY ${CMAKE_SOURCE_DIR}/docs/images)
  install(DIRECTORY docs/images DESTINATION ${CMAKE_INSTALL_DOCDIR}
          FILES_MATCHING PATTERN "*.png" PATTERN "*.jpg" PATTERN "*.svg")
endif()
install(FILES dist/debian/copyright ${SENTREL_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The sample server file, events file, mail template and serial script the format pages name.
install(FILES dist/servers.mcf dist/events.ini dist/mail-down.txt dist/modem.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The service. The unit names the program by its installed path, which is known only
# when installing (a package installs under another prefix than the build's default).
set(SENTREL_FULL_DOCDIR_AT_INSTALL "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}")
install(CODE "
  set(SENTREL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(SENTREL_FULL_DOCDIR \"${SENTREL_FULL_DOCDIR_AT_INSTALL}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/dist/sentrel.service.in\"
                 \"${CMAKE_BINARY_DIR}/dist/sentrel.service\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/dist/sentrel.service DESTINATION ${SENTREL_SYSTEMD_UNIT_DIR})
install(FILES dist/sentrel.sysusers DESTINATION ${SENTREL_SYSUSERS_DIR} RENAME sentrel.conf)
install(FILES dist/service-servers.mcf DESTINATION ${CMAKE_INSTALL_DATADIR}/sentrel
        RENAME servers.mcf)

# The desktop: only a build with the window has something to show there.
if(SENTREL_GUI)
  install(FILES dist/sentrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(DIRECTORY dist/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
  configure_file(dist/sentrel.metainfo.xml.in
                 ${CMAKE_BINARY_DIR}/dist/${SENTREL_APPSTREAM_ID}.metainfo.xml @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/dist/${SENTREL_APPSTREAM_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
