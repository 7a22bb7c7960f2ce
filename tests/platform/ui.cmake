# The user-interface services: the real layout loaded offscreen, operated with
# mouse and key events, the events seen by callbacks of the test's own.
qt_add_resources(_bad_layouts bad_layouts.qrc)
t483_add_test(test_ui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_test.cpp ${_bad_layouts} $<TARGET_OBJECTS:t483_uir_resource>
  LIBS t483_ui t483_uir_ids)
