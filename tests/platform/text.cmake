# Text files, scanning and composing: pure routines, no user interface.
t483_add_test(test_text SOURCES ${CMAKE_CURRENT_LIST_DIR}/text_test.cpp LIBS t483_text)
