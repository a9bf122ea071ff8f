# The command-line tools. Included both from the install rules and from the
# tools' tests, whichever comes first, so that the tool target and the option
# exist before the tests that run it are defined.
include_guard(GLOBAL)

option(VIRDA_BUILD_TOOLS "Build the virda-stats command-line tool (needs parallel HDF5 for MPICH)"
  ${VIRDA_TOP_LEVEL})

if(VIRDA_BUILD_TOOLS)
  add_subdirectory("${PROJECT_SOURCE_DIR}/tools/virda-stats" "${PROJECT_BINARY_DIR}/tools/virda-stats")
endif()
