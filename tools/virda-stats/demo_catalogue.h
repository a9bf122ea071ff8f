#ifndef VIRDA_TOOLS_VIRDA_STATS_DEMO_CATALOGUE_H
#define VIRDA_TOOLS_VIRDA_STATS_DEMO_CATALOGUE_H

#include <mpi.h>

#include <string>
#include <vector>

namespace virda_stats {

/// Rows of the sample catalogue.
inline constexpr int demo_rows = 4000;

/// The datasets of the sample catalogue, in the order they are summarised:
/// position (double, Mpc), mass (double, 1e10 solar masses), count (int,
/// member galaxies), temperature (float, keV) and velocity ((n, 3) doubles,
/// km/s).
std::vector<std::string> demo_datasets();

/// Writes the sample catalogue to `path` (replacing any file there). Every
/// value is a function of its row number alone, so the file is the same
/// whatever the number of ranks; each rank computes and writes only its own
/// rows. Collective over `comm`; every rank throws the same tool_error when
/// the file cannot be written.
void write_demo_catalogue(const std::string& path, MPI_Comm comm);

} // namespace virda_stats

#endif
