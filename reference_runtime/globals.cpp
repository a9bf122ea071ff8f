#include "framework/runtime/virda_globals.h"

MPI_Comm VIRDA_COMM = MPI_COMM_WORLD;
int VIRDA_ID = 0;
