# Faults of the link on the real panel against t483-sim, in-process (the
# real executable meets them in tst_program).
t483_add_test(tst_panel_faults
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_faults.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/sim_process.cpp
  LIBS ${T483_PROGRAM_LINK})
add_dependencies(tst_panel_faults t483-sim)
