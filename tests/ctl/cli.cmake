# The suites of t483ctl's cli.
t483_add_test(ctl_cli SLOW SOURCES tst_cli.cpp)
# Its decade in-process, more than one at once.
t483_add_test(ctl_decade SLOW SOURCES tst_decade.cpp LIBS t483_ctl_core)
