# The suites of t483ctl's serve.

# The SCPI parser and sessions, on an instrument that records what it is sent.
t483_add_test(ctl_serve_scpi SOURCES tst_serve_scpi.cpp LIBS t483_scpi)
