# cmake -DPROGRAM=FILE -P expect_no_asound.cmake: fails when the program
# names libasound among the libraries it needs to start.
execute_process(COMMAND readelf -d ${PROGRAM} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf -d ${PROGRAM} failed: ${err}")
endif()
if(NOT out MATCHES "NEEDED")
  message(FATAL_ERROR "readelf -d ${PROGRAM} lists no needed libraries at all:\n${out}")
endif()
if(out MATCHES "libasound")
  message(FATAL_ERROR "${PROGRAM} needs libasound to start:\n${out}")
endif()
