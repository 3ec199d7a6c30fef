# Script tests: JScript and VBScript files run by the system's script host (cscript) as
# real late-bound clients of the registered server.
#
#   include(${CMAKE_SOURCE_DIR}/tests/scripts/script_tests.cmake)
#   tamrix_add_script_test(<name> <file.js|file.vbs> [extra script arguments...])
#
# The script runs after the checks every script shares (checked_script.cmake). It gets the
# test plug-ins' folder as its first argument (a Windows path, WScript.Arguments(0)), then
# the extra arguments. It counts its checks and ends by printing "<n> passed, <m> failed" and
# quitting with the failure count. The script host prints nothing and exits 0 when a script
# dies on an uncaught error, so the test passes only when that closing line shows 0 failed,
# never on the exit code alone.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/checked_script.cmake)

# A host path as the Windows side sees it: "/x/y" becomes "Z:\x\y".
function(tamrix_win_path out path)
  string(REPLACE "/" "\\" path "${path}")
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

# The server registered once in the test prefix (regsvr32, as on Windows) before any test
# that needs the registration: script tests and the type-library dispatch.
tamrix_win_path(_tamrix_dll_win "${CMAKE_BINARY_DIR}/bin/Tamrix.dll")
add_test(NAME tamrix_register COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} regsvr32 /s "${_tamrix_dll_win}")
set_tests_properties(tamrix_register PROPERTIES
  FIXTURES_SETUP tamrix_registered FIXTURES_REQUIRED wine_prefix TIMEOUT 120)

function(tamrix_add_script_test name file)
  tamrix_checked_script(joined "${file}")
  tamrix_win_path(script "${joined}")
  tamrix_win_path(spi_dir "${CMAKE_BINARY_DIR}/tests/plugins")
  add_test(NAME ${name}
           COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cscript //nologo "${script}" "${spi_dir}" ${ARGN})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;tamrix_registered"
    PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed"
    FAIL_REGULAR_EXPRESSION "[0-9]+ passed, [1-9][0-9]* failed"
    TIMEOUT 120)
endfunction()
