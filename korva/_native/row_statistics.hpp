// The row statistics of a fit's inference, a span of rows at a time with a check for a
// stop between spans: the rows within the cut-off, the residuals about a band of sizes,
// the bisquare weights and the checked weighted median.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "common.hpp"
#include "solvers.hpp"
#include "weighted_median.hpp"

namespace korva {

// ------------------------------------------------------------- the rows of a fit's statistics

// Rows are read a span at a time between checks for a stop; a span is a whole number of
// the four rows that a vector holds.
inline constexpr Index kStatisticsSpan = Index{1} << 16;

namespace detail {

// Four sums in the lanes of a vector (row i in lane i % 4) and a bit mask of rows: a fixed
// order of additions, four of them in flight.
class LaneSums {
public:
    // Adds value[t] for the rows t of four rows (from a multiple of 4) that `mask` holds.
    void add(__m256d value, __m256d mask) { lanes_ = _mm256_add_pd(lanes_, _mm256_and_pd(value, mask)); }
    void add_row(Index i, double value) { tail_[i & 3] += value; }
    double total() const {
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, lanes_);
        for (int t = 0; t < 4; ++t) lanes[t] += tail_[t];
        return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    }

private:
    __m256d lanes_ = _mm256_setzero_pd();
    double tail_[4] = {};
};

// Rows 0 .. n - 1 a span at a time, with a check for a stop before each span: four_rows(i)
// for each four rows from a multiple of 4, one_row(i) for the rows of a span's tail.
template <class FourRows, class OneRow>
void for_each_row(Index n, const StopCheck& stop, FourRows&& four_rows, OneRow&& one_row) {
    for (Index begin = 0; begin < n; begin += kStatisticsSpan) {
        stop_if_requested(stop);
        const Index end = std::min(n, begin + kStatisticsSpan);
        Index i = begin;
        for (; i + 4 <= end; i += 4) four_rows(i);
        for (; i < end; ++i) one_row(i);
    }
}

// Whether any of the residuals seen, four or one at a time, is NaN.
class NanWatch {
public:
    void see(__m256d x) { nan_ = _mm256_or_pd(nan_, _mm256_cmp_pd(x, x, _CMP_UNORD_Q)); }
    void see(double x) { tail_ = tail_ || std::isnan(x); }
    bool seen() const { return tail_ || _mm256_movemask_pd(nan_) != 0; }

private:
    __m256d nan_ = _mm256_setzero_pd();
    bool tail_ = false;
};

inline void refuse_nan_residuals(const char* fn, bool nan) {
    if (nan) throw std::invalid_argument(std::string(fn) + ": residuals holds NaN");
}

// The second pass found other rows than the first counted: the residuals were written to
// while they were read (by a signal handler that a check for a stop ran, or by another
// process sharing their memory). The writes stayed within what the first pass sized.
inline void refuse_changed_residuals(const char* fn, bool changed) {
    if (changed) throw std::invalid_argument(std::string(fn) + ": residuals changed while they were read");
}

// The sum of v in one order wherever v lies: four running sums by index modulo 4. (Eigen's
// sum() starts its vectors at an aligned address, so equal values elsewhere in memory could
// round otherwise.)
inline double sum_in_index_order(const VectorRef& v) {
    const double* d = v.data();
    const Index n = v.size();
    double lanes[4] = {0.0, 0.0, 0.0, 0.0};
    Index i = 0;
    for (; i + 4 <= n; i += 4)
        for (int lane = 0; lane < 4; ++lane) lanes[lane] += d[i + lane];
    for (; i < n; ++i) lanes[0] += d[i];
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// The sum of weights (named `name`), which it refuses when they are not finite, negative,
// or of an infinite sum.
inline double checked_weight_sum(const char* fn, const char* name, const VectorRef& weights) {
    require_finite_entries(fn, name, largest_magnitude(weights));
    if (weights.size() > 0 && weights.minCoeff() < 0.0)
        throw std::invalid_argument(std::string(fn) + ": " + name + " holds negative weights");
    const double sum = sum_in_index_order(weights);
    if (!std::isfinite(sum))
        throw std::invalid_argument(std::string(fn) + ": the sum of " + name + " overflows; scale them down");
    return sum;
}

inline void check_case_weights(const char* fn, const VectorRef* case_weights) {
    if (case_weights != nullptr) checked_weight_sum(fn, "case_weights", *case_weights);
}

}  // namespace detail

// The weighted median above of values, each counted weights[i] times, after a check of the
// weights: finite numbers of at least 0 with a finite sum above 0, one per value;
// values.size() > 0.
inline double weighted_median(const VectorRef& values, const VectorRef& weights, const StopCheck& stop) {
    constexpr const char* fn = "weighted_median";
    const double total = detail::checked_weight_sum(fn, "weights", weights);
    if (!(total > 0.0)) throw std::invalid_argument(std::string(fn) + ": weights are all 0; they have no median");
    const double* data = values.data();
    return weighted_median(values.size(), [data](Index i) { return data[i]; }, weights.data(), total, stop);
}

// The rows whose residual lies within `tuning` scales, |r / scale| < tuning (every row
// when the scale is 0): how many, their total case weight, and every step-th of them in
// order from the first, step = ceil(count / max_rows), at most max_rows rows.
struct RowsWithin {
    Index count = 0;
    double weight = 0.0;  // the count without case weights
    Eigen::Matrix<std::int64_t, Eigen::Dynamic, 1> sample;
};

// Residuals must not be NaN; scale finite and at least 0, tuning above 0, max_rows at
// least 1, case weights finite numbers of at least 0.
// @param residuals (n,), case_weights (n,) or null
inline RowsWithin rows_within(const VectorRef& residuals, double scale, double tuning, Index max_rows,
                              const VectorRef* case_weights, const StopCheck& stop) {
    constexpr const char* fn = "rows_within";
    if (!(std::isfinite(scale) && scale >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number of at least 0, got " +
                                    shown(scale));
    if (!(tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a number above 0, got " + shown(tuning));
    if (max_rows < 1)
        throw std::invalid_argument(std::string(fn) + ": max_rows must be at least 1, got " + std::to_string(max_rows));
    detail::check_case_weights(fn, case_weights);
    const Index n = residuals.size();
    const double* r = residuals.data();
    const double* c = case_weights != nullptr ? case_weights->data() : nullptr;
    const __m256d vscale = _mm256_set1_pd(scale), vtuning = _mm256_set1_pd(tuning);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const bool every_row = !(scale > 0.0);
    // The same test as abs(r / scale) < tuning in NumPy: the quotient, then its size.
    const auto within4 = [&](Index i) {
        const __m256d x = _mm256_loadu_pd(r + i);
        if (every_row) return _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return _mm256_cmp_pd(_mm256_and_pd(_mm256_div_pd(x, vscale), abs_mask), vtuning, _CMP_LT_OQ);
    };
    const auto within = [&](Index i) { return every_row || std::abs(r[i] / scale) < tuning; };
    RowsWithin rows;
    detail::LaneSums weight;
    detail::NanWatch nan;
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d in = within4(i);
            nan.see(_mm256_loadu_pd(r + i));
            rows.count += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(in)));
            if (c != nullptr) weight.add(_mm256_loadu_pd(c + i), in);
        },
        [&](Index i) {
            nan.see(r[i]);
            const bool in = within(i);
            rows.count += in ? 1 : 0;
            if (c != nullptr) weight.add_row(i, in ? c[i] : 0.0);
        });
    detail::refuse_nan_residuals(fn, nan.seen());
    rows.weight = c != nullptr ? weight.total() : static_cast<double>(rows.count);
    const Index step = rows.count > max_rows ? (rows.count + max_rows - 1) / max_rows : 1;
    rows.sample.resize((rows.count + step - 1) / step);
    // Rank of the next row in use, and the next rank to take: every step-th from 0.
    Index rank = 0, next = 0, taken = 0;
    const Index room = rows.sample.size();
    const auto visit = [&](Index i) {
        if (rank == next) {
            if (taken < room) rows.sample[taken] = i;
            ++taken;
            next += step;
        }
        ++rank;
    };
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const int bits = _mm256_movemask_pd(within4(i));
            const int in_use = __builtin_popcount(static_cast<unsigned>(bits));
            if (rank + in_use <= next) {  // no rank to take among these four rows
                rank += in_use;
                return;
            }
            for (int t = 0; t < 4; ++t)
                if (bits >> t & 1) visit(i + t);
        },
        [&](Index i) {
            if (within(i)) visit(i);
        });
    detail::refuse_changed_residuals(fn, taken != room);
    return rows;
}

// The residuals about the band (inner, outer] of sizes: over the rows with
// |r| <= inner, their total case weight and their weighted sum of squares; the sizes
// |r| of the rows with inner < |r| <= outer, in order, with their case weights.
struct ResidualBand {
    double inner_weight = 0.0;                // the count without case weights
    double inner_squares = 0.0;               // sum c r^2
    VectorXd between;                         // |r|
    std::optional<VectorXd> between_weights;  // c, none without case weights
};

// Residuals must not be NaN (infinite ones lie beyond any finite outer); inner finite and
// at least 0, outer at least inner (infinite for no bound); case weights finite numbers
// of at least 0.
// @param residuals (n,), case_weights (n,) or null
inline ResidualBand residual_band(const VectorRef& residuals, double inner, double outer, const VectorRef* case_weights,
                                  const StopCheck& stop) {
    constexpr const char* fn = "residual_band";
    if (!(std::isfinite(inner) && inner >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": inner must be a finite number of at least 0, got " +
                                    shown(inner));
    if (!(outer >= inner))
        throw std::invalid_argument(std::string(fn) + ": outer must be a number of at least inner (" + shown(inner) +
                                    "), got " + shown(outer));
    detail::check_case_weights(fn, case_weights);
    const Index n = residuals.size();
    const double* r = residuals.data();
    const double* c = case_weights != nullptr ? case_weights->data() : nullptr;
    const __m256d vinner = _mm256_set1_pd(inner), vouter = _mm256_set1_pd(outer), one = _mm256_set1_pd(1.0);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    // One pass for the sums and the size of the band, one to gather it.
    Index inner_count = 0, between = 0;
    detail::LaneSums inner_weight, inner_squares;
    detail::NanWatch nan;
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d x = _mm256_loadu_pd(r + i), a = _mm256_and_pd(x, abs_mask);
            nan.see(x);
            const __m256d sure = _mm256_cmp_pd(a, vinner, _CMP_LE_OQ);
            const __m256d near = _mm256_andnot_pd(sure, _mm256_cmp_pd(a, vouter, _CMP_LE_OQ));
            inner_count += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(sure)));
            between += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(near)));
            const __m256d weight = c != nullptr ? _mm256_loadu_pd(c + i) : one;
            inner_weight.add(weight, sure);
            // Masked: 0, not inf * 0, beyond the sure rows.
            inner_squares.add(_mm256_mul_pd(_mm256_mul_pd(a, a), weight), sure);
        },
        [&](Index i) {
            const double a = std::abs(r[i]);
            nan.see(r[i]);
            const bool sure = a <= inner;
            const double weight = c != nullptr ? c[i] : 1.0;
            inner_count += sure ? 1 : 0;
            between += !sure && a <= outer ? 1 : 0;
            inner_weight.add_row(i, sure ? weight : 0.0);
            inner_squares.add_row(i, sure ? (a * a) * weight : 0.0);
        });
    detail::refuse_nan_residuals(fn, nan.seen());
    ResidualBand band;
    band.inner_weight = c != nullptr ? inner_weight.total() : static_cast<double>(inner_count);
    band.inner_squares = inner_squares.total();
    band.between.resize(between);
    if (c != nullptr) band.between_weights.emplace(between);
    double* between_weights = c != nullptr ? band.between_weights->data() : nullptr;
    Index taken = 0;
    const auto gather = [&](Index i) {
        const double a = std::abs(r[i]);
        if (a <= inner || !(a <= outer)) return;
        if (taken < between) {
            band.between[taken] = a;
            if (c != nullptr) between_weights[taken] = c[i];
        }
        ++taken;
    };
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d a = _mm256_and_pd(_mm256_loadu_pd(r + i), abs_mask);
            const __m256d near =
                _mm256_andnot_pd(_mm256_cmp_pd(a, vinner, _CMP_LE_OQ), _mm256_cmp_pd(a, vouter, _CMP_LE_OQ));
            const int bits = _mm256_movemask_pd(near);
            if (bits == 0) return;
            if (taken + 4 > between) {  // near the end of the band (or past it): row by row
                for (int t = 0; t < 4; ++t) gather(i + t);
                return;
            }
            // Each of the four stored where the next row of the band goes, which moves on
            // only past rows of the band: no branch to mispredict.
            alignas(32) double sizes[4];
            _mm256_store_pd(sizes, a);
            for (int t = 0; t < 4; ++t) {
                band.between[taken] = sizes[t];
                if (c != nullptr) between_weights[taken] = c[i + t];
                taken += bits >> t & 1;
            }
        },
        gather);
    detail::refuse_changed_residuals(fn, taken != between);
    return band;
}

// Tukey's bisquare weights (1 - min(|r / scale| / tuning, 1)^2)^2 of the residuals, times
// the case weights where given. Each is the double that NumPy's elementwise arithmetic
// gives, in its order: the two quotients in turn (not one product with a reciprocal), so a
// residual far beyond the cut-off may overflow to inf, which weighs 0 as it should.
// Residuals must not be NaN (infinite ones weigh 0); scale and tuning finite and above 0;
// case weights finite numbers of at least 0.
// @param residuals (n,), case_weights (n,) or null; result (n,)
inline VectorXd bisquare_weights(const VectorRef& residuals, double scale, double tuning, const VectorRef* case_weights,
                                 const StopCheck& stop) {
    constexpr const char* fn = "bisquare_weights";
    if (!(std::isfinite(scale) && scale > 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number above 0, got " + shown(scale));
    if (!(std::isfinite(tuning) && tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a finite number above 0, got " + shown(tuning));
    detail::check_case_weights(fn, case_weights);
    const Index n = residuals.size();
    const double* r = residuals.data();
    const double* c = case_weights != nullptr ? case_weights->data() : nullptr;
    VectorXd weights(n);
    double* w = weights.data();
    const __m256d vscale = _mm256_set1_pd(scale), vtuning = _mm256_set1_pd(tuning), one = _mm256_set1_pd(1.0);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    detail::NanWatch nan;
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d x = _mm256_loadu_pd(r + i);
            nan.see(x);
            const __m256d u =
                _mm256_min_pd(_mm256_div_pd(_mm256_and_pd(_mm256_div_pd(x, vscale), abs_mask), vtuning), one);
            const __m256d inside = _mm256_sub_pd(one, _mm256_mul_pd(u, u));
            __m256d weight = _mm256_mul_pd(inside, inside);
            if (c != nullptr) weight = _mm256_mul_pd(weight, _mm256_loadu_pd(c + i));
            _mm256_storeu_pd(w + i, weight);
        },
        [&](Index i) {
            nan.see(r[i]);
            const double u = std::min(std::abs(r[i] / scale) / tuning, 1.0);
            const double inside = 1.0 - u * u;
            w[i] = c != nullptr ? (inside * inside) * c[i] : inside * inside;
        });
    detail::refuse_nan_residuals(fn, nan.seen());
    return weights;
}

}  // namespace korva
