# Installation (cmake --install, GNUInstallDirs), the desktop files, the manual pages and the
# Debian package. Included at the end of the top-level CMakeLists.txt, once every program target
# exists; the windows program `lumivore` is installed only when it is built.
include(GNUInstallDirs)

# Installed folders are 0755 whatever the umask of the person who builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(LUMIVORE_DATA_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/lumivore)

# The programs find their data relative to their own folder, so that an installation may be
# moved (or unpacked with dpkg -x) and still find it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_DATADIR}")
  file(RELATIVE_PATH LUMIVORE_BIN_TO_DATA "${CMAKE_INSTALL_FULL_BINDIR}"
       "${CMAKE_INSTALL_FULL_DATADIR}/lumivore")
else()
  file(RELATIVE_PATH LUMIVORE_BIN_TO_DATA "/prefix/${CMAKE_INSTALL_BINDIR}"
       "/prefix/${LUMIVORE_DATA_INSTALL_DIR}")
endif()
target_compile_definitions(lumivore_support PRIVATE
  LUMIVORE_INSTALLED_DATA_DIR="${LUMIVORE_BIN_TO_DATA}/")

# The media module (lumivore-media.so) in a private folder of the library folder, which the
# programs find relative to their own as they find their data. A multiarch system names the
# architecture in the path whatever the prefix.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(LUMIVORE_MODULE_DEFAULT_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/lumivore)
else()
  set(LUMIVORE_MODULE_DEFAULT_DIR ${CMAKE_INSTALL_LIBDIR}/lumivore)
endif()
set(LUMIVORE_MODULE_INSTALL_DIR ${LUMIVORE_MODULE_DEFAULT_DIR} CACHE STRING
  "Folder of the media module, relative to the installation prefix")
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${LUMIVORE_MODULE_INSTALL_DIR}")
  message(FATAL_ERROR "the program and module folders must be relative to the prefix")
endif()
file(RELATIVE_PATH LUMIVORE_BIN_TO_MODULE "/prefix/${CMAKE_INSTALL_BINDIR}"
     "/prefix/${LUMIVORE_MODULE_INSTALL_DIR}")
target_compile_definitions(lumivore_preview PRIVATE
  LUMIVORE_INSTALLED_MODULE_DIR="${LUMIVORE_BIN_TO_MODULE}/")
# A loadable module, not a program: not executable, as Debian wants of shared objects.
install(TARGETS lumivore-media LIBRARY DESTINATION ${LUMIVORE_MODULE_INSTALL_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(LUMIVORE_PROGRAMS lumivore-cli)
if(TARGET lumivore)
  list(APPEND LUMIVORE_PROGRAMS lumivore)
endif()
install(TARGETS ${LUMIVORE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# translations.xml and help/; the desktop files below have their own places.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/ DESTINATION ${LUMIVORE_DATA_INSTALL_DIR}
  PATTERN desktop EXCLUDE)

# Desktop entry, AppStream metadata, application icon.
set(LUMIVORE_DESKTOP_DIR ${PROJECT_SOURCE_DIR}/data/desktop)
set(LUMIVORE_APP_ID org.orvandel.lumivore)
install(FILES ${LUMIVORE_DESKTOP_DIR}/lumivore.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${LUMIVORE_DESKTOP_DIR}/${LUMIVORE_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${LUMIVORE_DESKTOP_DIR}/lumivore.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

find_program(LUMIVORE_RSVG_CONVERT rsvg-convert)
if(LUMIVORE_RSVG_CONVERT)
  set(LUMIVORE_ICON_PNGS)
  foreach(size 48 128)
    set(png ${PROJECT_BINARY_DIR}/icons/${size}x${size}/lumivore.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}x${size}
      COMMAND ${LUMIVORE_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${LUMIVORE_DESKTOP_DIR}/lumivore.svg
      DEPENDS ${LUMIVORE_DESKTOP_DIR}/lumivore.svg
      COMMENT "Rendering the ${size} px application icon" VERBATIM)
    list(APPEND LUMIVORE_ICON_PNGS ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(lumivore_icons ALL DEPENDS ${LUMIVORE_ICON_PNGS})
else()
  message(WARNING "rsvg-convert (librsvg2-bin) not found: the 48 and 128 px icons are not built")
endif()

# Manual pages from the programs' own --help and --version, with the hand-written sections on
# devices, rights and exit status.
find_program(LUMIVORE_HELP2MAN help2man)
if(LUMIVORE_HELP2MAN)
  set(LUMIVORE_MAN_PAGES)
  foreach(program ${LUMIVORE_PROGRAMS})
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    set(pageGz ${page}.gz)
    if(program STREQUAL "lumivore")
      set(summary "find and recover deleted photos from cards and disks")
    else()
      set(summary "find and recover deleted photos from cards and disks, from the command line")
    endif()
    add_custom_command(OUTPUT ${pageGz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      # A program that does not answer --help by printing and leaving would hang the build.
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              LUMIVORE_CONFIG=${PROJECT_BINARY_DIR}/man/settings.xml
              timeout 60 ${LUMIVORE_HELP2MAN} --no-info
              --name=${summary} --version-string=${PROJECT_VERSION}
              --include=${PROJECT_SOURCE_DIR}/cmake/packaging/manpage-sections.h2m
              --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/packaging/manpage-sections.h2m
      COMMENT "Writing the manual page ${program}(1)" VERBATIM)
    list(APPEND LUMIVORE_MAN_PAGES ${pageGz})
    install(FILES ${pageGz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  add_custom_target(lumivore_man ALL DEPENDS ${LUMIVORE_MAN_PAGES})
else()
  message(WARNING "help2man not found: the manual pages are not built")
endif()

# The Debian package's documentation: copyright (the licence, GPL-3.0-or-later, by its SPDX name)
# and a compressed changelog.
set(LUMIVORE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/lumivore)
set(LUMIVORE_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${LUMIVORE_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9n < '${PROJECT_SOURCE_DIR}/cmake/packaging/changelog' > '${LUMIVORE_CHANGELOG_GZ}'"
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/packaging/changelog VERBATIM)
add_custom_target(lumivore_changelog ALL DEPENDS ${LUMIVORE_CHANGELOG_GZ})
install(FILES ${PROJECT_SOURCE_DIR}/cmake/packaging/copyright ${LUMIVORE_CHANGELOG_GZ}
  DESTINATION ${LUMIVORE_DOC_DIR})

# The Debian package: lumivore_<version>_<arch>.deb, dependencies from dpkg-shlibdeps, no
# maintainer scripts (nothing to do at install time: no service, no setuid program).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumivore)
set(CPACK_PACKAGE_VENDOR Orvandel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A Debian package must name its maintainer with a mail address (lintian refuses one without);
# the product has none yet, so this one stays a placeholder until it has. It is shown nowhere
# else: the about box and the AppStream metadata carry no address.
set(CPACK_PACKAGE_CONTACT "Lumivore developers <lumivore@orvandel.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted photos from memory cards and disks")
# The extended description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Lumivore brings back photographs and media files deleted from a memory card,
USB stick or disk, or lost when it was formatted or damaged. It reads the raw
device sector by sector without trusting its file system, recognises JPEG,
PNG, GIF, BMP, TIFF, DNG, the raw formats of many cameras, WAV, AVI and
RealMedia files, measures each file from its own structure, shows
thumbnails with the camera's metadata, and writes the chosen files to
another drive. The examined device is only ever read.

The package holds the windows program (lumivore) and the command-line tool
(lumivore-cli). Lumivore is free software under the GNU General Public
License, version 3 or later.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udisks2 lets a desktop user read a card without running the program as root.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/package)
include(CPack)

if(BUILD_TESTING)
  # The command-line tests move the program and its module as an installation lies.
  target_compile_definitions(test_cli PRIVATE LUMIVORE_INSTALLED_MODULE_DIR="${LUMIVORE_BIN_TO_MODULE}/")
  # An installation into a scratch prefix; needs every target built (cmake --build build).
  set(expectMan OFF)
  set(expectIcons OFF)
  if(LUMIVORE_HELP2MAN)
    set(expectMan ON)
  endif()
  if(LUMIVORE_RSVG_CONVERT)
    set(expectIcons ON)
  endif()
  add_test(NAME installed_prefix_layout COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR} -DPREFIX=${PROJECT_BINARY_DIR}/test-install
    -DEXPECT_MAN=${expectMan} -DEXPECT_ICONS=${expectIcons} -DMODULE_DIR=${LUMIVORE_MODULE_INSTALL_DIR}
    -P ${PROJECT_SOURCE_DIR}/tests/support/CheckInstalledPrefix.cmake)
  set_tests_properties(installed_prefix_layout PROPERTIES RUN_SERIAL ON)

  find_program(LUMIVORE_DESKTOP_FILE_VALIDATE desktop-file-validate)
  if(LUMIVORE_DESKTOP_FILE_VALIDATE)
    add_test(NAME desktop_entry_valid COMMAND ${LUMIVORE_DESKTOP_FILE_VALIDATE}
      ${LUMIVORE_DESKTOP_DIR}/lumivore.desktop)
    set_tests_properties(desktop_entry_valid PROPERTIES FAIL_REGULAR_EXPRESSION "error:|warning:")
  endif()
  find_program(LUMIVORE_APPSTREAMCLI appstreamcli)
  if(LUMIVORE_APPSTREAMCLI)
    add_test(NAME appstream_metainfo_valid COMMAND ${LUMIVORE_APPSTREAMCLI} validate --no-net
      --pedantic ${LUMIVORE_DESKTOP_DIR}/${LUMIVORE_APP_ID}.metainfo.xml)
  endif()
endif()
