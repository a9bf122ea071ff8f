# virda_add_isa_kernels(<target> <source>)
#
# Compiles <source> three times, for the x86-64 baseline, AVX2 and AVX-512,
# into <target>. Each copy sees VIRDA_KERNEL_ISA (baseline, avx2, avx512) and
# must put everything it defines in a namespace of that name, with internal
# linkage except its table, so that no inline function built for a wider
# instruction set can be picked by the linker for another path. Kernels are
# built at -O3 (the vectoriser versions loops against aliasing there) and
# never contract a * b + c into a fused multiply-add, so that every path
# rounds the same (a kernel may still write a fused multiply-add by hand
# where it rounds as a plain operation does, such as b * -1 + a).
set(VIRDA_ISA_FLAGS_baseline "")
set(VIRDA_ISA_FLAGS_avx2 -mavx2 -mfma)
set(VIRDA_ISA_FLAGS_avx512 -mavx512f -mavx512vl -mavx512bw -mavx512dq -mprefer-vector-width=512)

function(virda_add_isa_kernels target source)
  get_filename_component(stem ${source} NAME_WE)
  foreach(isa IN ITEMS baseline avx2 avx512)
    set(objects ${target}_${stem}_${isa})
    add_library(${objects} OBJECT ${source})
    set_target_properties(${objects} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_features(${objects} PRIVATE cxx_std_17)
    target_include_directories(${objects} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${objects} PRIVATE VIRDA_KERNEL_ISA=${isa})
    target_compile_options(${objects} PRIVATE
      $<$<NOT:$<CONFIG:Debug>>:-O3> -ffp-contract=off ${VIRDA_ISA_FLAGS_${isa}})
    target_link_libraries(${objects} PRIVATE virda_compile_options)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${objects}>)
  endforeach()
endfunction()
