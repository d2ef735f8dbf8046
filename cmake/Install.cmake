# Installing like a desktop program: both programs, the desktop entry, the hicolor icons, the
# AppStream metainfo and the manual pages. `make install` and `make package` wrap it.
include(GNUInstallDirs)

install(TARGETS morvane morvane-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(UNIX AND NOT APPLE)
  set(packaging ${PROJECT_SOURCE_DIR}/packaging)
  set(generated ${CMAKE_BINARY_DIR}/packaging)
  configure_file(${packaging}/morvane.desktop.in ${generated}/${MORVANE_APP_ID}.desktop @ONLY)
  configure_file(${packaging}/morvane.metainfo.xml.in
                 ${generated}/${MORVANE_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${generated}/${MORVANE_APP_ID}.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${generated}/${MORVANE_APP_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  # Drawn by tools/makeskin; the theme finds each size under the application id.
  foreach(size 16 24 32 48 64 72 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/icon-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${MORVANE_APP_ID}.png)
  endforeach()

  # The manual pages come from each program's own --help and --version.
  # Compressed with gzip -9n (no name, no time stamp), as Debian policy wants them.
  find_program(MORVANE_HELP2MAN help2man)
  find_program(MORVANE_GZIP gzip)
  find_program(MORVANE_PERL perl)
  if(MORVANE_HELP2MAN AND MORVANE_GZIP AND MORVANE_PERL AND NOT CMAKE_CROSSCOMPILING)
    set(man_morvane "tell whether an indicator formula uses future functions")
    set(man_morvane-check "check indicator formula files for future functions")
    set(pages)
    foreach(program morvane morvane-check)
      set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
      add_custom_command(OUTPUT ${page}
        # UTF-8 whatever the builder's locale: the help has Chinese in it.
        COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8
                ${MORVANE_HELP2MAN} --no-info --locale=C.UTF-8 --name=${man_${program}}
                --include=${packaging}/${program}.h2m --output=${CMAKE_BINARY_DIR}/man/${program}.1
                $<TARGET_FILE:${program}>
        COMMAND ${MORVANE_PERL} ${PROJECT_SOURCE_DIR}/cmake/man-cjk-breaks.pl
                ${CMAKE_BINARY_DIR}/man/${program}.1
        COMMAND ${MORVANE_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${program}.1
        DEPENDS ${program} ${packaging}/${program}.h2m ${PROJECT_SOURCE_DIR}/cmake/man-cjk-breaks.pl
        COMMENT "Manual page of ${program}"
        VERBATIM)
      list(APPEND pages ${page})
    endforeach()
    add_custom_target(manpages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(STATUS "help2man not found: no manual pages (scripts/install-deps installs it)")
  endif()

  # The copyright and the changelog, where Debian looks for them.
  configure_file(${packaging}/changelog.in ${generated}/changelog @ONLY)
  if(MORVANE_GZIP)
    add_custom_command(OUTPUT ${generated}/changelog.gz
      COMMAND ${MORVANE_GZIP} -9nc ${generated}/changelog > ${generated}/changelog.gz
      DEPENDS ${generated}/changelog
      VERBATIM)
    add_custom_target(changelog ALL DEPENDS ${generated}/changelog.gz)
    install(FILES ${generated}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morvane)
  endif()
  install(FILES ${packaging}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morvane)

  include(cmake/Package.cmake)
endif()
