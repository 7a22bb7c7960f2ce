# cmake -DBUILD=... -DPREFIX=... -DBINDIR=bin -DDATADIR=share -DMANDIR=... -DDOCDIR=...
#       [-DVALIDATE=...] -P
# Installs BUILD into PREFIX (emptied first) and checks that the program, the
# simulator, t483ctl, the desktop entry and its icon are where the entry says, that the
# AppStream metadata launches that entry, that the manual pages, copyright and
# changelog are there, that the programs run from there, and that the entry
# passes desktop-file-validate when it is there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(entry ${PREFIX}/${DATADIR}/applications/t483.desktop)
set(metainfo ${PREFIX}/${DATADIR}/metainfo/cz.t483.t483.metainfo.xml)
foreach(file ${PREFIX}/${BINDIR}/t483 ${PREFIX}/${BINDIR}/t483-sim ${PREFIX}/${BINDIR}/t483ctl
             ${entry} ${metainfo}
             ${PREFIX}/${MANDIR}/man1/t483.1.gz ${PREFIX}/${MANDIR}/man1/t483-sim.1.gz
             ${PREFIX}/${MANDIR}/man1/t483ctl.1.gz
             ${PREFIX}/${DOCDIR}/copyright ${PREFIX}/${DOCDIR}/changelog.gz)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# The entry's Exec and Icon name what was installed.
file(STRINGS ${entry} exec REGEX "^Exec=")
file(STRINGS ${entry} icon REGEX "^Icon=")
string(REGEX REPLACE "^Exec=([^ ]*).*" "\\1" exec "${exec}")
string(REGEX REPLACE "^Icon=" "" icon "${icon}")
if(NOT EXISTS ${PREFIX}/${BINDIR}/${exec})
  message(FATAL_ERROR "Exec=${exec} is not an installed program")
endif()
set(svg ${PREFIX}/${DATADIR}/icons/hicolor/scalable/apps/${icon}.svg)
if(NOT EXISTS ${svg})
  message(FATAL_ERROR "Icon=${icon}: no ${svg}")
endif()
file(READ ${svg} text)
if(NOT text MATCHES "<svg[^>]*viewBox=" OR NOT text MATCHES "</svg>[ \n]*$")
  message(FATAL_ERROR "${svg} is not a whole SVG image")
endif()

# The metadata's launchable is the installed entry.
file(READ ${metainfo} text)
if(NOT text MATCHES "<launchable type=\"desktop-id\">t483.desktop</launchable>")
  message(FATAL_ERROR "${metainfo} does not launch t483.desktop")
endif()

# The installed simulator and t483ctl run from their new place.
foreach(program t483-sim t483ctl)
  execute_process(COMMAND ${PREFIX}/${BINDIR}/${program} --help RESULT_VARIABLE result
                  OUTPUT_QUIET ERROR_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "installed ${program} --help failed: ${result}")
  endif()
endforeach()

# The installed program starts on its own (offline, no display) and ends with
# status 0 by its Exit key.
set(run ${PREFIX}/run)
file(MAKE_DIRECTORY ${run})
file(WRITE ${run}/T483.INI "[t483]\ndemo=1\n")
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{T483_SCRIPT} "wait 200; key Escape")
execute_process(COMMAND ${PREFIX}/${BINDIR}/t483 WORKING_DIRECTORY ${run} TIMEOUT 30
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result STREQUAL "0")
  message(FATAL_ERROR "installed t483 did not end with status 0: ${result}\n${out}")
endif()

if(VALIDATE)
  execute_process(COMMAND ${VALIDATE} ${entry} RESULT_VARIABLE result
                  OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0 OR out MATCHES "error|warning")
    message(FATAL_ERROR "desktop-file-validate: ${out}")
  endif()
else()
  message(STATUS "desktop-file-validate not found; entry not validated")
endif()
