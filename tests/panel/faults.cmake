# Faults of the link on the real panel against t483-sim, in-process and with
# the real executable as a child process.
t483_add_test(tst_panel_faults
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_faults.cpp ${CMAKE_CURRENT_LIST_DIR}/panel_session.h
  LIBS t483_program)
add_dependencies(tst_panel_faults t483)
