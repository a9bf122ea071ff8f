# Fits y = 2x + 1 (line.h5 of virda_stats_make_test_files: 1000 x evenly over
# [0, 10]) with virda-stats poly-fit at the given orders and checks that no
# order hands out an unusable polynomial without a word:
#
#   cmake -DMPIEXEC=<mpiexec> -DNUMPROC_FLAG=-n -DRANKS=<n> -DTOOL=<virda-stats>
#         -DFIT_ERROR=<virda_stats_line_fit_error> -DFILE=<line.h5>
#         "-DORDERS=1;2;..." -P poly_fit_line.cmake
#
# Each order either
#   - succeeds (exit 0) with finite coefficients whose largest |fit - y| on
#     the data is at most 1e-8, or at most 1e-4 when the fit comes with its
#     warning (one "virda-stats: warning:" line, and "warning" in the JSON,
#     exactly when the condition number it reports exceeds 1e8), or
#   - is refused (exit 1) with one message saying that the fit cannot be
#     trusted or that the normal equations are singular; orders up to 10 are
#     well within reach (condition number below 1e7) and must succeed.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/report_case.cmake)

foreach(var MPIEXEC NUMPROC_FLAG RANKS TOOL FIT_ERROR FILE ORDERS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "poly_fit_line: ${var} is not set")
  endif()
endforeach()

set(failed 0)
foreach(order IN LISTS ORDERS)
  execute_process(
    COMMAND "${MPIEXEC}" ${NUMPROC_FLAG} ${RANKS} "${TOOL}" "${FILE}" x poly-fit --y y --order ${order} --format json
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX MATCHALL "virda-stats: warning:" warnings "${err}")
  list(LENGTH warnings warning_count)
  string(REGEX MATCHALL "virda-stats: error:" errors "${err}")
  list(LENGTH errors error_count)
  set(problems "")
  set(note "")
  if(rc STREQUAL "0")
    string(JSON count ERROR_VARIABLE bad LENGTH "${out}" coefficients)
    string(JSON condition ERROR_VARIABLE no_condition GET "${out}" condition_number)
    string(JSON warning ERROR_VARIABLE no_warning GET "${out}" warning)
    if(bad OR no_condition)
      set(problems "no coefficients or condition_number in the output:\n${out}")
    else()
      math(EXPR expected_count "${order} + 1")
      if(NOT count EQUAL expected_count)
        string(APPEND problems " ${count} coefficients, expected ${expected_count};")
      endif()
      set(coefficients "")
      math(EXPR last "${count} - 1")
      foreach(i RANGE ${last})
        string(JSON c GET "${out}" coefficients ${i})
        list(APPEND coefficients "${c}")
      endforeach()
      set(tolerance 1e-8)
      if(NOT no_warning)
        set(tolerance 1e-4)
      endif()
      if(condition GREATER 1e8 AND no_warning)
        string(APPEND problems " condition number ${condition} above 1e8 without a warning;")
      endif()
      if(NOT condition GREATER 1e8 AND NOT no_warning)
        string(APPEND problems " a warning at condition number ${condition};")
      endif()
      if(no_warning AND NOT warning_count EQUAL 0)
        string(APPEND problems " ${warning_count} warning lines without a warning in the output;")
      endif()
      if(NOT no_warning AND NOT warning_count EQUAL 1)
        string(APPEND problems " ${warning_count} warning lines, expected exactly one;")
      endif()
      if(NOT error_count EQUAL 0)
        string(APPEND problems " an error message in a successful run;")
      endif()
      if(order GREATER 0)
        execute_process(COMMAND "${FIT_ERROR}" ${tolerance} ${coefficients}
          RESULT_VARIABLE fit_rc OUTPUT_VARIABLE fit_out ERROR_VARIABLE fit_out)
        string(STRIP "${fit_out}" fit_out)
        set(note "condition ${condition}, ${fit_out}")
        if(NOT fit_rc STREQUAL "0")
          string(APPEND problems " ${fit_out};")
        endif()
      endif()
    endif()
  elseif(rc STREQUAL "1")
    set(note "refused")
    if(NOT error_count EQUAL 1)
      string(APPEND problems " ${error_count} error messages, expected exactly one;")
    endif()
    if(NOT err MATCHES "cannot be trusted|normal equations are singular")
      string(APPEND problems " the message does not say why the fit was refused: ${err};")
    endif()
    if(NOT order GREATER 10)
      string(APPEND problems " order ${order} refused, but orders up to 10 must be fitted;")
    endif()
  else()
    set(problems " exit status ${rc} (255 or 110: a hang ended by MPIEXEC_TIMEOUT): ${err}")
  endif()
  virda_report_case("order ${order}:" "${problems}" "${note}")
endforeach()

if(failed GREATER 0)
  message(FATAL_ERROR "${failed} orders failed at ${RANKS} ranks")
endif()
