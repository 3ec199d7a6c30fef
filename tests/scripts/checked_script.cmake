# tamrix_checked_script(<out-var> <file.js|file.vbs>): the file the script host runs for a test
# script, written into the build tree: the checks every script shares (checks.js or
# checks.vbs beside this file), then the script's own text. Editing either file configures
# the build again, which writes the file anew.
include_guard(GLOBAL)
set(_TAMRIX_CHECKS_DIR ${CMAKE_CURRENT_LIST_DIR})

function(tamrix_checked_script out file)
  get_filename_component(abs "${file}" ABSOLUTE)
  get_filename_component(name "${abs}" NAME)
  get_filename_component(ext "${abs}" LAST_EXT)
  set(checks "${_TAMRIX_CHECKS_DIR}/checks${ext}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${checks}" "${abs}")
  file(READ "${checks}" shared)
  file(READ "${abs}" own)
  set(joined "${CMAKE_CURRENT_BINARY_DIR}/scripts/${name}")
  # Written through configure_file, which leaves an unchanged file as it is.
  file(WRITE "${joined}.in" "${shared}${own}")
  configure_file("${joined}.in" "${joined}" COPYONLY)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()
