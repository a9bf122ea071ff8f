#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>
#include <utility>

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

template <typename T, typename Format>
std::string json_array(const std::vector<T>& values, Format format)
{
    std::string s = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        s += (i ? ", " : "") + format(values[i]);
    }
    return s + "]";
}

std::string json_ref(const dataset_ref& d)
{
    std::string s = "{\"name\": " + json_string(d.name) + ", \"type\": " + json_string(d.type) +
                    ", \"rows\": " + std::to_string(d.rows);
    if (!d.stored.empty()) {
        s += ", \"stored\": " + json_string(d.stored);
    }
    if (d.columns > 0) {
        s += ", \"columns\": " + std::to_string(d.columns);
    }
    if (d.column >= 0) {
        s += ", \"column\": " + std::to_string(d.column);
    }
    if (d.beyond_exact >= 0) {
        s += ", \"beyond_2_53\": " + std::to_string(d.beyond_exact);
    }
    s += ", \"shape\": " + json_array(d.shape, [](long long e) { return std::to_string(e); });
    if (!d.layout.empty()) {
        s += ", \"layout\": " + json_string(d.layout);
    }
    if (!d.conventions.empty()) {
        s += ", \"conventions\": " + json_string(d.conventions);
    }
    for (const auto& [key, value] :
         {std::pair<const char*, long long>{"missing", d.missing}, {"nan_skipped", d.nan_skipped}, {"used", d.used}}) {
        if (value >= 0) {
            s += std::string(", \"") + key + "\": " + std::to_string(value);
        }
    }
    return s + "}";
}

std::string json_numbers(const std::vector<double>& values)
{
    return json_array(values, json_number);
}

void json_result(std::ostream& out, const report& r, const value_result& v)
{
    out << ",\n  " << json_string(operation_name(r.op)) << ": " << json_number(v.value);
}

void json_result(std::ostream& out, const report&, const histogram_result& h)
{
    std::vector<double> edges;
    for (std::size_t k = 0; k <= h.counts.size(); ++k) {
        edges.push_back(h.lower + static_cast<double>(k) * h.width);
    }
    out << ",\n  \"lower\": " << json_number(h.lower) << ",\n  \"width\": " << json_number(h.width)
        << ",\n  \"bins\": " << h.counts.size() << ",\n  \"edges\": " << json_numbers(edges)
        << ",\n  \"counts\": " << json_array(h.counts, [](long long c) { return std::to_string(c); });
}

void json_result(std::ostream& out, const report&, const binned_result& b)
{
    out << ",\n  \"centres\": " << json_numbers(b.centres) << ",\n  \"means\": " << json_numbers(b.means);
}

void text_result(std::ostream& out, const report&, const grid_result& g)
{
    write_grid_text(out, g);
}

void json_result(std::ostream& out, const report&, const grid_result& g)
{
    write_grid_json(out, g);
}

void json_result(std::ostream& out, const report&, const fit_result& f)
{
    out << ",\n  \"order\": " << f.order << ",\n  \"coefficients\": " << json_numbers(f.coefficients)
        << ",\n  \"centre\": " << json_number(f.centre) << ",\n  \"scale\": " << json_number(f.scale)
        << ",\n  \"scaled_coefficients\": " << json_numbers(f.scaled_coefficients)
        << ",\n  \"condition_number\": " << json_number(f.condition);
    if (!f.warning.empty()) {
        out << ",\n  \"warning\": " << json_string(f.warning);
    }
}

void json_result(std::ostream& out, const report&, const quantiles_result& q)
{
    out << ",\n  \"probabilities\": " << json_numbers(q.probabilities) << ",\n  \"quantiles\": "
        << json_numbers(q.values);
}

void json_result(std::ostream& out, const report&, const reduced_result& d)
{
    out << ",\n  \"output\": " << json_string(d.output) << ",\n  \"over\": " << json_array(d.over, [](const std::string& t) { return json_string(t); })
        << ",\n  \"dimensions\": " << json_array(d.kept, [](const std::string& t) { return json_string(t); })
        << ",\n  \"variables\": " << json_array(d.variables, [](const std::string& t) { return json_string(t); }) << ",\n  \"passes\": " << d.passes
        << ",\n  \"cell_groups\": " << d.cell_groups;
}

void json_result(std::ostream& out, const report&, const summary_result& s)
{
    out << ",\n  \"summary\": [";
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        const summary_row& row = s.rows[i];
        out << (i ? "," : "") << "\n    {\"dataset\": " << json_string(row.dataset);
        if (!row.component.empty()) {
            out << ", \"component\": " << json_string(row.component);
        }
        if (row.column >= 0) {
            out << ", \"column\": " << row.column;
        }
        out << ", \"type\": " << json_string(row.type) << ", \"count\": " << row.count
            << ", \"mean\": " << json_number(row.mean) << ", \"stdev\": " << json_number(row.stdev)
            << ", \"min\": " << json_number(row.min) << ", \"max\": " << json_number(row.max)
            << ", \"median\": " << json_number(row.median) << ", \"nan_count\": " << row.nan_count
            << ", \"missing_count\": " << row.missing_count << "}";
    }
    out << "\n  ]";
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

std::string json_number(double v)
{
    if (std::isnan(v)) {
        return "\"NaN\"";
    }
    if (std::isinf(v)) {
        return v < 0 ? "\"-Infinity\"" : "\"Infinity\"";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    return buffer;
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

std::string held_from_stored(const dataset_ref& d)
{
    const bool natural = d.stored.empty() || (d.type == "double" && d.stored == "float64") ||
                         (d.type == "float" && d.stored == "float32") || (d.type == "int" && d.stored == "int32") ||
                         ((d.type == "Vector2" || d.type == "Vector3") && d.stored == "float64");
    return natural ? d.type : d.type + " from " + d.stored;
}

std::vector<std::string> warnings_of(const report& r)
{
    std::vector<std::string> lines;
    if (const auto* f = std::get_if<fit_result>(&r.result); f != nullptr && !f->warning.empty()) {
        lines.push_back(f->warning);
    }
    return lines;
}

void write_text(std::ostream& out, const report& r)
{
    text_header(out, r);
    std::visit([&](const auto& result) { text_result(out, r, result); }, r.result);
}

void write_json(std::ostream& out, const report& r)
{
    out << "{\n  \"file\": " << json_string(r.file) << ",\n  \"ranks\": " << r.ranks
        << ",\n  \"operation\": " << json_string(operation_name(r.op));
    if (r.dataset) {
        out << ",\n  \"dataset\": " << json_ref(*r.dataset);
    }
    if (r.weights) {
        out << ",\n  \"weights\": " << json_ref(*r.weights);
    }
    if (r.y) {
        out << ",\n  \"y\": " << json_ref(*r.y);
    }
    if (r.values) {
        out << ",\n  \"values\": " << json_ref(*r.values);
    }
    std::visit([&](const auto& result) { json_result(out, r, result); }, r.result);
    out << "\n}\n";
}

} // namespace virda_stats
