# tamrix_sample_names(<out-var>): the sample pictures' names, each followed by a comma, from
# the table the samples are made from (scripts cannot list a folder's files under Wine).
include_guard(GLOBAL)
function(tamrix_sample_names out)
  file(STRINGS ${CMAKE_SOURCE_DIR}/plugins/samples/sample_pictures.h lines REGEX "^ *{\"[a-z]+\\.[a-z]+\", \"")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "\"([a-z]+\\.[a-z]+)\"" _ "${line}")
    string(APPEND names "${CMAKE_MATCH_1},")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
