// The moments that the covariance of a bisquare fit at a fixed scale needs: the
// sums of the weights, slopes and psi over the residuals, and the Gram (or slope)
// matrix from one pass of the reweighting over the design.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "common.hpp"
#include "reweighting.hpp"
#include "row_blocks.hpp"
#include "solvers.hpp"

namespace korva {

// What the covariance of an M-estimate at a fixed scale needs from its rows:
// with z = r / scale, s = min((z / c)^2, 1) and case weights cw (1 when not
// given), the weights w = (1 - s)^2, the slopes psi' = (1 - s)(1 - 5 s) and
// psi = z w of the bisquare with cut-off c (c infinite: least squares, w = 1,
// psi' = 1, psi = z), summed over the rows with cw, and the Gram matrix
// X^T diag(cw w) X.
struct BisquareMoments {
    MatrixXd gram;              // k x k, both triangles
    double total = 0.0;         // sum cw
    double in_use = 0.0;        // sum cw over the rows with w > 0
    double slope = 0.0;         // sum cw psi'
    double slope_square = 0.0;  // sum cw psi'^2
    double weight = 0.0;        // sum cw w
    double psi_square = 0.0;    // sum cw psi^2
};

namespace detail {

// The moments' row sums over rows [begin, end), in four lanes combined at the end:
// total, in use, slope, slope^2, weight, psi^2 (see BisquareMoments). z = r / scale
// is r times the reciprocal where that is finite (else, a scale of a few
// subnormals, the division), and z / c is z times 1 / c (0 for least squares).
inline void bisquare_row_sums(const double* r, const double* cw, Index begin, Index end, double scale, double tuning,
                              double (&sums)[6]) {
    const double reciprocal = 1.0 / scale, inverse_tuning = 1.0 / tuning;
    const bool by_reciprocal = std::isfinite(reciprocal);
    const __m256d vreciprocal = _mm256_set1_pd(reciprocal), vinverse = _mm256_set1_pd(inverse_tuning),
                  one = _mm256_set1_pd(1.0), five = _mm256_set1_pd(5.0), zero = _mm256_setzero_pd();
    __m256d lanes[6];
    for (__m256d& lane : lanes) lane = _mm256_setzero_pd();
    Index i = begin;
    if (by_reciprocal) {
        for (; i + 4 <= end; i += 4) {
            const __m256d z = _mm256_mul_pd(_mm256_loadu_pd(r + i), vreciprocal);
            const __m256d x = _mm256_mul_pd(z, vinverse);
            const __m256d share = _mm256_min_pd(_mm256_mul_pd(x, x), one);
            const __m256d inside = _mm256_sub_pd(one, share);
            const __m256d w = _mm256_mul_pd(inside, inside);
            const __m256d slope = _mm256_mul_pd(inside, _mm256_sub_pd(one, _mm256_mul_pd(five, share)));
            const __m256d psi = _mm256_mul_pd(z, w);
            const __m256d c = cw != nullptr ? _mm256_loadu_pd(cw + i) : one;
            lanes[0] = _mm256_add_pd(lanes[0], c);
            lanes[1] = _mm256_add_pd(lanes[1], _mm256_and_pd(_mm256_cmp_pd(w, zero, _CMP_GT_OQ), c));
            lanes[2] = _mm256_add_pd(lanes[2], _mm256_mul_pd(c, slope));
            lanes[3] = _mm256_add_pd(lanes[3], _mm256_mul_pd(c, _mm256_mul_pd(slope, slope)));
            lanes[4] = _mm256_add_pd(lanes[4], _mm256_mul_pd(c, w));
            lanes[5] = _mm256_add_pd(lanes[5], _mm256_mul_pd(c, _mm256_mul_pd(psi, psi)));
        }
    }
    for (int j = 0; j < 6; ++j) {
        alignas(32) double four[4];
        _mm256_store_pd(four, lanes[j]);
        sums[j] = (four[0] + four[1]) + (four[2] + four[3]);
    }
    for (; i < end; ++i) {
        const double z = by_reciprocal ? r[i] * reciprocal : r[i] / scale;
        const double x = z * inverse_tuning;
        const double share = std::min(x * x, 1.0);
        const double inside = 1.0 - share;
        const double w = inside * inside, slope = inside * (1.0 - 5.0 * share), psi = z * w;
        const double c = cw != nullptr ? cw[i] : 1.0;
        sums[0] += c;
        sums[1] += w > 0.0 ? c : 0.0;
        sums[2] += c * slope;
        sums[3] += c * (slope * slope);
        sums[4] += c * w;
        sums[5] += c * (psi * psi);
    }
}

// The Gram matrix of a pass whose target's sums are not used: X^T diag(w) X
// (both triangles) with w the pass's weights, or with `slopes` X^T diag(s) X
// with s the pass's slopes psi' (times the prior weights).
template <class Design>
MatrixXd gram_of_pass(const char* fn, const Design& X, const VectorRef& target, ReweightSettings settings, bool slopes,
                      const StopCheck& stop) {
    const Index k = X.cols();
    settings.newton = slopes;  // room for the slopes' sums
    WorkingMemory memory;
    ReweightPass<Design> pass(X, target, settings, memory);
    const Index W = pass.padded_columns();
    MatrixXd G = memory.matrix(W, W, "the design's column count");
    MatrixXd H = slopes ? memory.matrix(W, W, "the design's column count") : MatrixXd();
    VectorXd b = memory.vector(W), beta = VectorXd::Zero(k);
    double weight_sum = 0.0, largest_change = 0.0;
    pass.run(beta.data(), nullptr, stop, G, b, slopes ? &H : nullptr, weight_sum, largest_change);
    if (!(G.allFinite() && H.allFinite())) {
        require_finite_entries(fn, "design", largest_magnitude(X));
        throw std::invalid_argument(std::string(fn) +
                                    ": the weighted sums of squares overflow; scale the design or the weights down");
    }
    return (slopes ? H : G).topLeftCorner(k, k).selfadjointView<Eigen::Lower>();
}

}  // namespace detail

// The moments of a bisquare fit at a fixed scale (BisquareMoments), in one pass
// over the design and one over the residuals; with `slopes` the matrix is
// X^T diag(cw psi') X instead of the Gram matrix, the slope matrix of the fit's
// equations that Newton's steps solve with. X, residuals and case weights
// must be finite, the case weights at least 0, scale finite and above 0, tuning
// above 0 (infinite for least squares).
// @param X (n, k) in either storage order, residuals (n,), case_weights (n,) or null
template <class Design>
BisquareMoments bisquare_moments(const Design& X, const VectorRef& residuals, double scale, double tuning,
                                 const VectorRef* case_weights, bool slopes, const StopCheck& stop) {
    constexpr const char* fn = "bisquare_moments";
    if (!(std::isfinite(scale) && scale > 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number above 0, got " + shown(scale));
    if (!(tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a number above 0, got " + shown(tuning));
    ReweightSettings settings;
    settings.scale = scale;
    settings.tuning = tuning;
    settings.prior = case_weights;
    detail::check_reweight_inputs(fn, "case_weights", settings, VectorXd::Zero(0));
    require_finite_entries(fn, "residuals", largest_magnitude(residuals));
    BisquareMoments moments;
    const Index n = residuals.size();
    const RowBlocks blocks(n, 6);
    MatrixXd partial = MatrixXd::Zero(6, blocks.count());
    const double* cw = case_weights != nullptr ? case_weights->data() : nullptr;
    blocks.run(stop, [&](int b) {
        double sums[6];
        detail::bisquare_row_sums(residuals.data(), cw, blocks.begin(b), blocks.end(b), scale, tuning, sums);
        for (int j = 0; j < 6; ++j) partial(j, b) = sums[j];
    });
    double totals[6] = {};
    for (int b = 0; b < blocks.count(); ++b)
        for (int j = 0; j < 6; ++j) totals[j] += partial(j, b);
    moments.total = totals[0];
    moments.in_use = totals[1];
    moments.slope = totals[2];
    moments.slope_square = totals[3];
    moments.weight = totals[4];
    moments.psi_square = totals[5];
    if (X.cols() == 0) {
        require_finite_entries(fn, "design", largest_magnitude(X));
        moments.gram = MatrixXd(0, 0);
        return moments;
    }
    // The pass weighs the rows by the bisquare weights of the target at beta = 0: the residuals.
    moments.gram = detail::gram_of_pass(fn, X, residuals, settings, slopes, stop);
    return moments;
}

}  // namespace korva
