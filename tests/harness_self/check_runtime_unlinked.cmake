# Checks that a shared library leaves the framework runtime to the program
# that loads it: no NEEDED entry names the runtime, and each runtime symbol it
# uses is undefined in it. With -DRUNTIME_LIBRARY=<path of a runtime>, also
# checks that the library needs no symbol of that runtime beyond the listed
# ones: a program bringing its own runtime defines only those.
#
#   cmake -DLIBRARY=<path> -DRUNTIME=<name> -DREADELF=<readelf> -DNM=<nm>
#         [-DRUNTIME_LIBRARY=<path>] -P check_runtime_unlinked.cmake SYMBOLS <symbol>...
#
# A symbol without a parameter list matches any undefined symbol of that
# (demangled, qualified) name; one with a parameter list must match exactly,
# which tells the runtime's pow(Attribute const&, double) from libm's pow.

cmake_minimum_required(VERSION 3.20)

foreach(var LIBRARY RUNTIME READELF NM)
  if(NOT ${var})
    message(FATAL_ERROR "check_runtime_unlinked: -D${var}=... is required")
  endif()
endforeach()

set(symbols "")
set(collect FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(collect)
    list(APPEND symbols "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "SYMBOLS")
    set(collect TRUE)
  endif()
endforeach()

# Runs the command after <what> and sets <out_var> to its standard output;
# a failing command ends the check.
function(output_of out_var what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed:\n${output}${error}")
  endif()
  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

set(problems "")

output_of(dynamic "readelf -d ${LIBRARY}" ${READELF} -d ${LIBRARY})
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dynamic}")
message("${LIBRARY} needs:")
foreach(entry IN LISTS needed)
  message("  ${entry}")
  if(entry MATCHES "${RUNTIME}")
    list(APPEND problems "it links the runtime: ${entry}")
  endif()
endforeach()

output_of(nm_output "nm -D ${LIBRARY}" ${NM} -D --undefined-only --demangle ${LIBRARY})
# One line per symbol: blanks, a type letter, a blank, the demangled name.
string(REPLACE "\n" ";" lines "${nm_output}")
set(undefined_full "")
set(undefined_names "")
foreach(line IN LISTS lines)
  if(line MATCHES "^ *[A-Za-z] (.+)$")
    set(name "${CMAKE_MATCH_1}")
    list(APPEND undefined_full "${name}")
    string(REGEX REPLACE "\\(.*$" "" bare "${name}")
    list(APPEND undefined_names "${bare}")
  endif()
endforeach()

foreach(symbol IN LISTS symbols)
  if(symbol MATCHES "\\(")
    list(FIND undefined_full "${symbol}" at)
  else()
    list(FIND undefined_names "${symbol}" at)
  endif()
  if(at EQUAL -1)
    list(APPEND problems "${symbol} is not an undefined symbol of it")
  else()
    message("undefined, left to the program: ${symbol}")
  endif()
endforeach()

if(RUNTIME_LIBRARY)
  output_of(runtime_output "nm -D ${RUNTIME_LIBRARY}" ${NM} -D --defined-only --demangle ${RUNTIME_LIBRARY})
  string(REPLACE "\n" ";" runtime_lines "${runtime_output}")
  foreach(line IN LISTS runtime_lines)
    if(NOT line MATCHES "^[0-9a-fA-F]* *[A-Za-z] (.+)$")
      continue()
    endif()
    set(defined "${CMAKE_MATCH_1}")
    list(FIND undefined_full "${defined}" used)
    if(used EQUAL -1)
      continue()
    endif()
    # Used by the library and defined by the runtime: it must be listed, by
    # its full name or by its bare name.
    string(REGEX REPLACE "\\(.*$" "" bare "${defined}")
    list(FIND symbols "${defined}" listed_full)
    list(FIND symbols "${bare}" listed_bare)
    if(listed_full EQUAL -1 AND listed_bare EQUAL -1)
      list(APPEND problems "it needs ${defined} from the runtime, which a program's own runtime need not define")
    endif()
  endforeach()
endif()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${LIBRARY}:\n  ${text}")
endif()
