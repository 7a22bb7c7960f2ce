# The user-interface services: the real layout loaded offscreen, operated with
# mouse and key events, the events seen by callbacks of the test's own.
t483_add_test(test_ui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_test.cpp ${CMAKE_CURRENT_LIST_DIR}/bad_layouts.qrc
          ${PROJECT_SOURCE_DIR}/panel/T483.UIR.qrc
  LIBS t483_ui)
set_target_properties(test_ui PROPERTIES AUTORCC ON)
