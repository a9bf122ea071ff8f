#ifndef VIRDA_REFERENCE_RUNTIME_VIRDA_SESSION_H
#define VIRDA_REFERENCE_RUNTIME_VIRDA_SESSION_H

/// \file
/// virda_session, the reference runtime's scope of a program's MPI use.

/// Scope of a framework program's MPI use: initialises MPI (unless the
/// program already did), sets VIRDA_COMM to MPI_COMM_WORLD and VIRDA_ID to
/// this process's rank, and finalises MPI when it goes out of scope (only if it
/// initialised it). Arrays and attributes still alive then are released at the
/// start of MPI_Finalize. Provided by the reference runtime.
class virda_session {
public:
    /// Calls MPI_Init(argc, argv) unless MPI is already initialised, then sets
    /// VIRDA_COMM and VIRDA_ID. Collective over MPI_COMM_WORLD when it
    /// initialises MPI: every process of the job constructs one.
    virda_session(int* argc, char*** argv);
    /// Calls MPI_Finalize when this session initialised MPI and it has not
    /// been finalised yet (collective then); otherwise makes no MPI call but
    /// MPI_Finalized.
    ~virda_session();
    virda_session(const virda_session&) = delete;
    virda_session& operator=(const virda_session&) = delete;

    /// This process's rank in VIRDA_COMM (VIRDA_ID). Local.
    int rank() const;
    /// The number of processes in VIRDA_COMM. Local.
    int size() const;

private:
    bool owns_mpi_;
};

#endif
