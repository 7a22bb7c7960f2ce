# The suites of t483ctl's serve.

# The SCPI parser and sessions, on an instrument that records what it is sent.
t483_add_test(ctl_serve_scpi SOURCES tst_serve_scpi.cpp LIBS t483_scpi)

# The server as a child process against the simulator, with TCP clients.
find_package(Qt6 6.4 REQUIRED COMPONENTS Network)
t483_add_test(ctl_serve SOURCES tst_serve.cpp LIBS Qt6::Network TIMEOUT 90)
target_compile_definitions(ctl_serve PRIVATE T483_TEST_VERSION="${PROJECT_VERSION}")
