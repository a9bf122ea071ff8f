# Build-only options shared by every target of the project: warnings and the
# optional sanitizers. Linked privately, so nothing leaks into consumers.
add_library(virda_compile_options INTERFACE)
target_compile_options(virda_compile_options INTERFACE
  -Wall -Wextra -Wpedantic
  $<$<BOOL:${VIRDA_WARNINGS_AS_ERRORS}>:-Werror>)

if(VIRDA_SANITIZE)
  # float-cast-overflow is not part of GCC's -fsanitize=undefined; it catches a
  # NaN or huge quotient converted to int, the typical fault of binning code.
  set(_virda_san -fsanitize=address,undefined,float-cast-overflow)
  target_compile_options(virda_compile_options INTERFACE
    ${_virda_san} -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(virda_compile_options INTERFACE ${_virda_san})
endif()
