# The layout T483.UIR is embedded in the program as a Qt resource, and the
# header panel/t483_uir.h with the panel's and controls' identifiers is made
# from it, so that the identifiers are written down in one place only.

set(T483_UIR ${CMAKE_CURRENT_SOURCE_DIR}/panel/T483.UIR)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${T483_UIR})
file(READ ${T483_UIR} _uir)

set(_h "// Made by the build from panel/T483.UIR: the panel's and its controls' identifiers.\n#pragma once\n\nenum {\n")
string(JSON _npanels LENGTH "${_uir}" panels)
math(EXPR _plast "${_npanels} - 1")
foreach(_p RANGE ${_plast})
  string(JSON _pname GET "${_uir}" panels ${_p} constant)
  string(JSON _pnum GET "${_uir}" panels ${_p} number)
  string(APPEND _h "    ${_pname} = ${_pnum},\n")
  string(JSON _nctrl LENGTH "${_uir}" panels ${_p} controls)
  math(EXPR _clast "${_nctrl} - 1")
  foreach(_c RANGE ${_clast})
    string(JSON _cname GET "${_uir}" panels ${_p} controls ${_c} constant)
    string(JSON _cid GET "${_uir}" panels ${_p} controls ${_c} id)
    string(APPEND _h "    ${_pname}_${_cname} = ${_cid},\n")
  endforeach()
endforeach()
string(APPEND _h "};\n")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/panel/t483_uir.h CONTENT "${_h}" @ONLY)

target_sources(t483_program PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/panel/T483.UIR.qrc)
set_target_properties(t483_program PROPERTIES AUTORCC ON)
