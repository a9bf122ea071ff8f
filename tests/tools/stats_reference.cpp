// Writes a test file for virda-stats and, beside it, the answers that direct
// calls of the statistics library give on the same data, as JSON cases that
// compare_with_library.py runs the tool on:
//
//   mpiexec -n N virda_stats_reference FILE EXPECTED.json
//
// Every value is a function of its row number, so each rank builds its own
// block of every array without reading the file, and every rank knows the
// whole data set for the serial checks (minimum, maximum, NaN count). The
// file also holds the datasets the tool must refuse (wrong type, shape or
// length), for the error tests.
#include "h5_handle.h"
#include "h5_rows.h"
#include "h5_writer.h"
#include "report.h"

#include "reference_runtime/virda_session.h"
#include "virdastatistics.h"

#include <hdf5.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using virda_stats::json_number;
using virda_stats::json_string;

constexpr int rows = 1001;
constexpr int tiny_rows = 3; // fewer rows than ranks at 4 ranks
const double nan = std::numeric_limits<double>::quiet_NaN();

double gx(int g) { return -3.0 + 0.009 * g + std::sin(0.7 * g); }
float gxf(int g) { return static_cast<float>(gx(g)); }
int gxi(int g) { return (g * 37) % 101 - 50; }
double gw(int g) { return 0.5 + 0.25 * (g % 7); }
int gwi(int g) { return 1 + g % 5; }
double gy(int g)
{
    const double x = gx(g);
    return 2.0 + 0.5 * x - 0.1 * x * x + 0.05 * std::sin(3.0 * g);
}
float gyf(int g) { return static_cast<float>(gy(g)); }
double gxnan(int g) { return g % 97 == 5 ? nan : gx(g); }
double gtiny(int g) { return g == 0 ? 1.5 : g == 1 ? -2.0 : 4.25; }
Vector3 gv3(int g) { return Vector3(0.5 * g, -1.0 * g, std::sin(1.0 * g)); }
float gv2(int g, int c) { return static_cast<float>(c == 0 ? std::cos(1.0 * g) : 0.25 * g); }

/// An array of `n` elements whose element g is gen(g); each rank fills its
/// own block. Collective.
template <typename T, typename Gen>
va<T> column(int n, Gen gen)
{
    return va_from_global<T>({n}, VIRDA_COMM, gen);
}

template <typename T, typename Gen>
Attribute attribute(int n, Gen gen)
{
    return attribute_from_global<T>({n}, VIRDA_COMM, gen);
}

/// Creates a dataset collectively and writes `values` from rank 0 alone (the
/// other ranks select nothing). No values: the
/// dataset is only created.
void write_raw(hid_t file, const char* name, hid_t type, const std::vector<hsize_t>& dims,
               const void* values = nullptr)
{
    using namespace virda_stats;
    const h5_handle space =
        h5_space_handle(dims.empty() ? H5Screate(H5S_SCALAR)
                                     : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr));
    const h5_handle dataset =
        h5_dataset_handle(H5Dcreate2(file, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (values == nullptr) {
        return;
    }
    const h5_handle file_space = h5_space_handle(H5Dget_space(dataset.get()));
    const h5_handle memory_space = h5_space_handle(H5Dget_space(dataset.get()));
    if (VIRDA_ID != 0) {
        H5Sselect_none(file_space.get());
        H5Sselect_none(memory_space.get());
    }
    const h5_handle transfer = independent_transfer();
    H5Dwrite(dataset.get(), type, memory_space.get(), file_space.get(), transfer.get(), values);
}

void write_file(const std::string& path)
{
    virda_stats::h5_output out(path, VIRDA_COMM);
    out.write("x", column<double>(rows, gx));
    out.write("xf", column<float>(rows, gxf));
    out.write("xi", column<int>(rows, gxi));
    out.write("w", column<double>(rows, gw));
    out.write("wi", column<int>(rows, gwi));
    out.write("y", column<double>(rows, gy));
    out.write("yf", column<float>(rows, gyf));
    out.write("xnan", column<double>(rows, gxnan));
    out.write("tiny", column<double>(tiny_rows, gtiny));
    out.write("vel3", column<Vector3>(rows, gv3));
    out.write("short_y", column<double>(rows - 1, gy));

    // Vectors stored as 32-bit floats.
    std::vector<float> v2(2 * rows);
    for (int g = 0; g < rows; ++g) {
        v2[2 * g] = gv2(g, 0);
        v2[2 * g + 1] = gv2(g, 1);
    }
    write_raw(out.id(), "vel2f", H5T_NATIVE_FLOAT, {rows, 2}, v2.data());

    // A dataset inside a group.
    {
        const virda_stats::h5_handle group(H5Gcreate2(out.id(), "grp", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                                           H5Gclose);
    }
    out.write("grp/inner", column<double>(tiny_rows, gtiny));

    // Datasets the tool refuses or reads only in parts (never written: they
    // hold the fill value).
    write_raw(out.id(), "i64", H5T_NATIVE_INT64, {rows});
    write_raw(out.id(), "u32", H5T_NATIVE_UINT32, {rows});
    const virda_stats::h5_handle text = virda_stats::h5_type_handle(H5Tcopy(H5T_C_S1));
    H5Tset_size(text.get(), 8);
    write_raw(out.id(), "text", text.get(), {rows});
    write_raw(out.id(), "wide", H5T_NATIVE_DOUBLE, {rows, 4});
    write_raw(out.id(), "ivec", H5T_NATIVE_INT, {rows, 3});
    write_raw(out.id(), "scalar", H5T_NATIVE_DOUBLE, {});
    write_raw(out.id(), "empty", H5T_NATIVE_DOUBLE, {0});
    out.close();
}

/// The expected cases, as a JSON array being built.
class cases {
public:
    /// A case: the tool's arguments, the members its output must hold with
    /// exactly these values, and, optionally, members whose numbers must lie
    /// within bounds (`within`: "name": [[lo, hi], ...]).
    void add(const std::vector<std::string>& args, const std::string& expect, const std::string& within = "")
    {
        std::string list;
        for (const std::string& a : args) {
            list += (list.empty() ? "" : ", ") + json_string(a);
        }
        text_ += std::string(text_.empty() ? "" : ",\n") + "    {\"args\": [" + list + "], \"expect\": {" + expect +
                 "}" + (within.empty() ? "" : ", \"within\": {" + within + "}") + "}";
    }
    std::string json() const { return "{\n  \"cases\": [\n" + text_ + "\n  ]\n}\n"; }

private:
    std::string text_;
};

std::string field(const char* name, double v) { return json_string(name) + ": " + json_number(v); }

std::string numbers(const std::vector<double>& v)
{
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        s += (i ? ", " : "") + json_number(v[i]);
    }
    return s + "]";
}

std::string counts(const std::vector<int>& v)
{
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        s += (i ? ", " : "") + std::to_string(v[i]);
    }
    return s + "]";
}

std::string dataset(const char* type, int n)
{
    return "\"dataset\": {\"type\": " + json_string(type) + ", \"rows\": " + std::to_string(n) + "}";
}

/// A summary line: mean, stdev and median from the library, extremes and NaN count
/// from the whole data set, which every rank can generate.
template <typename Gen>
std::string summary_line(Attribute& a, int n, Gen gen, const char* component = nullptr)
{
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    int nans = 0;
    for (int g = 0; g < n; ++g) {
        const double v = gen(g);
        if (std::isnan(v)) {
            ++nans;
        } else {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    std::string s = "{";
    if (component != nullptr) {
        s += "\"component\": " + json_string(component) + ", ";
    }
    const double m = mean(a);
    const double sd = stdev(a);
    const double md = median(a);
    s += "\"count\": " + std::to_string(n) + ", " + field("mean", m) + ", " + field("stdev", sd) + ", " +
         field("min", lo) + ", " + field("max", hi) + ", " + field("median", md) +
         ", \"nan_count\": " + std::to_string(nans) + "}";
    return s;
}

std::vector<double> centres(double c0, double w, int n)
{
    std::vector<double> c(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        c[k] = c0 + k * w;
    }
    return c;
}

/// The finite extremes of gen(0 .. n-1).
template <typename Gen>
std::pair<double, double> extremes(int n, Gen gen)
{
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (int g = 0; g < n; ++g) {
        const double v = gen(g);
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    return {lo, hi};
}

/// A poly-fit case. The tool fits in the centred and scaled variable
/// x' = (x - c) / s with c = lo/2 + hi/2 and s = hi/2 - lo/2 from the finite
/// extremes of x (docs/virda-stats.md): its centre and scale must be exactly
/// these. Its coefficients in x' come from the exact power sums of x' (each
/// term rounded once, the totals exact); the library's poly_fit on the same
/// x', formed with attribute arithmetic as (x + (-c)) * (1 / s), adds its
/// sums in double, so the two agree to the last digits only: here to 1e-12
/// of the largest coefficient (these normal matrices have condition numbers
/// below 1e3). The tool's coefficients in x are those converted back; they
/// must agree with the library's fit in x itself (well conditioned at these
/// orders) to 1e-8 of the largest coefficient.
void add_fit(cases& c, const std::vector<std::string>& args, Attribute& x, std::pair<double, double> range,
             Attribute& y, Attribute* w, int order)
{
    const double centre = range.first / 2 + range.second / 2;
    const double scale = range.second / 2 - range.first / 2;
    Attribute shifted = x + scalar_variant(-centre);
    Attribute xp = shifted * scalar_variant(1.0 / scale);
    const std::unique_ptr<function> centred(w != nullptr ? poly_fit(xp, y, *w, order) : poly_fit(xp, y, order));
    const std::unique_ptr<function> direct(w != nullptr ? poly_fit(x, y, *w, order) : poly_fit(x, y, order));

    // [v - tolerance * largest, v + tolerance * largest] for each v.
    const auto bounds_of = [](const std::vector<double>& values, double tolerance) {
        double largest = 0.0;
        for (const double v : values) {
            largest = std::max(largest, std::fabs(v));
        }
        std::string bounds;
        for (const double v : values) {
            const double t = tolerance * largest;
            bounds += (bounds.empty() ? "" : ", ") + std::string("[") + json_number(v - t) + ", " +
                      json_number(v + t) + "]";
        }
        return "[" + bounds + "]";
    };
    c.add(args,
          "\"order\": " + std::to_string(centred->get_order()) + ", " + field("centre", centre) + ", " +
              field("scale", scale),
          "\"scaled_coefficients\": " + bounds_of(centred->get_coeffs(), 1e-12) +
              ", \"coefficients\": " + bounds_of(direct->get_coeffs(), 1e-8));
}

/// Every case calls the library in the same order on every rank.
std::string expected_cases()
{
    cases c;
    Attribute x = attribute<double>(rows, gx);
    Attribute xf = attribute<float>(rows, gxf);
    Attribute xi = attribute<int>(rows, gxi);
    Attribute xi_double = attribute<double>(rows, gxi);
    Attribute w = attribute<double>(rows, gw);
    Attribute wi = attribute<int>(rows, gwi);
    Attribute y = attribute<double>(rows, gy);
    Attribute yf = attribute<float>(rows, gyf);
    Attribute xnan = attribute<double>(rows, gxnan);
    Attribute tiny = attribute<double>(tiny_rows, gtiny);

    c.add({"x", "mean"}, dataset("double", rows) + ", " + field("mean", mean(x)));
    c.add({"xf", "mean"}, dataset("float", rows) + ", " + field("mean", mean(xf)));
    c.add({"xi", "mean"}, dataset("int", rows) + ", " + field("mean", mean(xi)));
    c.add({"x", "mean", "--weights", "w"}, field("mean", mean(x, w)));
    c.add({"xi", "mean", "--weights", "wi"}, field("mean", mean(xi, wi)));
    c.add({"xnan", "mean"}, field("mean", mean(xnan)));
    c.add({"x", "stdev"}, field("stdev", stdev(x)));
    c.add({"xf", "stdev", "--weights", "w"}, field("stdev", stdev(xf, w)));
    c.add({"xi", "stdev", "--weights=wi"}, field("stdev", stdev(xi, wi)));

    // Histogram counts arrive on rank 0, which writes the file.
    c.add({"x", "histogram", "--lower", "-4", "--width", "0.5", "--bins", "24"},
          "\"counts\": " + counts(histogram(x, -4.0, 0.5, 24)));
    c.add({"xi", "histogram", "--lower", "-50", "--width", "10", "--bins", "10"},
          "\"counts\": " + counts(histogram(xi, -50.0, 10.0, 10)));
    c.add({"xf", "histogram", "--lower", "-2.5", "--width", "0.25", "--bins", "30"},
          "\"counts\": " + counts(histogram(xf, -2.5, 0.25, 30)));
    c.add({"xnan", "histogram", "--lower", "-4", "--width", "1", "--bins", "12"},
          "\"counts\": " + counts(histogram(xnan, -4.0, 1.0, 12)));

    // bin-data reads its x as double whatever the stored type.
    c.add({"x", "bin-data", "--y", "y", "--centres", "-3,1,10"},
          "\"means\": " + numbers(bin_data(x, y, centres(-3.0, 1.0, 10))));
    c.add({"xi", "bin-data", "--y", "yf", "--centres", "-45,10,10"},
          "\"means\": " + numbers(bin_data(xi_double, yf, centres(-45.0, 10.0, 10))));
    c.add({"x", "bin-data", "--y", "xi", "--centres", "0,0.5,8"},
          "\"means\": " + numbers(bin_data(x, xi, centres(0.0, 0.5, 8))));

    // quantiles: the library's values for the same probabilities.
    const std::vector<double> five = {0.05, 0.25, 0.5, 0.75, 0.95};
    c.add({"x", "quantiles", "--q", "0.05,0.25,0.5,0.75,0.95"},
          dataset("double", rows) + ", \"probabilities\": " + numbers(five) + ", \"quantiles\": " +
              numbers(quantile(x, five)));
    c.add({"xi", "quantiles", "--q", "0,1,0.5"}, "\"quantiles\": " + numbers(quantile(xi, {0.0, 1.0, 0.5})));
    c.add({"xf", "quantiles", "--q=0.1"}, "\"quantiles\": " + numbers(quantile(xf, {0.1})));
    c.add({"xnan", "quantiles", "--q", "0.5,0.9"}, "\"quantiles\": " + numbers(quantile(xnan, {0.5, 0.9})));
    c.add({"tiny", "quantiles", "--q", "0.3"}, "\"quantiles\": " + numbers(quantile(tiny, {0.3})));

    const auto x_range = extremes(rows, gx);
    const auto xf_range = extremes(rows, [](int g) { return static_cast<double>(gxf(g)); });
    add_fit(c, {"x", "poly-fit", "--y", "y", "--order", "2"}, x, x_range, y, nullptr, 2);
    add_fit(c, {"x", "poly-fit", "--y", "yf", "--order", "3", "--weights", "w"}, x, x_range, yf, &w, 3);
    add_fit(c, {"xf", "poly-fit", "--y", "y", "--order", "1"}, xf, xf_range, y, nullptr, 1);

    c.add({"x", "summary"}, dataset("double", rows) + ", \"summary\": [" + summary_line(x, rows, gx) + "]");
    c.add({"xf", "summary"},
          "\"summary\": [" + summary_line(xf, rows, [](int g) { return static_cast<double>(gxf(g)); }) + "]");
    c.add({"xi", "summary"},
          "\"summary\": [" + summary_line(xi, rows, [](int g) { return static_cast<double>(gxi(g)); }) + "]");
    c.add({"xnan", "summary"}, "\"summary\": [" + summary_line(xnan, rows, gxnan) + "]");

    // Vector datasets: one line per component, each from an array of doubles
    // distributed as the vectors are.
    {
        Attribute vx = attribute<double>(rows, [](int g) { return gv3(g).x; });
        Attribute vy = attribute<double>(rows, [](int g) { return gv3(g).y; });
        Attribute vz = attribute<double>(rows, [](int g) { return gv3(g).z; });
        const std::string lx = summary_line(vx, rows, [](int g) { return gv3(g).x; }, "x");
        const std::string ly = summary_line(vy, rows, [](int g) { return gv3(g).y; }, "y");
        const std::string lz = summary_line(vz, rows, [](int g) { return gv3(g).z; }, "z");
        c.add({"vel3", "summary"}, dataset("Vector3", rows) + ", \"summary\": [" + lx + ", " + ly + ", " + lz + "]");
    }
    {
        const auto c0 = [](int g) { return static_cast<double>(gv2(g, 0)); };
        const auto c1 = [](int g) { return static_cast<double>(gv2(g, 1)); };
        Attribute v0 = attribute<double>(rows, c0);
        Attribute v1 = attribute<double>(rows, c1);
        const std::string l0 = summary_line(v0, rows, c0, "x");
        const std::string l1 = summary_line(v1, rows, c1, "y");
        c.add({"vel2f", "summary"}, dataset("Vector2", rows) + ", \"summary\": [" + l0 + ", " + l1 + "]");
    }

    // Fewer rows than ranks; a dataset inside a group.
    c.add({"tiny", "mean"}, dataset("double", tiny_rows) + ", " + field("mean", mean(tiny)));
    c.add({"tiny", "summary"}, "\"summary\": [" + summary_line(tiny, tiny_rows, gtiny) + "]");
    c.add({"tiny", "histogram", "--lower", "-3", "--width", "2", "--bins", "4"},
          "\"counts\": " + counts(histogram(tiny, -3.0, 2.0, 4)));
    c.add({"/grp/inner", "stdev"}, dataset("double", tiny_rows) + ", " + field("stdev", stdev(tiny)));
    return c.json();
}

} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    {
        virda_session session(&argc, &argv);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        if (argc != 3) {
            if (session.rank() == 0) {
                std::fprintf(stderr, "usage: virda_stats_reference FILE EXPECTED.json\n");
            }
            status = 2;
        } else {
            try {
                write_file(argv[1]);
                const std::string json = expected_cases();
                if (session.rank() == 0) {
                    std::ofstream(argv[2]) << json;
                }
            } catch (const std::exception& e) {
                // Thrown on every rank alike by the file writer.
                if (session.rank() == 0) {
                    std::fprintf(stderr, "virda_stats_reference: error: %s\n", e.what());
                }
                status = 1;
            }
        }
        H5close();
    }
    return status;
}
