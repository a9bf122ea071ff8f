# Runs virda-stats under mpiexec and checks how it ended:
#
#   cmake -P run_tool.cmake EXIT <status> [EXPECT <regex>...] [REJECT <regex>...]
#         RUN <mpiexec> ... <virda-stats> <args>...
#
# Passes when the exit status is exactly <status> (a job that hung and was
# ended by MPIEXEC_TIMEOUT exits 255, which no expected status equals), the
# output (standard output and error together) matches every EXPECT regex and
# no REJECT regex, and, for a failure, the error message appears exactly
# once: only rank 0 prints it. PREFIX names the program whose messages are
# counted ("virda-stats" unless given).
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/script_arguments.cmake)
virda_script_arguments(run_tool EXIT EXPECT REJECT PREFIX)
set(expected_exit "${arg_EXIT}")
set(expect "${arg_EXPECT}")
set(reject "${arg_REJECT}")
set(command "${arg_RUN}")
if(command STREQUAL "" OR expected_exit STREQUAL "")
  message(FATAL_ERROR "run_tool: EXIT and RUN are required")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
message("run_tool: exit status ${rc}")
if(rc STREQUAL "77" AND output MATCHES "skipped:")
  # The test's set-up cannot be had here (SKIP_REGULAR_EXPRESSION).
  message("run_tool: skipped")
  return()
endif()

set(problems "")
if(NOT rc STREQUAL expected_exit)
  list(APPEND problems "exit status ${rc}, expected ${expected_exit}")
endif()
foreach(regex IN LISTS expect)
  if(NOT output MATCHES "${regex}")
    list(APPEND problems "no output matches '${regex}'")
  endif()
endforeach()
foreach(regex IN LISTS reject)
  if(output MATCHES "${regex}")
    list(APPEND problems "the output matches '${regex}', which it must not")
  endif()
endforeach()
set(program "virda-stats")
if(arg_PREFIX)
  set(program "${arg_PREFIX}")
endif()
string(REGEX MATCHALL "${program}: error:" messages "${output}")
list(LENGTH messages message_count)
if(NOT expected_exit STREQUAL "0" AND NOT message_count EQUAL 1)
  list(APPEND problems "${message_count} error messages, expected exactly one")
endif()
if(expected_exit STREQUAL "0" AND message_count GREATER 0)
  list(APPEND problems "an error message in a successful run")
endif()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "run_tool:\n  ${text}")
endif()
