# Checks that virda-stats gives the numbers that direct calls of the library
# give on the same data, at one rank count:
#
#   cmake -DMPIEXEC=<mpiexec> -DNUMPROC_FLAG=-n -DRANKS=<n> -DTOOL=<virda-stats>
#         -DREFERENCE=<virda_stats_reference> -DWORK_DIR=<dir> -P compare_with_library.cmake
#
# The reference program writes the test file and a list of cases (tool
# arguments and the expected part of the tool's JSON output). Each case runs
# the tool at the same rank count; every expected member must be in the
# output with an equal value (numbers compared as doubles; NaN and the
# infinities are the strings "NaN", "Infinity" and "-Infinity" in both).
# A case may also give bounds (`within`: a member and, for each of its
# numbers, [lo, hi]) for results that are checked against an equivalent but
# not identical computation.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/report_case.cmake)

foreach(var MPIEXEC NUMPROC_FLAG RANKS TOOL REFERENCE WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "compare_with_library: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(data "${WORK_DIR}/data.h5")
set(expected_file "${WORK_DIR}/expected.json")

execute_process(
  COMMAND "${MPIEXEC}" ${NUMPROC_FLAG} ${RANKS} "${REFERENCE}" "${data}" "${expected_file}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "the reference program failed (${rc}):\n${out}")
endif()
file(READ "${expected_file}" expected_doc)

# Sets out_var to the member names of the JSON object doc, in order (an
# object without members is an error, as every case must expect something).
function(json_members out_var doc)
  string(JSON n LENGTH "${doc}")
  math(EXPR last "${n} - 1")
  set(keys "")
  foreach(i RANGE ${last})
    string(JSON key MEMBER "${doc}" ${i})
    list(APPEND keys "${key}")
  endforeach()
  set(${out_var} "${keys}" PARENT_SCOPE)
endfunction()

# Sets out_var to the differences between expected_doc and actual_doc at
# `path` (a list of member names and indices), recursing into objects and
# arrays; empty when they agree.
function(compare_at out_var path)
  set(found "")
  list(JOIN path "." where)
  string(JSON type TYPE "${expected_doc}" ${path})
  string(JSON actual_type ERROR_VARIABLE missing TYPE "${actual_doc}" ${path})
  if(NOT missing)
    string(JSON want GET "${expected_doc}" ${path})
    string(JSON got GET "${actual_doc}" ${path})
  endif()
  if(missing)
    set(found "\n  ${where}: missing from the output")
  elseif(NOT type STREQUAL actual_type)
    set(found "\n  ${where}: expected ${type} ${want}, got ${actual_type} ${got}")
  elseif(type STREQUAL "OBJECT" OR type STREQUAL "ARRAY")
    string(JSON n LENGTH "${expected_doc}" ${path})
    string(JSON actual_n LENGTH "${actual_doc}" ${path})
    if(type STREQUAL "ARRAY" AND NOT n EQUAL actual_n)
      set(found "\n  ${where}: expected ${n} entries, got ${actual_n}")
    elseif(n GREATER 0)
      math(EXPR last "${n} - 1")
      foreach(i RANGE ${last})
        set(key ${i})
        if(type STREQUAL "OBJECT")
          string(JSON key MEMBER "${expected_doc}" ${path} ${i})
        endif()
        compare_at(inner "${path};${key}")
        string(APPEND found "${inner}")
      endforeach()
    endif()
  elseif(NOT type STREQUAL "NULL")
    if(type STREQUAL "NUMBER" AND NOT want EQUAL got)
      set(found "\n  ${where}: expected ${want}, got ${got}")
    elseif(NOT type STREQUAL "NUMBER" AND NOT want STREQUAL got)
      set(found "\n  ${where}: expected '${want}', got '${got}'")
    endif()
  endif()
  set(${out_var} "${found}" PARENT_SCOPE)
endfunction()

set(cases_doc "${expected_doc}")
string(JSON case_count LENGTH "${cases_doc}" cases)
math(EXPR last_case "${case_count} - 1")
set(failed 0)
foreach(c RANGE ${last_case})
  string(JSON arg_count LENGTH "${cases_doc}" cases ${c} args)
  math(EXPR last_arg "${arg_count} - 1")
  set(args "")
  foreach(a RANGE ${last_arg})
    string(JSON arg GET "${cases_doc}" cases ${c} args ${a})
    list(APPEND args "${arg}")
  endforeach()
  list(JOIN args " " shown)

  execute_process(
    COMMAND "${MPIEXEC}" ${NUMPROC_FLAG} ${RANKS} "${TOOL}" "${data}" ${args} --format json
    RESULT_VARIABLE rc OUTPUT_VARIABLE actual_doc ERROR_VARIABLE err)
  set(problems "")
  if(NOT rc STREQUAL "0")
    set(problems "\n  exit status ${rc}: ${err}")
  else()
    string(JSON ignored ERROR_VARIABLE bad_json LENGTH "${actual_doc}")
    if(bad_json)
      set(problems "\n  the output is not JSON (${bad_json}):\n${actual_doc}")
    else()
      string(JSON expected_doc GET "${cases_doc}" cases ${c} expect)
      json_members(keys "${expected_doc}")
      foreach(key IN LISTS keys)
        compare_at(found "${key}")
        string(APPEND problems "${found}")
      endforeach()
      string(JSON within ERROR_VARIABLE no_within GET "${cases_doc}" cases ${c} within)
      if(NOT no_within)
        json_members(keys "${within}")
        foreach(key IN LISTS keys)
          string(JSON count LENGTH "${within}" ${key})
          string(JSON actual_count ERROR_VARIABLE missing LENGTH "${actual_doc}" ${key})
          if(missing OR NOT count EQUAL actual_count)
            string(APPEND problems "\n  ${key}: expected ${count} numbers")
            continue()
          endif()
          math(EXPR last_number "${count} - 1")
          foreach(j RANGE ${last_number})
            string(JSON lo GET "${within}" ${key} ${j} 0)
            string(JSON hi GET "${within}" ${key} ${j} 1)
            string(JSON got GET "${actual_doc}" ${key} ${j})
            string(JSON got_type TYPE "${actual_doc}" ${key} ${j})
            # A string ("NaN") is neither less nor greater than a number.
            if(NOT got_type STREQUAL "NUMBER" OR got LESS lo OR got GREATER hi)
              string(APPEND problems "\n  ${key}.${j}: expected within [${lo}, ${hi}], got '${got}'")
            endif()
          endforeach()
        endforeach()
      endif()
    endif()
  endif()
  virda_report_case("virda-stats ${shown}" "${problems}")
endforeach()

if(failed GREATER 0)
  message(FATAL_ERROR "${failed} of ${case_count} cases differ from the library at ${RANKS} ranks")
endif()
message("all ${case_count} cases equal the library at ${RANKS} ranks")
