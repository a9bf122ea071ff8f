# Runs a command that is meant to fail and checks that it fails the right way:
#
#   cmake -P expect_failure.cmake [EXIT <code>] [EXPECT <regex>]... [REJECT <regex>]...
#         RUN <program> [<arg>...]
#
# Succeeds when the command exits non-zero (with exactly <code> if EXIT is
# given), its standard output and error together match every EXPECT regex
# and no REJECT regex. The command's output is echoed for the test log.

cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/script_arguments.cmake)
virda_script_arguments(expect_failure EXIT EXPECT REJECT)
set(expected_exit "${arg_EXIT}")
set(expect "${arg_EXPECT}")
set(reject "${arg_REJECT}")
set(command "${arg_RUN}")
if(command STREQUAL "")
  message(FATAL_ERROR "expect_failure: no RUN command given")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
message("expect_failure: exit status: ${rc}")

set(problems "")
if(rc STREQUAL "0")
  list(APPEND problems "the command succeeded")
elseif(NOT expected_exit STREQUAL "" AND NOT rc STREQUAL expected_exit)
  list(APPEND problems "exit status ${rc}, expected ${expected_exit}")
endif()
foreach(regex IN LISTS expect)
  if(NOT output MATCHES "${regex}")
    list(APPEND problems "no output matches '${regex}'")
  endif()
endforeach()
foreach(regex IN LISTS reject)
  if(output MATCHES "${regex}")
    list(APPEND problems "output matches '${regex}'")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "expect_failure: the command did not fail as expected:\n  ${text}")
endif()
message("expect_failure: failed as expected")
