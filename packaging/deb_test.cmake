# cmake -DBUILD=... -DOUT=... -DVERSION=... -DLINTIAN=... -DDPKG_DEB=... [-DHARDENED=ON] -P
# Builds the Debian package of BUILD with cpack in OUT (emptied first) and
# checks it: lintian finds no error and no warning (and, for a build with
# the hardening flags, no hardening tag even of the pedantic and
# informational kinds); its Depends, worked out by
# dpkg-shlibdeps from what the programs link, names Qt's widgets library; it
# holds every file an installation needs, the manual pages, changelog and
# copyright where Debian wants them; and its t483-sim runs.
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${OUT}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB deb ${OUT}/*.deb)
if(NOT result EQUAL 0 OR NOT deb)
  message(FATAL_ERROR "cpack -G DEB failed (${result}):\n${out}")
endif()

execute_process(COMMAND ${DPKG_DEB} --field ${deb} Package Version Depends
                RESULT_VARIABLE result OUTPUT_VARIABLE fields)
if(NOT fields MATCHES "Package: t483\n" OR NOT fields MATCHES "Version: ${VERSION}\n"
   OR NOT fields MATCHES "Depends: [^\n]*libqt6widgets6")
  message(FATAL_ERROR "${deb}: its control fields are not as expected:\n${fields}")
endif()

execute_process(COMMAND ${DPKG_DEB} --contents ${deb} OUTPUT_VARIABLE contents)
foreach(path
    usr/bin/t483 usr/bin/t483-sim usr/bin/t483ctl
    usr/share/applications/t483.desktop
    usr/share/icons/hicolor/scalable/apps/t483.svg
    usr/share/metainfo/cz.t483.t483.metainfo.xml
    usr/share/man/man1/t483.1.gz usr/share/man/man1/t483-sim.1.gz usr/share/man/man1/t483ctl.1.gz
    usr/share/doc/t483/copyright usr/share/doc/t483/changelog.gz)
  if(NOT contents MATCHES " root/root [^\n]* \\./${path}\n")
    message(FATAL_ERROR "${deb} has no ${path} owned by root:\n${contents}")
  endif()
endforeach()

# The unpacked simulator runs (its libraries are the system's).
execute_process(COMMAND ${DPKG_DEB} -x ${deb} ${OUT}/root RESULT_VARIABLE result)
execute_process(COMMAND ${OUT}/root/usr/bin/t483-sim --help RESULT_VARIABLE result
                OUTPUT_VARIABLE out ERROR_QUIET)
if(NOT result EQUAL 0 OR NOT out MATCHES "usage: t483-sim")
  message(FATAL_ERROR "the packaged t483-sim --help: ${result}\n${out}")
endif()

# Lintian as root wants to be told it is; its tags one a line, E: for errors,
# W: for warnings (I: and P:, shown with --display-info --pedantic, are only
# information, but for the hardening tags: hardening-no-fortify-functions
# and hardening-no-bindnow are of that kind).
execute_process(COMMAND ${LINTIAN} --allow-root --no-cfg --display-info --pedantic ${deb}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(out MATCHES "(^|\n)[EW]: " OR (HARDENED AND out MATCHES "(^|\n)[A-Z]: [^\n]* hardening-"))
  message(FATAL_ERROR "lintian ${deb}:\n${out}")
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "lintian ${deb} failed (${result}):\n${out}")
endif()
message(STATUS "lintian ${deb}: ${out}")
