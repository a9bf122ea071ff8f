// What write_text prints of a run: a readable table per result.

#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>

namespace virda_stats {

namespace {

std::string shape_of(const dataset_ref& d)
{
    std::string s = "(";
    for (std::size_t i = 0; i < d.shape.size(); ++i) {
        s += (i ? ", " : "") + std::to_string(d.shape[i]);
    }
    return s + (d.shape.size() == 1 ? ",)" : ")");
}

std::string describe(const dataset_ref& d)
{
    if (d.layout == "grid") {
        long long values = 1;
        for (const long long e : d.shape) {
            values *= e;
        }
        return d.name + " (" + held_from_stored(d) + ", a grid of shape " + shape_of(d) + ": " +
               std::to_string(values) + " values)";
    }
    std::string shape = std::to_string(d.rows) + " rows";
    if (d.columns > 0) {
        shape += d.column >= 0 ? ", column " + std::to_string(d.column) + " of " + std::to_string(d.columns)
                               : " of " + std::to_string(d.columns) + " columns";
    }
    return d.name + " (" + held_from_stored(d) + ", " + shape + ")";
}

/// A line on integers that doubles may have rounded, or "".
std::string rounding_note(const dataset_ref& d)
{
    if (d.beyond_exact <= 0) {
        return {};
    }
    return d.name + ": " + std::to_string(d.beyond_exact) +
           " values of magnitude 2^53 or more, read as double, may be rounded (doubles hold every integer "
           "exactly only up to 2^53)";
}

void text_header(std::ostream& out, const report& r)
{
    out << "file      " << r.file << '\n';
    if (r.dataset) {
        out << "dataset   " << describe(*r.dataset) << '\n';
    }
    if (r.weights) {
        out << "weights   " << describe(*r.weights) << '\n';
    }
    if (r.y) {
        out << "y         " << describe(*r.y) << '\n';
    }
    if (r.values) {
        out << "binned    " << describe(*r.values) << '\n';
    }
    out << "ranks     " << r.ranks << '\n';
    for (const auto* d : {&r.dataset, &r.weights, &r.y, &r.values}) {
        if (!*d) {
            continue;
        }
        if (!(*d)->layout.empty()) {
            out << "layout    " << (*d)->name << ": "
                << ((*d)->layout == "grid" ? "grid, statistics over all its values together"
                                           : "table, statistics per column")
                << " (" << (*d)->layout_reason << ")\n";
        }
        if (!(*d)->conventions.empty()) {
            out << "missing   " << (*d)->name << ": " << (*d)->conventions << '\n';
        }
        if (!rounding_note(**d).empty()) {
            out << "note      " << rounding_note(**d) << '\n';
        }
    }
    if (r.dataset && r.dataset->used >= 0) {
        std::string left;
        for (const auto* d : {&r.dataset, &r.y, &r.weights, &r.values}) {
            if (*d && (*d)->missing > 0) {
                left += ", " + std::to_string((*d)->missing) + " missing in " + (*d)->name;
            }
            if (*d && (*d)->nan_skipped > 0) {
                left += ", " + std::to_string((*d)->nan_skipped) + " NaN left out of " + (*d)->name;
            }
        }
        out << "values    " << r.dataset->used << " taken" << left << '\n';
    }
}

void text_result(std::ostream& out, const report&, const reduced_result& d)
{
    std::string over;
    std::string kept;
    for (const std::string& name : d.over) {
        over += (over.empty() ? "" : ", ") + name;
    }
    for (const std::string& name : d.kept) {
        kept += (kept.empty() ? "" : ", ") + name;
    }
    out << "reduced   over " << over << " (" << d.passes << (d.passes == 1 ? " pass" : " passes")
        << " over the data)\nwrote     " << d.output << '\n';
    for (const std::string& v : d.variables) {
        out << "          " << v << "(" << kept << ")\n";
    }
}

void text_result(std::ostream& out, const report& r, const value_result& v)
{
    out << std::left << std::setw(10) << operation_name(r.op) << text_number(v.value) << '\n';
}

void text_result(std::ostream& out, const report&, const histogram_result& h)
{
    const int bins = static_cast<int>(h.counts.size());
    long long counted = 0;
    long long largest = 0;
    for (const long long c : h.counts) {
        counted += c;
        largest = std::max(largest, c);
    }
    out << "\nhistogram: " << bins << " bins of width " << text_number(h.width) << " above "
        << text_number(h.lower) << ": " << counted << " values counted\n\n";

    // Bin 0 is open at the lower edge: values equal to it are not counted.
    std::vector<std::string> labels;
    std::size_t label_width = 3;
    for (int k = 0; k < bins; ++k) {
        const double from = h.lower + k * h.width;
        const double to = h.lower + (k + 1) * h.width;
        labels.push_back((k == 0 ? "(" : "[") + text_number(from) + ", " + text_number(to) + ")");
        label_width = std::max(label_width, labels.back().size());
    }
    const int bar_width = 50;
    out << std::left << std::setw(static_cast<int>(label_width)) << "bin" << "  " << std::right << std::setw(10)
        << "count" << '\n';
    for (int k = 0; k < bins; ++k) {
        const long long c = h.counts[k];
        // c * 50 fits: counts stay far below 2^57.
        int bar = largest > 0 ? static_cast<int>(c * bar_width / largest) : 0;
        if (c > 0 && bar == 0) {
            bar = 1;
        }
        out << std::left << std::setw(static_cast<int>(label_width)) << labels[k] << "  " << std::right
            << std::setw(10) << c << ' ' << std::string(static_cast<std::size_t>(bar), '#') << '\n';
    }
}

void text_result(std::ostream& out, const report&, const binned_result& b)
{
    out << "\nbin-data: mean of y per bin of the dataset (0 for an empty bin)\n\n";
    out << std::left << std::setw(18) << "centre" << "mean y\n";
    for (std::size_t k = 0; k < b.centres.size(); ++k) {
        out << std::left << std::setw(18) << text_number(b.centres[k]) << text_number(b.means[k]) << '\n';
    }
}

void text_result(std::ostream& out, const report&, const fit_result& f)
{
    out << "\npoly-fit: polynomial of order " << f.order << ": y = c0 + c1 x + ... (x: the dataset)\n"
        << "fitted in x' = (x - " << text_number(f.centre) << ") / " << text_number(f.scale)
        << "; condition number of the normal matrix " << text_number(f.condition) << "\n\n";
    out << std::left << std::setw(8) << "power" << std::setw(20) << "coefficient of x" << "coefficient of x'\n";
    for (std::size_t p = 0; p < f.coefficients.size(); ++p) {
        const double scaled = p < f.scaled_coefficients.size() ? f.scaled_coefficients[p] : 0.0;
        out << std::left << std::setw(8) << p << std::setw(19) << text_number(f.coefficients[p]) << ' '
            << text_number(scaled) << '\n';
    }
    // A warning goes to standard error (main.cpp), once.
}

void text_result(std::ostream& out, const report&, const quantiles_result& q)
{
    out << "\nquantiles: linear between the exact order statistics\n\n";
    out << std::left << std::setw(18) << "probability" << "quantile\n";
    for (std::size_t i = 0; i < q.values.size(); ++i) {
        out << std::left << std::setw(18) << text_number(q.probabilities[i]) << text_number(q.values[i]) << '\n';
    }
}

void text_result(std::ostream& out, const report&, const summary_result& s)
{
    std::vector<std::string> names;
    std::size_t name_width = 7;
    for (const summary_row& row : s.rows) {
        const std::string part = row.column >= 0 ? std::to_string(row.column) : row.component;
        names.push_back(part.empty() ? row.dataset : row.dataset + "[" + part + "]");
        name_width = std::max(name_width, names.back().size());
    }
    // Every column after the first starts with a blank, whatever the width
    // of the value before it: a number that takes its whole field (such as
    // -4.940656458e-324, 17 characters) pushes the line right rather than
    // running into its neighbour.
    const auto column = [&out](int width, const std::string& text) {
        out << ' ' << std::right << std::setw(width - 1) << text;
    };
    const int w = 17;
    out << '\n' << std::left << std::setw(static_cast<int>(name_width)) << "dataset" << "  " << std::setw(8) << "type";
    column(10, "count");
    for (const char* name : {"mean", "stdev", "min", "max", "median"}) {
        column(w, name);
    }
    column(8, "NaN");
    const bool conventions =
        std::any_of(s.rows.begin(), s.rows.end(), [](const summary_row& row) { return row.conventions; });
    if (conventions) {
        column(10, "missing");
    }
    out << '\n';
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        const summary_row& row = s.rows[i];
        out << std::left << std::setw(static_cast<int>(name_width)) << names[i] << ' ' << ' ' << std::setw(7)
            << row.type << ' ';
        column(10, std::to_string(row.count));
        for (const double v : {row.mean, row.stdev, row.min, row.max, row.median}) {
            column(w, text_number(v));
        }
        column(8, std::to_string(row.nan_count));
        if (conventions) {
            column(10, std::to_string(row.missing_count));
        }
        out << '\n';
    }
}

void text_result(std::ostream& out, const report&, const grid_result& g)
{
    write_grid_text(out, g);
}

} // namespace

std::string text_number(double v, int digits)
{
    if (std::isnan(v)) {
        return "nan";
    }
    if (std::isinf(v)) {
        return v < 0 ? "-inf" : "inf";
    }
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, v);
    return buffer;
}

void write_text(std::ostream& out, const report& r)
{
    text_header(out, r);
    std::visit([&](const auto& result) { text_result(out, r, result); }, r.result);
}

} // namespace virda_stats
