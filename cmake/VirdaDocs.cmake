# API reference with Doxygen: target `docs` (`virda_docs` when the project is
# not the top-level one), only when Doxygen is installed. Nothing else needs it.
include_guard(GLOBAL)

find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  return()
endif()

set(VIRDA_DOCS_OUTPUT_DIR "${PROJECT_BINARY_DIR}/docs")
configure_file("${PROJECT_SOURCE_DIR}/docs/Doxyfile.in" "${PROJECT_BINARY_DIR}/Doxyfile" @ONLY)

if(VIRDA_TOP_LEVEL)
  set(_virda_docs_target docs)
else()
  set(_virda_docs_target virda_docs)
endif()
add_custom_target(${_virda_docs_target}
  COMMAND Doxygen::doxygen "${PROJECT_BINARY_DIR}/Doxyfile"
  WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
  COMMENT "API reference in ${VIRDA_DOCS_OUTPUT_DIR}/html"
  VERBATIM)
