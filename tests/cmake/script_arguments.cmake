# Argument parsing for the test scripts run with `cmake -P script.cmake ...`:
#
#   virda_script_arguments(<name> <keyword>...)
#
# Reads the words after the script's path. A keyword starts a list named
# arg_<keyword> that takes the words up to the next keyword; RUN takes every
# word after it (a command line, which may hold words that look like
# keywords) into arg_RUN. Any other word is an error naming the script <name>.
macro(virda_script_arguments name)
  set(_keywords ${ARGN} RUN)
  foreach(_keyword IN LISTS _keywords)
    set(arg_${_keyword} "")
  endforeach()
  set(_slot "")
  set(_after_script FALSE)
  math(EXPR _last "${CMAKE_ARGC} - 1")
  foreach(_i RANGE ${_last})
    set(_arg "${CMAKE_ARGV${_i}}")
    if(NOT _after_script)
      if(_arg STREQUAL "-P")
        math(EXPR _script_index "${_i} + 1")
      elseif(DEFINED _script_index AND _i EQUAL _script_index)
        set(_after_script TRUE)
      endif()
    elseif(_slot STREQUAL "RUN")
      list(APPEND arg_RUN "${_arg}")
    elseif(_arg IN_LIST _keywords)
      set(_slot "${_arg}")
    elseif(NOT _slot STREQUAL "")
      list(APPEND arg_${_slot} "${_arg}")
    else()
      message(FATAL_ERROR "${name}: unexpected argument '${_arg}'")
    endif()
  endforeach()
endmacro()
