// The biweight M-scale of residuals: Newton's method on ln s, one pass over the rows
// per step, summed block by block over the rows' fixed partition (RowBlocks).
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "common.hpp"
#include "row_blocks.hpp"
#include "selection.hpp"
#include "size_limits.hpp"
#include "solvers.hpp"
#include "weighted_median.hpp"

namespace korva {

namespace robust {
// The loss's cut-off c and breakdown b come from the caller (korva.losses); these set
// the start and the end of the search.
constexpr double kNormalMedianAbs = 0.6744897501960817;
constexpr int kMaxScaleSteps = 100;
constexpr double kScaleRelativeTolerance = 1e-10;
}  // namespace robust

// Over rows [begin, end): the sums of w (1 - a)^3 and of w a (1 - a)^2 with
// a = min((r inv)^2, 1) (0 where r is 0, also when inv is infinite), w = 1
// when `w` is null, into sums[0] and sums[1]. r inv is squared rather than r^2
// scaled, so that neither squares of the residuals nor of the scale leave the
// range of doubles. With Census, also the count of nonzero residuals into
// sums[2] and, into sums[3], 1 when every residual is finite, else 0.
template <bool Weighted, bool Census>
void scale_sums(const double* r, const double* w, Index begin, Index end, double inv, double* sums) {
    const __m256d one = _mm256_set1_pd(1.0), vinv = _mm256_set1_pd(inv), zero = _mm256_setzero_pd();
    const __m256d largest = _mm256_set1_pd(std::numeric_limits<double>::max()), sign = _mm256_set1_pd(-0.0);
    __m256d cube = _mm256_setzero_pd(), slope = _mm256_setzero_pd(), nonzero = _mm256_setzero_pd();
    __m256d finite = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    Index i = begin;
    for (; i + 4 <= end; i += 4) {
        const __m256d x = _mm256_loadu_pd(r + i);
        const __m256d u = _mm256_mul_pd(x, vinv);
        const __m256d share =
            _mm256_andnot_pd(_mm256_cmp_pd(x, zero, _CMP_EQ_OQ), _mm256_min_pd(_mm256_mul_pd(u, u), one));
        const __m256d inside = _mm256_sub_pd(one, share);
        const __m256d inside_squared = _mm256_mul_pd(inside, inside);
        __m256d c = _mm256_mul_pd(inside_squared, inside), s = _mm256_mul_pd(share, inside_squared);
        if constexpr (Weighted) {
            const __m256d wv = _mm256_loadu_pd(w + i);
            c = _mm256_mul_pd(wv, c);
            s = _mm256_mul_pd(wv, s);
        }
        cube = _mm256_add_pd(cube, c);
        slope = _mm256_add_pd(slope, s);
        if constexpr (Census) {
            nonzero = _mm256_add_pd(nonzero, _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_NEQ_UQ), one));
            finite = _mm256_and_pd(finite, _mm256_cmp_pd(_mm256_andnot_pd(sign, x), largest, _CMP_LE_OQ));
        }
    }
    alignas(32) double c4[4], s4[4], z4[4];
    _mm256_store_pd(c4, cube);
    _mm256_store_pd(s4, slope);
    _mm256_store_pd(z4, nonzero);
    double c_total = (c4[0] + c4[1]) + (c4[2] + c4[3]), s_total = (s4[0] + s4[1]) + (s4[2] + s4[3]);
    double nonzero_total = (z4[0] + z4[1]) + (z4[2] + z4[3]);
    bool all_finite = _mm256_movemask_pd(finite) == 0xF;
    for (; i < end; ++i) {
        const double u = r[i] * inv;
        const double share = r[i] == 0.0 ? 0.0 : std::min(u * u, 1.0);
        const double inside = 1.0 - share;
        const double inside_squared = inside * inside;
        double c = inside_squared * inside, s = share * inside_squared;
        if constexpr (Weighted) {
            c *= w[i];
            s *= w[i];
        }
        c_total += c;
        s_total += s;
        nonzero_total += r[i] != 0.0 ? 1.0 : 0.0;
        all_finite = all_finite && std::isfinite(r[i]);
    }
    sums[0] = c_total;
    sums[1] = s_total;
    if constexpr (Census) {
        sums[2] = nonzero_total;
        sums[3] = all_finite ? 1.0 : 0.0;
    }
}

// The biweight M-scale s of the residuals r: sum w rho(r / s) = b (sum w - n_terms)
// with rho(u) = 1 - (1 - (u/c)^2)^3 (1 beyond c), c = tuning and b = breakdown (the estimator passes
// korva.losses' SCALE_TUNING and SCALE_BREAKDOWN), w = 1 when `weights` is null. 0 when no positive s solves it: when
// the weight of the nonzero residuals is at most the right side, or the right side is not positive. Newton's method on
// ln s for mean rho = b, the mean taken over the freedom sum w - n_terms, from `guess` when positive, else from the
// weighted median |r| / 0.6744897501960817 (the largest |r| in its place when that median is 0), to a step of at most
// 1e-10 or 100 steps; where the slope is nearly flat, the fixed point s^2 <- s^2 mean rho / b instead. Residuals and
// weights must be finite, weights at least 0, guess and n_terms finite and at least 0.
// @param r (n,), weights (n,) or null; result a scale >= 0
inline double m_scale(const VectorRef& r, double guess, const VectorRef* weights, double n_terms, double tuning,
                      double breakdown, const StopCheck& stop) {
    constexpr const char* fn = "m_scale";
    const Index n = r.size();
    // Cut-offs of any loss in use lie far inside this range, where 1 / c and the search's
    // steps stay as finite as they are for the estimator's own.
    if (!(tuning >= 1e-3 && tuning <= 1e3))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a number from 0.001 to 1000, got " +
                                    shown(tuning));
    // rho ranges over [0, 1): a mean of b is reachable only for 0 < b < 1.
    if (!(breakdown > 0.0 && breakdown < 1.0))
        throw std::invalid_argument(std::string(fn) + ": breakdown must lie strictly between 0 and 1, got " +
                                    shown(breakdown));
    if (!(std::isfinite(guess) && guess >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": guess must be a finite number of at least 0, got " +
                                    shown(guess));
    if (!(std::isfinite(n_terms) && n_terms >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": n_terms must be at least 0, got " + shown(n_terms));
    if (weights != nullptr && weights->size() != n)
        throw std::invalid_argument(std::string(fn) + ": weights has " + std::to_string(weights->size()) +
                                    " elements but residuals has " + std::to_string(n));
    const double* w = weights != nullptr ? weights->data() : nullptr;
    double total = static_cast<double>(n), nonzero = 0.0, top = 0.0;
    // Unweighted from a guess, the first step's pass also checks and counts the residuals,
    // which would take two passes of their own.
    const bool census = w == nullptr && guess > 0.0 && total - n_terms > 0.0;
    if (!census) {
        top = largest_magnitude(r);
        require_finite_entries(fn, "residuals", top);
    }
    if (w != nullptr) {
        // Negative and NaN weights both fail w >= 0.
        double least = 0.0;
        total = 0.0;
        for (Index i = 0; i < n; ++i) {
            least = w[i] >= 0.0 ? least : -1.0;
            total += w[i];
            nonzero += r[i] != 0.0 ? w[i] : 0.0;
        }
        if (least < 0.0 || !std::isfinite(total))
            throw std::invalid_argument(std::string(fn) +
                                        ": weights must be finite numbers of at least 0 (with a finite sum)");
    } else if (!census) {
        // An integer count, which the compiler vectorises, where a sum of doubles runs one
        // addition after the other; the same number either way.
        Index count = 0;
        for (Index i = 0; i < n; ++i) count += r[i] != 0.0 ? 1 : 0;
        nonzero = static_cast<double>(count);
    }
    const double freedom = total - n_terms;
    if (!census && (!(freedom > 0.0) || nonzero <= breakdown * freedom)) return 0.0;

    WorkingMemory memory;
    double scale = guess;
    if (!(scale > 0.0)) {
        const double* values = r.data();
        const auto absolute = [values](Index i) { return std::abs(values[i]); };
        scale = (w != nullptr ? weighted_median(n, absolute, w, total, stop) : median_abs_deviation(r, 0.0)) /
                robust::kNormalMedianAbs;
        if (scale == 0.0) scale = top / robust::kNormalMedianAbs;
    }
    // Blocks cut as for two sums a block, whatever the census adds: the same sums in the
    // same order on every call.
    const RowBlocks blocks(n, 2);
    VectorXd partial = memory.vector(4 * static_cast<std::int64_t>(blocks.count()));
    for (int step_count = 0; step_count < robust::kMaxScaleSteps; ++step_count) {
        const double inv = (1.0 / tuning) / scale;
        const bool counting = census && step_count == 0;
        blocks.run(stop, [&](int b) {
            double* sums = partial.data() + 4 * static_cast<std::int64_t>(b);
            const Index begin = blocks.begin(b), end = blocks.end(b);
            if (w != nullptr)
                scale_sums<true, false>(r.data(), w, begin, end, inv, sums);
            else if (counting)
                scale_sums<false, true>(r.data(), nullptr, begin, end, inv, sums);
            else
                scale_sums<false, false>(r.data(), nullptr, begin, end, inv, sums);
        });
        double cube = 0.0, slope_sum = 0.0;
        for (int b = 0; b < blocks.count(); ++b) {
            cube += partial[4 * b];
            slope_sum += partial[4 * b + 1];
        }
        if (counting) {
            bool finite = true;
            for (int b = 0; b < blocks.count(); ++b) {
                nonzero += partial[4 * b + 2];
                finite = finite && partial[4 * b + 3] == 1.0;
            }
            require_finite_entries(fn, "residuals", finite ? 0.0 : std::numeric_limits<double>::infinity());
            if (nonzero <= breakdown * freedom) return 0.0;
        }
        const double mean_rho = (total - cube) / freedom;
        // d mean rho / d ln s = -6 mean((u / c)^2 (1 - (u / c)^2)^2)
        const double slope = -6.0 * slope_sum / freedom;
        const double step = slope < -1e-3 ? std::clamp((breakdown - mean_rho) / slope, -1.0, 1.0)
                                          : 0.5 * std::log(std::max(mean_rho, 1e-300) / breakdown);
        // Kept within the positive doubles, from which the steps lead back.
        scale = std::clamp(scale * std::exp(step), std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max());
        if (std::abs(step) <= robust::kScaleRelativeTolerance) break;
    }
    return scale;
}

}  // namespace korva
