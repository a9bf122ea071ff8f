// Example framework program: builds distributed arrays of several element
// types, shows how their rows are split over the ranks, and reads elements
// held by other ranks. Run it under mpiexec with a few ranks.
#include "reference_runtime/virda_session.h"
#include "virdastatistics.h"

#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

template <typename T>
void show_distribution(const char* name, const va<T>& a, int ranks)
{
    std::ostringstream out;
    out << name << " extents {";
    const auto dims = a.va_get_dimensions();
    for (std::size_t i = 0; i < dims.size(); ++i) {
        out << (i ? ", " : "") << dims[i];
    }
    out << "}, " << a.va_size() << " elements over " << ranks << " ranks:\n";
    for (int r = 0; r < ranks; ++r) {
        const auto range = a.va_distribution_index(r);
        out << "  rank " << r << " holds global indices " << range[0] << " to " << range[1] << " ("
            << range[1] - range[0] + 1 << " elements)\n";
    }
    std::cout << out.str();
}

std::string text(double v) { std::ostringstream s; s << v; return s.str(); }
std::string text(const Vector3& v) { std::ostringstream s; s << '(' << v.x << ", " << v.y << ", " << v.z << ')'; return s.str(); }
std::string text(const fftw_complex& c) { std::ostringstream s; s << c.re << (c.im < 0 ? " - " : " + ") << (c.im < 0 ? -c.im : c.im) << 'i'; return s.str(); }

} // namespace

int main(int argc, char** argv)
{
    virda_session session(&argc, &argv);
    const int ranks = session.size();
    {
        // Each array is filled from the global index, so every rank knows what
        // any element should hold.
        const va<double> positions = va_from_global<double>({10, 3}, VIRDA_COMM, [](int g) { return g + 0.5; });
        const va<Vector3> velocities =
            va_from_global<Vector3>({7}, VIRDA_COMM, [](int g) { return Vector3(g, -g, 2.0 * g); });
        const va<fftw_complex> modes = va_from_global<fftw_complex>({5}, VIRDA_COMM, [](int g) {
            fftw_complex c;
            c.re = g;
            c.im = -0.5 * g;
            return c;
        });

        if (session.rank() == 0) {
            show_distribution("positions (double)", positions, ranks);
            show_distribution("velocities (Vector3)", velocities, ranks);
            show_distribution("modes (fftw_complex)", modes, ranks);
        }

        // Every rank reads the last element of each array, wherever it lives,
        // and one element of the next rank's block.
        std::ostringstream out;
        const int next = (session.rank() + 1) % ranks;
        const auto next_range = positions.va_distribution_index(next);
        out << "rank " << session.rank() << ": positions[29] = " << text(positions[29])
            << " (expected 29.5), velocities[6] = " << text(velocities[6]) << " (expected (6, -6, 12))"
            << ", modes[4] = " << text(modes[4]) << " (expected 4 - 2i)";
        if (next_range[1] >= next_range[0]) {
            out << ", first element of rank " << next << " = positions[" << next_range[0]
                << "] = " << text(positions[next_range[0]]);
        }
        out << '\n';

        // Print in rank order.
        for (int r = 0; r < ranks; ++r) {
            if (r == session.rank()) {
                std::cout << out.str() << std::flush;
            }
            MPI_Barrier(VIRDA_COMM);
        }

        double buffer[16];
        positions.va_get(5, 20, buffer);
        if (session.rank() == 0) {
            std::cout << "positions[5..20] read as one range by rank 0:";
            for (double v : buffer) {
                std::cout << ' ' << v;
            }
            std::cout << '\n';
        }
    }
    return 0;
}
