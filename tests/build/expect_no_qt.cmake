# cmake -DBUILD=DIR -DPROBES="a;b" -P expect_no_qt.cmake: builds each probe
# target and fails unless every one fails to compile for want of a Qt header.
foreach(probe ${PROBES})
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target ${probe}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(status EQUAL 0)
    message(FATAL_ERROR "${probe}: a Qt header compiled in the program's own code")
  endif()
  if(NOT out MATCHES "QString: No such file")
    message(FATAL_ERROR "${probe}: failed for another reason than the missing Qt header:\n${out}")
  endif()
  message(STATUS "${probe}: Qt header refused, as it must be")
endforeach()
