# Installs the build into a fresh prefix and checks the installed layout: every file inside the
# prefix, none setuid or setgid, the programs in bin/, and the installed lumivore-cli finding
# its data in share/lumivore/ rather than in the build tree it came from; the media module in
# its library folder MODULE_DIR.
# Run with -DBUILD_DIR=... -DPREFIX=... -DEXPECT_MAN=ON|OFF -DEXPECT_ICONS=ON|OFF -DMODULE_DIR=... -P.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}); build every target first")
endif()

file(STRINGS "${BUILD_DIR}/install_manifest.txt" installed)
list(LENGTH installed count)
if(count EQUAL 0)
  message(FATAL_ERROR "nothing was installed")
endif()
foreach(path ${installed})
  string(FIND "${path}" "${PREFIX}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "installed outside the prefix: ${path}")
  endif()
endforeach()

execute_process(COMMAND find "${PREFIX}" -perm /6000 OUTPUT_VARIABLE privileged)
if(NOT privileged STREQUAL "")
  message(FATAL_ERROR "setuid or setgid files installed: ${privileged}")
endif()

set(expected
  bin/lumivore-cli
  ${MODULE_DIR}/lumivore-media.so
  share/lumivore/translations.xml
  share/applications/lumivore.desktop
  share/metainfo/org.orvandel.lumivore.metainfo.xml
  share/icons/hicolor/scalable/apps/lumivore.svg
  share/doc/lumivore/copyright)
if(EXPECT_MAN)
  list(APPEND expected share/man/man1/lumivore-cli.1.gz)
endif()
if(EXPECT_ICONS)
  list(APPEND expected share/icons/hicolor/48x48/apps/lumivore.png
                       share/icons/hicolor/128x128/apps/lumivore.png)
endif()
foreach(file ${expected})
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "missing from the installation: ${file}")
  endif()
endforeach()
# The media module is a shared object, not a program.
execute_process(COMMAND find "${PREFIX}/${MODULE_DIR}/lumivore-media.so" -perm /111
  OUTPUT_VARIABLE executableModule)
if(NOT executableModule STREQUAL "")
  message(FATAL_ERROR "the media module is installed executable")
endif()
if(EXISTS "${PREFIX}/share/lumivore/desktop")
  message(FATAL_ERROR "the desktop files were also installed among the program's data")
endif()

execute_process(COMMAND "${PREFIX}/bin/lumivore-cli" --data-dir
  OUTPUT_VARIABLE dataDir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
file(REAL_PATH "${PREFIX}/share/lumivore" expectedDir)
if(NOT rc EQUAL 0 OR NOT dataDir STREQUAL "${expectedDir}/")
  message(FATAL_ERROR "installed lumivore-cli looks for its data in '${dataDir}', not in '${expectedDir}/'")
endif()
message(STATUS "installed layout under ${PREFIX} is sound (${count} files)")
