# The suites of t483ctl's report.
# The PDF painted in-process and by `t483ctl report`, read back with
# poppler's pdfinfo and pdftotext.
t483_add_test(ctl_report FAST SOURCES tst_report.cpp LIBS t483_ctl_report)
# The uncertainty of a point and the decision rules, in-process.
# The calibration guide's worked example is checked against the program.
t483_add_test(ctl_uncertainty FAST SOURCES tst_uncertainty.cpp LIBS t483_ctl_record)
target_compile_definitions(ctl_uncertainty PRIVATE T483_GUIDE="${PROJECT_SOURCE_DIR}/docs/calibration.md")
