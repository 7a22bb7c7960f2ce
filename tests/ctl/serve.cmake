# The suites of t483ctl's serve.
