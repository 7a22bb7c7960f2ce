# The suites of t483ctl's sweep.
