"""What an mpi4py on another MPI says about itself: the vendor and library
version set by foreign_mpi4py.py. Nothing else exists; the module must refuse
before it uses anything more."""
import os

VENDOR = os.environ.get("FAKE_MPI4PY_VENDOR", "MPICH")
VERSION = os.environ.get("FAKE_MPI4PY_VERSION", "MPICH Version: 4.0.2")


def get_vendor():
    return (VENDOR, (4, 0, 2))


def Get_library_version():
    return VERSION
