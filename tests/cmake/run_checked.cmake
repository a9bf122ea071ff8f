# Runs a command and checks how it ended:
#
#   cmake -P run_checked.cmake [NAME <name>] [EXIT <status>...] [EXPECT <regex>...]
#         [REJECT <regex>...] [ERRORS_FROM <program>] [SKIP_STATUS <status>]
#         RUN <command> [<arg>...]
#
# Passes when the command exits with exactly <status> (one of them, when
# several are given; a status may be a signal's name) (or, without EXIT, with
# any status but 0: a command meant to fail), its output (standard output and
# error together) matches every EXPECT regex and no REJECT regex. A job that
# hung and was ended by MPIEXEC_TIMEOUT exits 255 (MPICH) or 110 (Open MPI),
# which no expected status equals. With ERRORS_FROM, a failure must print "<program>: error:" exactly
# once (only rank 0 reports) and a success never. With SKIP_STATUS, a command
# that exits with that status and says "skipped:" could not set itself up
# here; the script then prints "<name>: skipped" (for CTest's
# SKIP_REGULAR_EXPRESSION). <name> prefixes this script's lines ("run_checked"
# unless given). The command's output is echoed for the test log.
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/script_arguments.cmake)
virda_script_arguments(run_checked NAME EXIT EXPECT REJECT ERRORS_FROM SKIP_STATUS)
set(name run_checked)
if(arg_NAME)
  set(name "${arg_NAME}")
endif()
if(arg_RUN STREQUAL "")
  message(FATAL_ERROR "${name}: no RUN command given")
endif()

execute_process(COMMAND ${arg_RUN} RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
message("${name}: exit status ${rc}")
if(NOT arg_SKIP_STATUS STREQUAL "" AND rc STREQUAL arg_SKIP_STATUS AND output MATCHES "skipped:")
  message("${name}: skipped")
  return()
endif()

set(problems "")
if(arg_EXIT STREQUAL "")
  if(rc STREQUAL "0")
    list(APPEND problems "the command succeeded")
  endif()
elseif(NOT rc IN_LIST arg_EXIT)
  list(JOIN arg_EXIT " or " expected)
  list(APPEND problems "exit status ${rc}, expected ${expected}")
endif()
foreach(regex IN LISTS arg_EXPECT)
  if(NOT output MATCHES "${regex}")
    list(APPEND problems "no output matches '${regex}'")
  endif()
endforeach()
foreach(regex IN LISTS arg_REJECT)
  if(output MATCHES "${regex}")
    list(APPEND problems "the output matches '${regex}', which it must not")
  endif()
endforeach()
if(NOT arg_ERRORS_FROM STREQUAL "")
  string(REGEX MATCHALL "${arg_ERRORS_FROM}: error:" messages "${output}")
  list(LENGTH messages message_count)
  if(NOT rc STREQUAL "0" AND NOT message_count EQUAL 1)
    list(APPEND problems "${message_count} error messages, expected exactly one")
  endif()
  if(rc STREQUAL "0" AND message_count GREATER 0)
    list(APPEND problems "an error message in a successful run")
  endif()
endif()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${name}: the command did not end as expected:\n  ${text}")
endif()
message("${name}: ended as expected")
