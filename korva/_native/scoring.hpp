// Scoring kernel: robust scale, hit rate and the MDL score that judges every fit.
#pragma once

#include <cmath>
#include <limits>

#include "common.hpp"
#include "sampler_constants.hpp"
#include "selection.hpp"

namespace korva {

// Median of value(0 .. n - 1): 0.0 when n = 0, NaN when a value is NaN, the
// midpoint of the two middle values for even n. The values are read in turn
// (see order_statistics), never reordered.
template <class Value>
double median_of(Index n, const Value& value) {
    if (n == 0) return 0.0;
    const Ranked middle = middle_ranks(n, value);
    // NaN has no place in the order: it would make any value a median.
    if (middle.nans > 0) return std::numeric_limits<double>::quiet_NaN();
    return n % 2 == 1 ? middle.low : midpoint(middle.low, middle.high);
}

// Median absolute deviation about the median, without a consistency factor.
// @param y (n,): values; 0.0 when empty, NaN when a value or a deviation is NaN.
inline double mad(const VectorRef& y) {
    const double* v = y.data();
    const double m = median_of(y.size(), [v](Index i) { return v[i]; });
    // The deviations' absolute values make the sign of a zero median irrelevant.
    return median_of(y.size(), [v, m](Index i) { return std::abs(v[i] - m); });
}

// Number of i < n with |yp[i] - yt[i]| < eps; NaN differences never count.
inline Index count_hits(const double* yp, const double* yt, Index n, double eps) {
    Index hit = 0;
    for (Index i = 0; i < n; ++i) hit += std::abs(yp[i] - yt[i]) < eps;
    return hit;
}

// hit / n floored at half a hit, 1 / (2n); NaN for n = 0.
inline double hit_rate(Index hit, Index n) {
    const double sr = static_cast<double>(hit) / static_cast<double>(n);
    const double floor = 1.0 / (2.0 * static_cast<double>(n));
    return floor > sr ? floor : sr;
}

// Share of positions i < len(yt) with |yp(i) - yt(i)| < eps, floored at half a hit.
// @param yp (>= n,): predictions; only the first n entries are read
// @param yt (n,): observed values
inline double compute_SR(const VectorRef& yp, const VectorRef& yt, double eps) {
    return hit_rate(count_hits(yp.data(), yt.data(), yt.size(), eps), yt.size());
}

// Optional penalty pair with weights; owns nothing.
struct PenaltySpec {
    const MatrixXd* R1 = nullptr;
    const MatrixXd* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;
};

// b^T (R b) using caller-owned storage for R b, so repeated calls allocate nothing.
// @param b (k,), R (k, k), Rb scratch resized to k on first use
inline double quad_form(const VectorXd& b, const MatrixXd& R, VectorXd& Rb) {
    if (R.rows() == 0) return 0.0;
    Rb.noalias() = R * b;
    return b.dot(Rb);
}

// The model term k^2 ln(2H) / n, formed as (k ln(2H) / n) * k; 0 for k <= 0.
inline double model_term(Index n_obs, int k, int H) {
    const double logHk = k > 0 ? static_cast<double>(k) * std::log(2.0 * static_cast<double>(H)) : 0.0;
    const double t = logHk / static_cast<double>(n_obs);
    return t * static_cast<double>(k);
}

// L plus the active penalties gamma b^T R b of beta, R1 before R2, each fused.
// Rb is scratch for R * beta.
inline double add_penalties(double L, const VectorXd* beta, const PenaltySpec* pen, VectorXd& Rb) {
    if (beta == nullptr || pen == nullptr) return L;
    if (const MatrixXd* R1 = penalty_in_use(pen->R1, pen->gamma1))
        L = std::fma(pen->gamma1, quad_form(*beta, *R1, Rb), L);
    if (const MatrixXd* R2 = penalty_in_use(pen->R2, pen->gamma2))
        L = std::fma(pen->gamma2, quad_form(*beta, *R2, Rb), L);
    return L;
}

// MDL score of a hit rate sr over n observations: -n ln(sr) + k^2 ln(2H) / n,
// plus the active penalties applied to beta.
inline double mdl_from_hit_rate(double sr, Index n_obs, int k, int H, const VectorXd* beta, const PenaltySpec* pen,
                                VectorXd& Rb) {
    const double L = std::fma(-static_cast<double>(n_obs), std::log(sr), model_term(n_obs, k, H));
    return add_penalties(L, beta, pen, Rb);
}

// MDL score with a precomputed tolerance.
// @param yp (>= n,), yt (n,), beta (k,) or null, pen with k x k matrices or null
inline double mdl_score_cached(const VectorRef& yp, const VectorRef& yt, int k, int H, double eps, const VectorXd* beta,
                               const PenaltySpec* pen) {
    VectorXd Rb;
    return mdl_from_hit_rate(compute_SR(yp, yt, eps), yt.size(), k, H, beta, pen, Rb);
}

// Hit tolerance from the robust scale of the observations: kHitTolerance * mad,
// or kHitTolerance when mad is not positive.
inline double tolerance_from_scale(double m) { return m > 0.0 ? kHitTolerance * m : kHitTolerance; }

inline double mdl_score(const VectorRef& yp, const VectorRef& yt, int k, int H, const VectorXd* beta,
                        const PenaltySpec* pen) {
    return mdl_score_cached(yp, yt, k, H, tolerance_from_scale(mad(yt)), beta, pen);
}

}  // namespace korva
