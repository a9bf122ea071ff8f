#include "engine/weighted_moments.h"

#include "engine/error.h"
#include "engine/exact_sum.h"
#include "engine/exact_total.h"
#include "engine/moment_kernels.h"
#include "engine/record_reduction.h"
#include "engine/values_as_doubles.h"
#include "engine/wide_integer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace virda::engine {
namespace {

using namespace detail;

constexpr std::size_t chunk = 2048;

// Factors within [2^-200, 2^200] (or 0) give products w x and w x^2 whose
// parts are exact doubles. Others are scaled by 2^(-400 c) into that range
// first, c their class (-3 to 2 covers every double), and their products
// summed per class of the product's scale: c_x + c_w for w x, 2 c_x + c_w
// for w x^2.
constexpr double low_bound = 0x1p-200;
constexpr double high_bound = 0x1p200;
constexpr int class_bits = 400;
constexpr int wx_lowest = -6;
constexpr int wx_classes = 11; // -6 .. 4
constexpr int wxx_lowest = -9;
constexpr int wxx_classes = 16; // -9 .. 6
constexpr std::size_t totals = 1 + wx_classes + wxx_classes;
constexpr std::size_t sums_per_record = 2 + totals * exact_record_fields;

bool ordinary(double v)
{
    const double a = std::fabs(v);
    return a == 0.0 || (a >= low_bound && a <= high_bound);
}

int class_of(double v)
{
    if (v == 0.0) {
        return 0;
    }
    const int e = std::ilogb(v);
    const int c = e >= 0 ? (e + class_bits / 2) / class_bits : -((-e + class_bits / 2) / class_bits);
    return std::clamp(c, -3, 2);
}

} // namespace

struct weighted_moments::state {
    std::int64_t count = 0;
    std::int64_t nan = 0;
    bool failed = false;
    exact_sum weights;
    exact_sum wx[wx_classes];
    exact_sum wxx[wxx_classes];
    mutable reduction_record record;

    void add_pairs(const double* x, const double* w, std::size_t n);
    void add_one_scaled(double x, double w);
    void fill_record(int rank, nan_policy policy) const;
};

void weighted_moments::state::add_pairs(const double* x, const double* w, std::size_t n)
{
    const virda_detail::moment_kernel_table& k = virda_detail::moment_kernels();
    double xs[chunk];
    double ws[chunk];
    std::size_t m = 0;
    bool all_ordinary = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(x[i]) || std::isnan(w[i])) {
            ++nan;
            continue;
        }
        xs[m] = x[i];
        ws[m] = w[i];
        all_ordinary = all_ordinary && ordinary(x[i]) && ordinary(w[i]);
        ++m;
    }
    count += static_cast<std::int64_t>(m);
    if (m == 0) {
        return;
    }
    weights.add(ws, m);
    if (!all_ordinary) {
        for (std::size_t i = 0; i < m; ++i) {
            add_one_scaled(xs[i], ws[i]);
        }
        return;
    }
    double hi[chunk];
    double lo[chunk];
    double sq[chunk];
    double sql[chunk];
    k.product(xs, ws, m, hi, lo);
    wx[-wx_lowest].add(hi, m);
    wx[-wx_lowest].add(lo, m);
    k.square(xs, m, sq, sql);
    k.product(sq, ws, m, hi, lo);
    wxx[-wxx_lowest].add(hi, m);
    wxx[-wxx_lowest].add(lo, m);
    k.product(sql, ws, m, hi, lo);
    wxx[-wxx_lowest].add(hi, m);
    wxx[-wxx_lowest].add(lo, m);
}

void weighted_moments::state::add_one_scaled(double x, double w)
{
    const virda_detail::moment_kernel_table& k = virda_detail::moment_kernels();
    if (!std::isfinite(x) || !std::isfinite(w)) {
        // The products as IEEE arithmetic gives them (infinities, or NaN for
        // 0 * inf): the totals carry them; no spread is defined.
        const double p = x * w;
        wx[-wx_lowest].add(&p, 1);
        const double q = x * x * w;
        wxx[-wxx_lowest].add(&q, 1);
        return;
    }
    const int cx = class_of(x);
    const int cw = class_of(w);
    const double xs = std::ldexp(x, -class_bits * cx);
    const double ws = std::ldexp(w, -class_bits * cw);
    double hi = 0;
    double lo = 0;
    k.product(&xs, &ws, 1, &hi, &lo);
    exact_sum& p = wx[cx + cw - wx_lowest];
    p.add(&hi, 1);
    p.add(&lo, 1);
    double sq = 0;
    double sql = 0;
    k.square(&xs, 1, &sq, &sql);
    exact_sum& q = wxx[2 * cx + cw - wxx_lowest];
    k.product(&sq, &ws, 1, &hi, &lo);
    q.add(&hi, 1);
    q.add(&lo, 1);
    k.product(&sql, &ws, 1, &hi, &lo);
    q.add(&hi, 1);
    q.add(&lo, 1);
}

void weighted_moments::state::fill_record(int rank, nan_policy policy) const
{
    record.clear();
    record.reserve_agreement(failed, rank, mix(0x77656967, static_cast<std::uint64_t>(policy)));
    const std::size_t at = record.reserve_sums(sums_per_record);
    std::int64_t* f = record.sums() + at;
    f[0] = count;
    f[1] = nan;
    f += 2;
    weights.write_record(f);
    f += exact_record_fields;
    for (const exact_sum& s : wx) {
        s.write_record(f);
        f += exact_record_fields;
    }
    for (const exact_sum& s : wxx) {
        s.write_record(f);
        f += exact_record_fields;
    }
}

weighted_moments::weighted_moments() : state_(std::make_unique<state>())
{
    state_->fill_record(0, nan_policy::propagate);
    state_->record.allreduce(MPI_COMM_NULL);
}

weighted_moments::~weighted_moments() = default;
weighted_moments::weighted_moments(weighted_moments&&) noexcept = default;
weighted_moments& weighted_moments::operator=(weighted_moments&&) noexcept = default;

void weighted_moments::add(const values_view& x, const values_view& w)
{
    if (x.count != w.count) {
        throw error(error_code::invalid_argument, "weighted_moments: values and weights of different lengths");
    }
    if (state_->failed) {
        return;
    }
    double xs[chunk];
    double ws[chunk];
    try {
        for (std::int64_t done = 0; done < x.count;) {
            const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(x.count - done, chunk));
            as_doubles(x, done, m, xs);
            as_doubles(w, done, m, ws);
            state_->add_pairs(xs, ws, m);
            done += static_cast<std::int64_t>(m);
        }
    } catch (const std::bad_alloc&) {
        state_->failed = true;
    }
}

void weighted_moments::clear()
{
    state_ = std::make_unique<state>();
}

weighted_summary weighted_moments::finish(MPI_Comm comm, nan_policy policy) const
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    state& st = *state_;
    st.fill_record(rank, policy);
    if (!st.record.allreduce(comm)) {
        throw error(error_code::mpi_failure, "weighted_moments: the reduction over the communicator failed");
    }
    // The agreement's fields come first: two least, one greatest.
    reduction_record::agreement a;
    a.failed_at = 0;
    a.fingerprint_low = 1;
    a.fingerprint_high = 0;
    const int failed = st.record.failed_rank(a);
    if (failed >= 0) {
        throw error(error_code::out_of_memory,
                    "weighted_moments: rank " + std::to_string(failed) + " could not allocate memory", failed);
    }
    if (!st.record.same_calls(a)) {
        throw error(error_code::ranks_disagree, "weighted_moments: the ranks finished with different NaN policies");
    }

    const std::int64_t* f = st.record.sums();
    weighted_summary s;
    s.count = f[0];
    s.nan_count = f[1];
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (policy == nan_policy::propagate && s.nan_count > 0) {
        s.weight_sum = s.weighted_sum = s.mean = s.variance = s.stdev = nan;
        return s;
    }
    f += 2;
    const exact_total w = read_record(f);
    f += exact_record_fields;
    bool finite = w.flags[flag_nan] == 0 && w.flags[flag_pos_inf] == 0 && w.flags[flag_neg_inf] == 0;
    s.weight_sum = round_to_double(w);
    // Each class's total shifted by its scale, relative to the lowest class
    // holding a total that is not zero (ordinary data use one class only):
    // sum(w x) in units of 2^(-1074 + 400 (first_wx + wx_lowest)), sum(w x^2)
    // in units of 2^(-1074 + 400 (first_wxx + wxx_lowest)), so the wide
    // integers carry no words of zeros below their digits.
    wide_integer s1;
    double raw_wx = 0;
    int first_wx = -1;
    for (int c = 0; c < wx_classes; ++c, f += exact_record_fields) {
        const exact_total t = read_record(f);
        finite = finite && t.flags[flag_nan] == 0 && t.flags[flag_pos_inf] == 0 && t.flags[flag_neg_inf] == 0;
        if (c == -wx_lowest) {
            raw_wx = round_to_double(t); // carries infinities and NaN
        }
        const wide_integer v = wide_integer::from_total(t);
        if (!v.is_zero()) {
            first_wx = first_wx < 0 ? c : first_wx;
            s1 = s1.plus(v.shifted(class_bits * (c - first_wx)));
        }
    }
    wide_integer s2;
    int first_wxx = -1;
    for (int c = 0; c < wxx_classes; ++c, f += exact_record_fields) {
        const exact_total t = read_record(f);
        finite = finite && t.flags[flag_nan] == 0 && t.flags[flag_pos_inf] == 0 && t.flags[flag_neg_inf] == 0;
        const wide_integer v = wide_integer::from_total(t);
        if (!v.is_zero()) {
            first_wxx = first_wxx < 0 ? c : first_wxx;
            s2 = s2.plus(v.shifted(class_bits * (c - first_wxx)));
        }
    }
    if (!finite) {
        s.weighted_sum = raw_wx;
        s.mean = raw_wx / s.weight_sum;
        s.variance = s.stdev = nan;
        return s;
    }
    const int s1_unit = -1074 + class_bits * (std::max(first_wx, 0) + wx_lowest);
    const int s2_unit = -1074 + class_bits * (std::max(first_wxx, 0) + wxx_lowest);
    s.weighted_sum = s1.rounded_double(s1_unit);
    if (s.count == 0) {
        s.mean = s.variance = s.stdev = nan;
        return s;
    }
    const wide_integer wi = wide_integer::from_total(w);
    const long double wl = wi.rounded(-1074);
    s.mean = static_cast<double>(s1.rounded(s1_unit) / wl);
    // W sum(w x^2) - sum(w x)^2, exactly: units 2^-1074 * 2^s2_unit against
    // 2^(2 s1_unit), both brought to the finer of the two.
    const int product_unit = -1074 + s2_unit;
    const int square_unit = 2 * s1_unit;
    const int unit = std::min(product_unit, square_unit);
    const wide_integer spread =
        wi.times(s2).shifted(product_unit - unit).minus(s1.times(s1).shifted(square_unit - unit));
    s.variance = static_cast<double>(spread.rounded(unit) / (wl * wl));
    s.stdev = std::sqrt(s.variance);
    return s;
}

} // namespace virda::engine
