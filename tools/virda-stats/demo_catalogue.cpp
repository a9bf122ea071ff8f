#include "demo_catalogue.h"

#include "h5_writer.h"

#include "framework/array/va_from_global.h"

#include <cmath>
#include <cstdint>

namespace virda_stats {

namespace {

/// A uniform number in [0, 1) from a row number and a stream number
/// (SplitMix64 of their combination): reproducible, and independent of how
/// the rows are split over the ranks.
double uniform(std::uint64_t row, std::uint64_t stream)
{
    std::uint64_t z = row * 0x9E3779B97F4A7C15ULL + stream * 0xD1B54A32D192ED03ULL + 0x632BE59BD9B4E019ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

/// Roughly normal with mean 0 and deviation 1 (sum of four uniforms).
double bell(std::uint64_t row, std::uint64_t stream)
{
    double s = 0.0;
    for (std::uint64_t k = 0; k < 4; ++k) {
        s += uniform(row, stream * 8 + k);
    }
    return (s - 2.0) * std::sqrt(3.0);
}

/// Masses between 1 and 100 (units of 1e10 solar masses), uniform in log.
double mass(std::uint64_t row)
{
    return std::pow(10.0, 2.0 * uniform(row, 2));
}

/// An array of demo_rows elements whose element g is make(g), each rank
/// filling only its own rows. Collective.
template <typename T, typename Make>
va<T> column(MPI_Comm comm, Make make)
{
    return va_from_global<T>({demo_rows}, comm, [&make](int g) { return make(static_cast<std::uint64_t>(g)); });
}

} // namespace

std::vector<std::string> demo_datasets()
{
    return {"position", "mass", "count", "temperature", "velocity"};
}

void write_demo_catalogue(const std::string& path, MPI_Comm comm)
{
    // Raw data: two double columns, an int and a float column, three doubles
    // per velocity; h5_output first makes sure the file system has room.
    const long long bytes = static_cast<long long>(demo_rows) * (8 + 8 + 4 + 4 + 3 * 8);
    h5_output out(path, comm, bytes);
    // Distances out to 500 Mpc, uniform in volume.
    out.write("position", column<double>(comm, [](std::uint64_t g) { return 500.0 * std::cbrt(uniform(g, 1)); }));
    out.write("mass", column<double>(comm, mass));
    // Member counts and temperatures grow with the mass (see mass() above),
    // so that fits and binned averages against the mass show a trend.
    out.write("count", column<int>(comm, [](std::uint64_t g) {
                  return static_cast<int>(1.0 + 0.5 * mass(g) + 3.0 * std::fabs(bell(g, 3)));
              }));
    out.write("temperature", column<float>(comm, [](std::uint64_t g) {
                  return static_cast<float>(1.0 + 0.08 * mass(g) + 0.3 * bell(g, 4));
              }));
    // Peculiar velocities, a few hundred km/s in each direction.
    out.write("velocity", column<Vector3>(comm, [](std::uint64_t g) {
                  return Vector3(300.0 * bell(g, 5), 300.0 * bell(g, 6), 300.0 * bell(g, 7));
              }));
    out.close();
}

} // namespace virda_stats
