// Compiled into every program that links virda_mpi_counter: the reference
// keeps the counter among the program's libraries, ahead of MPI, even when
// the linker drops libraries that nothing references (--as-needed).
extern "C" void virda_mpi_counter_anchor();

[[maybe_unused]] __attribute__((used)) static void (*const virda_keep_mpi_counter)() =
    &virda_mpi_counter_anchor;
