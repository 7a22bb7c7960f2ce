# The suites of t483ctl's sweep.
# Plans, readings, verdicts and records in-process.
t483_add_test(ctl_sweep_plan FAST SOURCES tst_plan.cpp LIBS t483_ctl_record)
# Whole sweeps, t483ctl against t483-sim: verdicts, the voltage wait and the
# voltage asked through a dwell, runs killed and resumed, the device unplugged
# mid-run and back, records refused.
t483_add_test(ctl_sweep SLOW COST 16 SOURCES tst_sweep.cpp LIBS t483_ctl_record TIMEOUT 300)
