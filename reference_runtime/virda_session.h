#ifndef VIRDA_REFERENCE_RUNTIME_VIRDA_SESSION_H
#define VIRDA_REFERENCE_RUNTIME_VIRDA_SESSION_H

/// Scope of a framework program's MPI use: initialises MPI (unless the
/// program already did), sets VIRDA_COMM to MPI_COMM_WORLD and VIRDA_ID to
/// this process's rank, and finalises MPI when it goes out of scope (only if it
/// initialised it). Arrays and attributes still alive then are released at the
/// start of MPI_Finalize. Provided by the reference runtime.
class virda_session {
public:
    virda_session(int* argc, char*** argv);
    ~virda_session();
    virda_session(const virda_session&) = delete;
    virda_session& operator=(const virda_session&) = delete;

    int rank() const;
    int size() const;

private:
    bool owns_mpi_;
};

#endif
