# cmake -DWHAT=metainfo|manpages -DTOOL=... -DFILES=a;b -P
# Runs a checker on each of FILES; any error or warning it reports fails.
#   metainfo: appstreamcli validate --no-net (--pedantic: its hints too)
#   manpages: man formats the page as groff would for a terminal, with all of
#             groff's warnings on; anything on standard error fails
foreach(file IN LISTS FILES)
  if(WHAT STREQUAL "metainfo")
    execute_process(COMMAND ${TOOL} validate --no-net --pedantic --no-color ${file}
                    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT result EQUAL 0 OR NOT out MATCHES "^✔ Validation was successful\\.?\n*$")
      message(FATAL_ERROR "appstreamcli validate ${file} (${result}):\n${out}")
    endif()
  elseif(WHAT STREQUAL "manpages")
    set(ENV{LC_ALL} C.UTF-8)
    set(ENV{MANROFFSEQ} "")
    set(ENV{MANWIDTH} 80)
    execute_process(COMMAND ${TOOL} --warnings -E UTF-8 -l -Tutf8 -Z ${file}
                    RESULT_VARIABLE result OUTPUT_VARIABLE page ERROR_VARIABLE err)
    if(NOT result EQUAL 0 OR NOT err STREQUAL "")
      message(FATAL_ERROR "man --warnings ${file} (${result}):\n${err}")
    endif()
    if(NOT page MATCHES "NAME" OR NOT page MATCHES "SYNOPSIS")
      message(FATAL_ERROR "man ${file}: no NAME or SYNOPSIS in what it formats")
    endif()
  else()
    message(FATAL_ERROR "WHAT=${WHAT}?")
  endif()
endforeach()
