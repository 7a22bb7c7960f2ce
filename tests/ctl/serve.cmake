# The suites of t483ctl's serve.

# The SCPI parser and sessions, on an instrument that records what it is sent.
t483_add_test(ctl_serve_scpi FAST SOURCES tst_serve_scpi.cpp LIBS t483_scpi)

# The server as a child process against the simulator, with TCP clients.
find_package(Qt6 6.4 REQUIRED COMPONENTS Network)
t483_add_test(ctl_serve SLOW COST 8 SOURCES tst_serve.cpp LIBS Qt6::Network TIMEOUT 90)
target_compile_definitions(ctl_serve PRIVATE T483_TEST_VERSION="${PROJECT_VERSION}")

# Clients written elsewhere, as Debian 12 has them (python3-pyvisa with
# python3-pyvisa-py, lxi-tools; scripts/dev test installs them): the driver
# starts the simulator and the server itself. Debian's python3, where those
# modules are, even when another python3 comes first on the PATH.
find_program(T483_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT T483_DEBIAN_PYTHON)
  find_program(T483_DEBIAN_PYTHON python3 REQUIRED)
endif()
foreach(mode session concurrent lxi)
  if(mode STREQUAL lxi)
    set(name ctl_serve_lxi)
  else()
    set(name ctl_serve_pyvisa_${mode})
  endif()
  add_test(NAME ${name} COMMAND ${T483_DEBIAN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/serve_clients.py ${mode})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120
    ENVIRONMENT "T483_SIM=$<TARGET_FILE:t483-sim>;T483_CTL=$<TARGET_FILE:t483ctl>;XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/no-such-config")
  t483_fast_test(${name} t483-sim t483ctl)
endforeach()

# The web panel: its model, API bodies, token and Origin as tables; the
# server with HTTP and WebSocket clients against the simulator.
t483_add_test(ctl_web_api FAST SOURCES tst_web_api.cpp LIBS t483_web)
add_test(NAME ctl_serve_web COMMAND ${T483_DEBIAN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/serve_web.py api)
set_tests_properties(ctl_serve_web PROPERTIES TIMEOUT 120
  ENVIRONMENT "T483_SIM=$<TARGET_FILE:t483-sim>;T483_CTL=$<TARGET_FILE:t483ctl>;XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/no-such-config")
t483_fast_test(ctl_serve_web t483-sim t483ctl)

# The page in Debian's Chromium, headless, driven by playwright-core
# (tests/web, installed by scripts/dev test with npm ci); skipped, saying
# so, without them.
find_program(T483_NODE node)
if(T483_NODE)
  add_test(NAME ctl_web_browser COMMAND ${T483_NODE} ${PROJECT_SOURCE_DIR}/tests/web/panel.js)
  set_tests_properties(ctl_web_browser PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS slow COST 20
    ENVIRONMENT "T483_SIM=$<TARGET_FILE:t483-sim>;T483_CTL=$<TARGET_FILE:t483ctl>;XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/no-such-config")
endif()

# Discovery: lxi discover --mdns through an avahi-daemon the test starts
# (skipped, saying so, where it cannot).
add_test(NAME ctl_serve_mdns COMMAND ${T483_DEBIAN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/serve_web.py mdns)
set_tests_properties(ctl_serve_mdns PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS slow
  ENVIRONMENT "T483_SIM=$<TARGET_FILE:t483-sim>;T483_CTL=$<TARGET_FILE:t483ctl>;XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/no-such-config")
