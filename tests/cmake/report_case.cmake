# One line per case for the scripts that run many cases in one test:
#
#   virda_report_case(<case> "<problems>" [<note>])
#
# With problems (a non-empty text), prints "FAIL  <case><problems>" and adds
# one to the variable `failed` of the caller; without, "ok    <case>" and
# the note after a blank.
function(virda_report_case case problems)
  if(NOT problems STREQUAL "")
    math(EXPR count "${failed} + 1")
    set(failed ${count} PARENT_SCOPE)
    message("FAIL  ${case}${problems}")
  elseif(ARGC GREATER 2)
    message("ok    ${case} ${ARGV2}")
  else()
    message("ok    ${case}")
  endif()
endfunction()
