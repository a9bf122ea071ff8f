# API reference with Doxygen: target `docs` (`virda_docs` when the project is
# not the top-level one). It documents the installed public headers (the list
# `VIRDA_PUBLIC_HEADERS` of VirdaPublicHeaders.cmake, so a header added there
# is documented too) with the README as main page and the guides in docs/ as
# pages; the site lands in <build>/docs/html (open index.html).
#
# Without VIRDA_BUILD_DOCS the target exists when Doxygen is installed and is
# built only on request. With it, Doxygen and Graphviz's dot are required,
# the site is part of the default build, and CTest checks it with
# scripts/check_docs_site.py (pages present, every internal link and anchor
# resolving, pages rendered by headless Chromium). VIRDA_WARNINGS_AS_ERRORS
# makes every Doxygen warning (an undocumented public entity among them) fail
# the build.
include_guard(GLOBAL)
include(VirdaPublicHeaders)

option(VIRDA_BUILD_DOCS "Build the API reference (needs Doxygen and Graphviz) and test it" OFF)

if(VIRDA_BUILD_DOCS)
  find_package(Doxygen 1.9 REQUIRED COMPONENTS dot)
else()
  find_package(Doxygen QUIET OPTIONAL_COMPONENTS dot)
  if(NOT DOXYGEN_FOUND)
    return()
  endif()
endif()

set(VIRDA_DOCS_OUTPUT_DIR "${PROJECT_BINARY_DIR}/docs")
set(VIRDA_DOCS_TAGFILE "${VIRDA_DOCS_OUTPUT_DIR}/virdastatistics.tag")
set(VIRDA_DOCS_INPUT "")
set(_virda_docs_depends "")
foreach(file IN ITEMS README.md docs/using.md docs/design.md docs/virda-stats.md docs/python.md docs/engine.md
    LISTS VIRDA_PUBLIC_HEADERS)
  string(APPEND VIRDA_DOCS_INPUT " \\\n    \"${PROJECT_SOURCE_DIR}/${file}\"")
  list(APPEND _virda_docs_depends "${PROJECT_SOURCE_DIR}/${file}")
endforeach()
set(VIRDA_DOCS_WARN_AS_ERROR NO)
if(VIRDA_WARNINGS_AS_ERRORS)
  set(VIRDA_DOCS_WARN_AS_ERROR FAIL_ON_WARNINGS)
endif()
if(TARGET Doxygen::dot)
  set(VIRDA_DOCS_HAVE_DOT YES)
  get_target_property(_virda_dot Doxygen::dot IMPORTED_LOCATION)
  get_filename_component(VIRDA_DOCS_DOT_PATH "${_virda_dot}" DIRECTORY)
else()
  set(VIRDA_DOCS_HAVE_DOT NO)
  set(VIRDA_DOCS_DOT_PATH "")
endif()
configure_file("${PROJECT_SOURCE_DIR}/docs/Doxyfile.in" "${PROJECT_BINARY_DIR}/Doxyfile" @ONLY)

set(_virda_docs_target virda_docs)
if(VIRDA_TOP_LEVEL)
  set(_virda_docs_target docs)
endif()
set(_virda_docs_all "")
if(VIRDA_BUILD_DOCS)
  set(_virda_docs_all ALL)
endif()
# A stamp, so that the default build reruns Doxygen only when an input changed.
# The old site is removed first: a page that is no longer generated must not
# survive to satisfy the link check.
add_custom_command(
  OUTPUT "${VIRDA_DOCS_OUTPUT_DIR}/html.stamp"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${VIRDA_DOCS_OUTPUT_DIR}/html"
  COMMAND Doxygen::doxygen "${PROJECT_BINARY_DIR}/Doxyfile"
  COMMAND "${CMAKE_COMMAND}" -E touch "${VIRDA_DOCS_OUTPUT_DIR}/html.stamp"
  DEPENDS ${_virda_docs_depends} "${PROJECT_BINARY_DIR}/Doxyfile"
  WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
  COMMENT "API reference in ${VIRDA_DOCS_OUTPUT_DIR}/html"
  VERBATIM)
add_custom_target(${_virda_docs_target} ${_virda_docs_all}
  DEPENDS "${VIRDA_DOCS_OUTPUT_DIR}/html.stamp")

if(VIRDA_BUILD_DOCS AND VIRDA_BUILD_TESTS)
  find_program(VIRDA_CHROMIUM NAMES chromium chromium-browser)
  mark_as_advanced(VIRDA_CHROMIUM)
  set(_virda_docs_check /usr/bin/python3 "${PROJECT_SOURCE_DIR}/scripts/check_docs_site.py"
    "${VIRDA_DOCS_OUTPUT_DIR}/html" --tagfile "${VIRDA_DOCS_TAGFILE}")
  add_test(NAME docs.site_links COMMAND ${_virda_docs_check} --no-render --headers ${VIRDA_PUBLIC_HEADERS})
  add_test(NAME docs.site_render COMMAND ${_virda_docs_check} --render-only
    --chromium "${VIRDA_CHROMIUM}" --screenshots "${VIRDA_DOCS_OUTPUT_DIR}/screenshots")
  set_tests_properties(docs.site_links docs.site_render PROPERTIES LABELS docs TIMEOUT 300)
endif()
