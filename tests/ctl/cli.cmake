# The suites of t483ctl's cli.
t483_add_test(ctl_cli SLOW SOURCES tst_cli.cpp)
