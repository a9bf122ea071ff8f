// What write_json prints of a run: one JSON object, numbers that read back
// exactly.

#include "report.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace virda_stats {

namespace {

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
