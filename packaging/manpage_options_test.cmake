# cmake -DT483=... -DSIM=... -DCTL=... -DPAGES=<folder of the *.1.in> -P
# Every long option a program's --help prints is in its manual page: t483,
# t483-sim, t483ctl and each verb's `t483ctl VERB --help`; and every verb
# t483ctl's help lists has its manual page too. The page is read as its
# source, with roff's \- taken as - and its font changes dropped.
set(ENV{QT_QPA_PLATFORM} offscreen)
set(missing "")

function(page_text name out)
  file(READ ${PAGES}/${name}.1.in text)
  string(REPLACE "\\-" "-" text "${text}")
  string(REGEX REPLACE "\\\\f[BIRP]" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(help_text out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}: status ${result}\n${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# check(PAGE COMMAND...): the long options COMMAND's help names, each in PAGE.
function(check name)
  page_text(${name} page)
  help_text(help ${ARGN})
  list(JOIN ARGN " " command)
  string(REGEX MATCHALL "--[a-z][a-z0-9-]*" options "${help}")
  if(NOT options)
    message(FATAL_ERROR "${ARGN}: no long option in what it prints:\n${help}")
  endif()
  list(REMOVE_DUPLICATES options)
  foreach(option IN LISTS options)
    if(NOT page MATCHES "${option}([^a-z0-9-]|$)")
      list(APPEND missing "${name}(1) lacks ${option}, which `${command}` prints")
    endif()
  endforeach()
  set(missing "${missing}" PARENT_SCOPE)
endfunction()

check(t483 ${T483} --help)
check(t483-sim ${SIM} --help)
check(t483ctl ${CTL} --help)

# The verbs: the lines of t483ctl's help that begin with two spaces and a
# lower-case word (its options begin with a dash).
help_text(overview ${CTL} --help)
string(REGEX MATCHALL "\n  [a-z]+ " verbs "${overview}")
string(REGEX REPLACE "[\n ]" "" verbs "${verbs}")
if(NOT verbs)
  message(FATAL_ERROR "${CTL} --help lists no verb:\n${overview}")
endif()
page_text(t483ctl ctl_page)
foreach(verb IN LISTS verbs)
  if(NOT ctl_page MATCHES "\n\\.[BI]+ ${verb}( |\n)")
    list(APPEND missing "t483ctl(1) lacks the verb ${verb}")
  endif()
  check(t483ctl ${CTL} ${verb} --help)
endforeach()

if(missing)
  list(JOIN missing "\n" missing)
  message(FATAL_ERROR "${missing}")
endif()
list(LENGTH verbs count)
message(STATUS "every long option of t483, t483-sim, t483ctl and its ${count} verbs is in its manual page")
