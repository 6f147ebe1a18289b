// The bisquare reweighting at a fixed scale and weighted least squares: each step is
// one pass over the rows that fuses the residuals, the weights, the weighted normal
// equations and the convergence check of the step before, summed block by block over
// the rows' fixed partition (RowBlocks); and the product of a formed design with
// coefficients in the passes' own order.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "common.hpp"
#include "monomial_design.hpp"
#include "products.hpp"
#include "row_blocks.hpp"
#include "size_limits.hpp"
#include "solvers.hpp"

namespace korva {

namespace robust {
// The bisquare weight (1 - (u/c)^2)^2 with this c gives 95 % efficiency at the normal.
constexpr double kEfficientTuning = 4.6850649;
// The ridge that fit_regularized_linear adds by default, kept so that a step
// solves the same system as a weighted call of it.
constexpr double kRidge = 1e-10;
// The reweighting takes Newton steps once its last step moved the fit by at most this many
// scales: close enough to the solution that the steps stay in the valley the reweighting
// steps have kept to, where they converge quadratically rather than linearly.
constexpr double kNewtonReach = 0.01;
// Newton's steps keep the slope matrix of their first step while each step is at most
// this share of the one before; else a full pass forms it afresh.
constexpr double kFixedSlopeShrink = 0.25;
// ... and end one pass early when a step shrank by at most this share and the next one,
// shrinking alike, lies within the tolerance.
constexpr double kSteadyShrink = 0.1;
// Reweighting steps keep the weighted Gram matrix of a pass once a step moved the fit by
// at most kFixedGramReach scales (the weights then barely change), while each step is at
// most kFixedGramShrink of the one before.
constexpr double kFixedGramReach = 0.25;
constexpr double kFixedGramShrink = 0.5;
}  // namespace robust

// The settings of a reweighting: the scale held fixed, the penalties, the
// per-row prior weights (null: all 1) and when to stop.
struct ReweightSettings {
    double scale = 0.0;
    const MatrixXd* R1 = nullptr;
    const MatrixXd* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;
    const VectorRef* prior = nullptr;
    int max_steps = 50;
    double tolerance = 1e-7;                   // relative to the scale
    double tuning = robust::kEfficientTuning;  // the bisquare's cut-off, in scales
    // Newton steps once a step changes the fit by at most robust::kNewtonReach scales
    // (without penalties): the same solution in fewer passes.
    bool newton = false;
    // One more step at the end, on the residuals: the iterative refinement of the
    // normal equations, so that an exact fit comes out exact (none with a penalty).
    bool refine = false;
    // With newton and no penalty: Newton's steps from the start, with this matrix (k x k,
    // lower triangle read) in place of the slope matrix, such as one formed on part of the rows.
    const MatrixXd* matrix = nullptr;
};

namespace detail {

// A thread's rows of one chunk: the design's rows as a row-major table padded
// with zero columns to a multiple of four, the same rows times their weights,
// and the fitted values and changes of the chunk. Kept between calls, so that
// the passes allocate nothing once it has grown to its largest size.
inline double* chunk_scratch(Index doubles) {
    thread_local std::vector<double> scratch;
    if (scratch.size() < static_cast<std::size_t>(doubles)) scratch.resize(static_cast<std::size_t>(doubles));
    return scratch.data();
}

// Where a column-major design's rows [i0, i0 + len) are: column j of them starts at
// first + j * ld. A design formed where it is read writes them to `generated` (len
// times its column count), any other is read in place.
struct ChunkColumns {
    const double* first = nullptr;
    Index ld = 0;
};

template <class Design>
ChunkColumns chunk_columns(const Design& X, Index i0, Index len, double* generated) {
    if constexpr (std::is_same_v<Design, MonomialDesign>) {
        X.fill(i0, len, generated);
        return {generated, len};
    } else if constexpr (Design::IsRowMajor) {
        return {};
    } else {
        return {X.data() + i0, X.outerStride()};
    }
}

// Doubles of scratch a chunk's rows need where the design is formed as it is read.
template <class Design>
constexpr Index generated_doubles(Index columns) {
    return std::is_same_v<Design, MonomialDesign> ? RowBlocks::kChunk * columns : 0;
}

// The fitted values X beta of the design's rows [i0, i0 + len) (of a column-major
// design, at `columns`) and, when `delta` is not null, X delta.
template <class Design>
void chunk_products(const Design& X, Index i0, Index len, const ChunkColumns& columns, const double* beta,
                    const double* delta, double* fitted, double* change) {
    const Index k = X.cols();
    if constexpr (Design::IsRowMajor) {
        const Index ld = X.outerStride();
        const double* rows = X.data() + i0 * ld;
        for (Index t = 0; t < len; ++t) {
            const double* row = rows + t * ld;
            double f = 0.0, d = 0.0;
            for (Index j = 0; j < k; ++j) f += row[j] * beta[j];
            if (delta != nullptr)
                for (Index j = 0; j < k; ++j) d += row[j] * delta[j];
            fitted[t] = f;
            if (delta != nullptr) change[t] = d;
        }
    } else {
        for (Index t = 0; t < len; ++t) fitted[t] = 0.0;
        if (delta != nullptr)
            for (Index t = 0; t < len; ++t) change[t] = 0.0;
        // A coefficient of exactly 0 adds nothing (+0 to a sum that starts at +0 keeps it),
        // and a pass for a Gram matrix alone has only such coefficients.
        for (Index j = 0; j < k; ++j) {
            const double* column = columns.first + j * columns.ld;
            const double bj = beta[j];
            if (bj != 0.0)
                for (Index t = 0; t < len; ++t) fitted[t] += column[t] * bj;
            if (delta != nullptr && delta[j] != 0.0) {
                const double dj = delta[j];
                for (Index t = 0; t < len; ++t) change[t] += column[t] * dj;
            }
        }
    }
}

// The design's rows [i0, i0 + len) (of a column-major design, at `columns`) into
// `table` (row-major, row length W, zero beyond column k), unless they can be read
// in place, and their fitted values X beta and, when `delta` is not null, X delta.
// Returns where the rows are and sets `stride` to their row length.
template <class Design>
const double* load_chunk(const Design& X, Index i0, Index len, const ChunkColumns& columns, Index W, const double* beta,
                         const double* delta, double* table, double* fitted, double* change, Index& stride) {
    const Index k = X.cols();
    chunk_products(X, i0, len, columns, beta, delta, fitted, change);
    if constexpr (Design::IsRowMajor) {
        const Index ld = X.outerStride();
        const double* rows = X.data() + i0 * ld;
        if (k == W && ld == W) {
            stride = ld;
            return rows;
        }
        for (Index t = 0; t < len; ++t) {
            double* out = table + t * W;
            for (Index j = 0; j < k; ++j) out[j] = rows[t * ld + j];
            for (Index j = k; j < W; ++j) out[j] = 0.0;
        }
    } else {
        // Four columns at a time into rows, four rows at a time by a 4 x 4 transposition;
        // the padding columns read zeros.
        static const double zeros[RowBlocks::kChunk] = {};
        for (Index g = 0; g < W; g += 4) {
            const double* column[4];
            for (Index q = 0; q < 4; ++q) column[q] = g + q < k ? columns.first + (g + q) * columns.ld : zeros;
            Index t = 0;
            for (; t + 4 <= len; t += 4) {
                const __m256d c0 = _mm256_loadu_pd(column[0] + t), c1 = _mm256_loadu_pd(column[1] + t);
                const __m256d c2 = _mm256_loadu_pd(column[2] + t), c3 = _mm256_loadu_pd(column[3] + t);
                const __m256d low01 = _mm256_unpacklo_pd(c0, c1), high01 = _mm256_unpackhi_pd(c0, c1);
                const __m256d low23 = _mm256_unpacklo_pd(c2, c3), high23 = _mm256_unpackhi_pd(c2, c3);
                double* out = table + t * W + g;
                _mm256_storeu_pd(out, _mm256_permute2f128_pd(low01, low23, 0x20));
                _mm256_storeu_pd(out + W, _mm256_permute2f128_pd(high01, high23, 0x20));
                _mm256_storeu_pd(out + 2 * W, _mm256_permute2f128_pd(low01, low23, 0x31));
                _mm256_storeu_pd(out + 3 * W, _mm256_permute2f128_pd(high01, high23, 0x31));
            }
            for (; t < len; ++t)
                for (Index q = 0; q < 4; ++q) table[t * W + g + q] = column[q][t];
        }
    }
    stride = W;
    return table;
}

}  // namespace detail

// The reweighting's pass over the rows at coefficients beta: per block, the
// lower triangle of X^T diag(w) X, X^T diag(w) y, the sum of the weights w
// (bisquare weights of (y - X beta) / scale times the prior weights) and,
// when `delta` is not null, the largest |X delta|.
template <class Design>
class ReweightPass {
public:
    ReweightPass(const Design& X, const VectorRef& y, const ReweightSettings& settings, WorkingMemory& memory)
        : X_(X), y_(y), settings_(settings), W_((X.cols() + 3) / 4 * 4),
          sums_(checked_product(W_, W_ + 1, "the design's column count") + 2 + (settings.newton ? W_ * W_ : 0)),
          blocks_(X.rows(), sums_), partials_(memory.matrix(sums_, blocks_.count(), "the reweighting's sums")) {
        memory.hold(checked_product(blocks_.team(), scratch_doubles(), "the reweighting's chunks"), sizeof(double));
    }

    // Runs the pass and combines the blocks' sums into G (W x W, lower
    // triangle), b (W), the weight sum and the largest change; and, when H is
    // not null (settings.newton only), the lower triangle of X^T diag(psi') X
    // with psi' = (1 - u^2)(1 - 5 u^2) times the prior weights (0 beyond the
    // cut-off), the slope of the weighted residuals w r.
    void run(const double* beta, const double* delta, const StopCheck& stop, MatrixXd& G, VectorXd& b, MatrixXd* H,
             double& weight_sum, double& largest_change) {
        const bool slopes = H != nullptr;
        blocks_.run(stop, [&](int block) { run_block(block, beta, delta, slopes); });
        G.setZero();
        b.setZero();
        if (slopes) H->setZero();
        weight_sum = 0.0;
        largest_change = 0.0;
        const Index GW = W_ * W_;
        for (int block = 0; block < blocks_.count(); ++block) {
            const double* sums = partials_.col(block).data();
            G.reshaped() += Eigen::Map<const VectorXd>(sums, GW);
            b += Eigen::Map<const VectorXd>(sums + GW, W_);
            weight_sum += sums[GW + W_];
            largest_change = std::max(largest_change, sums[GW + W_ + 1]);
            if (slopes) H->reshaped() += Eigen::Map<const VectorXd>(sums + GW + W_ + 2, GW);
        }
    }

    // The gradient pass at coefficients beta: X^T (w r) with r = y - X beta and w
    // the weights (times the prior weights), the weight sum and, when `delta` is
    // not null, the largest |X delta|; no Gram matrix, so one read of the rows.
    void run_gradient(const double* beta, const double* delta, const StopCheck& stop, VectorXd& gradient,
                      double& weight_sum, double& largest_change) {
        blocks_.run(stop, [&](int block) { run_gradient_block(block, beta, delta); });
        gradient.setZero();
        weight_sum = 0.0;
        largest_change = 0.0;
        const Index GW = W_ * W_;
        for (int block = 0; block < blocks_.count(); ++block) {
            const double* sums = partials_.col(block).data();
            gradient += Eigen::Map<const VectorXd>(sums + GW, W_);
            weight_sum += sums[GW + W_];
            largest_change = std::max(largest_change, sums[GW + W_ + 1]);
        }
    }

    Index padded_columns() const { return W_; }

private:
    // A thread's scratch for one chunk (see detail::chunk_scratch) and its generated rows.
    Index scratch_doubles() const { return 3 * RowBlocks::kChunk * (W_ + 1) + detail::generated_doubles<Design>(W_); }

    void run_gradient_block(int block, const double* beta, const double* delta) {
        constexpr Index chunk = RowBlocks::kChunk;
        const Index k = X_.cols(), GW = W_ * W_;
        double* gradient = partials_.col(block).data() + GW;
        std::fill(gradient, gradient + W_ + 2, 0.0);
        double* fitted = detail::chunk_scratch(scratch_doubles());
        double* change = fitted + chunk;
        double* weighted_residual = change + chunk;
        double* generated = weighted_residual + chunk;
        const double scale = settings_.scale;
        const double* prior = settings_.prior != nullptr ? settings_.prior->data() : nullptr;
        const double reciprocal = 1.0 / scale / settings_.tuning;
        const bool by_reciprocal = std::isfinite(reciprocal);
        const __m256d vreciprocal = _mm256_set1_pd(reciprocal), one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd(),
                      sign = _mm256_set1_pd(-0.0);
        __m256d weight_lanes = _mm256_setzero_pd(), change_lanes = _mm256_setzero_pd();
        double weight_tail = 0.0, change_tail = 0.0;
        for (Index i0 = blocks_.begin(block); i0 < blocks_.end(block); i0 += chunk) {
            const Index len = std::min(chunk, blocks_.end(block) - i0);
            const detail::ChunkColumns columns = detail::chunk_columns(X_, i0, len, generated);
            detail::chunk_products(X_, i0, len, columns, beta, delta, fitted, change);
            const double* y = y_.data() + i0;
            Index t = 0;
            if (by_reciprocal) {
                for (; t + 4 <= len; t += 4) {
                    const __m256d r = _mm256_sub_pd(_mm256_loadu_pd(y + t), _mm256_loadu_pd(fitted + t));
                    const __m256d u = _mm256_mul_pd(_mm256_andnot_pd(sign, r), vreciprocal);
                    const __m256d inside = _mm256_max_pd(zero, _mm256_sub_pd(one, _mm256_mul_pd(u, u)));
                    __m256d w = _mm256_mul_pd(inside, inside);
                    if (prior != nullptr) w = _mm256_mul_pd(w, _mm256_loadu_pd(prior + i0 + t));
                    _mm256_storeu_pd(weighted_residual + t, _mm256_mul_pd(w, r));
                    weight_lanes = _mm256_add_pd(weight_lanes, w);
                    if (delta != nullptr)
                        change_lanes = _mm256_max_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(change + t)), change_lanes);
                }
            }
            for (; t < len; ++t) {
                const double r = y[t] - fitted[t];
                const double u = by_reciprocal ? std::abs(r) * reciprocal : std::abs(r / scale) / settings_.tuning;
                const double inside = std::max(0.0, 1.0 - u * u);
                const double w = inside * inside * (prior != nullptr ? prior[i0 + t] : 1.0);
                weighted_residual[t] = w * r;
                weight_tail += w;
                if (delta != nullptr) change_tail = std::max(change_tail, std::abs(change[t]));
            }
            // Each column's sum in four lanes of fused products, then the tail: the same
            // order for either storage of the rows, so that both give the same bits.
            for (Index j = 0; j < k; ++j) {
                alignas(32) double lanes[4] = {0.0, 0.0, 0.0, 0.0};
                Index t = 0;
                if constexpr (Design::IsRowMajor) {
                    const Index ld = X_.outerStride();
                    const double* entry = X_.data() + i0 * ld + j;
                    for (; t + 4 <= len; t += 4)
                        for (Index q = 0; q < 4; ++q)
                            lanes[q] = std::fma(entry[(t + q) * ld], weighted_residual[t + q], lanes[q]);
                    double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
                    for (; t < len; ++t) sum = std::fma(entry[t * ld], weighted_residual[t], sum);
                    gradient[j] += sum;
                } else {
                    const double* column = columns.first + j * columns.ld;
                    __m256d sums = _mm256_setzero_pd();
                    for (; t + 4 <= len; t += 4)
                        sums =
                            _mm256_fmadd_pd(_mm256_loadu_pd(column + t), _mm256_loadu_pd(weighted_residual + t), sums);
                    _mm256_store_pd(lanes, sums);
                    double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
                    for (; t < len; ++t) sum = std::fma(column[t], weighted_residual[t], sum);
                    gradient[j] += sum;
                }
            }
        }
        alignas(32) double lanes[4], changes[4];
        _mm256_store_pd(lanes, weight_lanes);
        _mm256_store_pd(changes, change_lanes);
        gradient[W_] = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + weight_tail;
        gradient[W_ + 1] = std::max({changes[0], changes[1], changes[2], changes[3], change_tail});
    }

    void run_block(int block, const double* beta, const double* delta, bool slopes) {
        constexpr Index chunk = RowBlocks::kChunk;
        double* sums = partials_.col(block).data();
        const Index GW = W_ * W_;
        std::fill(sums, sums + sums_, 0.0);
        double* scratch = detail::chunk_scratch(scratch_doubles());
        double* table = scratch;
        double* weighted = table + chunk * W_;
        double* fitted = weighted + chunk * W_;
        double* change = fitted + chunk;
        double* slope = change + chunk;  // psi' times the prior weights, and the rows times it
        double* slope_weighted = slope + chunk;
        double* generated = slope_weighted + chunk * W_;
        const double scale = settings_.scale;
        const double* prior = settings_.prior != nullptr ? settings_.prior->data() : nullptr;
        const auto fused_multiply_add = [](__m256d x, __m256d c, __m256d acc) { return _mm256_fmadd_pd(x, c, acc); };
        // Four lanes of the weight sum and of the largest change, combined at the end.
        __m256d weight_lanes = _mm256_setzero_pd(), change_lanes = _mm256_setzero_pd();
        double weight_tail = 0.0, change_tail = 0.0;
        // u = |r| / (scale tuning): one multiplication by the reciprocal where that is a
        // finite number, else (a scale of a few subnormals) the two divisions.
        const double reciprocal = 1.0 / scale / settings_.tuning;
        const bool by_reciprocal = std::isfinite(reciprocal);
        const auto scaled = [&](double r) {
            return by_reciprocal ? std::abs(r) * reciprocal : std::abs(r / scale) / settings_.tuning;
        };
        const __m256d vreciprocal = _mm256_set1_pd(reciprocal), vscale = _mm256_set1_pd(scale),
                      vtuning = _mm256_set1_pd(settings_.tuning), one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd(),
                      sign = _mm256_set1_pd(-0.0), five = _mm256_set1_pd(5.0);
        for (Index i0 = blocks_.begin(block); i0 < blocks_.end(block); i0 += chunk) {
            const Index len = std::min(chunk, blocks_.end(block) - i0);
            Index stride = W_;
            const detail::ChunkColumns columns = detail::chunk_columns(X_, i0, len, generated);
            const double* rows =
                detail::load_chunk(X_, i0, len, columns, W_, beta, delta, table, fitted, change, stride);
            // The weights, over the chunk at once (1 - u^2 < 0 exactly when u > 1;
            // max(0, NaN) keeps the NaN, which the check of the sums refuses).
            double* weight = fitted;
            const double* y = y_.data() + i0;
            Index t = 0;
            for (; t + 4 <= len; t += 4) {
                const __m256d r = _mm256_sub_pd(_mm256_loadu_pd(y + t), _mm256_loadu_pd(fitted + t));
                const __m256d u = by_reciprocal
                                      ? _mm256_mul_pd(_mm256_andnot_pd(sign, r), vreciprocal)
                                      : _mm256_div_pd(_mm256_andnot_pd(sign, _mm256_div_pd(r, vscale)), vtuning);
                const __m256d u2 = _mm256_mul_pd(u, u);
                const __m256d inside = _mm256_max_pd(zero, _mm256_sub_pd(one, u2));
                __m256d w = _mm256_mul_pd(inside, inside);
                if (prior != nullptr) w = _mm256_mul_pd(w, _mm256_loadu_pd(prior + i0 + t));
                _mm256_storeu_pd(weight + t, w);
                if (slopes) {
                    __m256d s = _mm256_mul_pd(inside, _mm256_sub_pd(one, _mm256_mul_pd(five, u2)));
                    if (prior != nullptr) s = _mm256_mul_pd(s, _mm256_loadu_pd(prior + i0 + t));
                    _mm256_storeu_pd(slope + t, s);
                }
                weight_lanes = _mm256_add_pd(weight_lanes, w);
                if (delta != nullptr)
                    change_lanes = _mm256_max_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(change + t)), change_lanes);
            }
            for (; t < len; ++t) {
                const double u = scaled(y[t] - fitted[t]);
                const double inside = std::max(1.0 - u * u, 0.0);
                weight[t] = inside * inside * (prior != nullptr ? prior[i0 + t] : 1.0);
                if (slopes) slope[t] = inside * (1.0 - 5.0 * (u * u)) * (prior != nullptr ? prior[i0 + t] : 1.0);
                weight_tail += weight[t];
                if (delta != nullptr) change_tail = std::max(change_tail, std::abs(change[t]));
            }
            // The chunk's rows times a factor each, into a table of row length W_.
            const Index width = W_;
            const auto scale_rows = [&](const double* factors, double* table_out) {
                for (Index r = 0; r < len; ++r) {
                    const double* row = rows + r * stride;
                    double* out = table_out + r * width;
                    const __m256d factor = _mm256_broadcast_sd(factors + r);
                    for (Index j = 0; j < width; j += 4)
                        _mm256_storeu_pd(out + j, _mm256_mul_pd(factor, _mm256_loadu_pd(row + j)));
                }
            };
            scale_rows(weight, weighted);
            // The weighted table has row length W_; the rows read in place have it too.
            accumulate_cross_lower<true>(weighted, rows, W_, len, W_, sums, fused_multiply_add);
            accumulate_group_products<1, true>(weighted, W_, y, 1, len, W_ / 4, sums + GW, W_, fused_multiply_add);
            if (slopes) {
                scale_rows(slope, slope_weighted);
                accumulate_cross_lower<true>(slope_weighted, rows, W_, len, W_, sums + GW + W_ + 2, fused_multiply_add);
            }
        }
        alignas(32) double lanes[4], changes[4];
        _mm256_store_pd(lanes, weight_lanes);
        _mm256_store_pd(changes, change_lanes);
        const double weight_sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + weight_tail;
        const double largest_change = std::max({changes[0], changes[1], changes[2], changes[3], change_tail});
        sums[GW + W_] = weight_sum;
        sums[GW + W_ + 1] = largest_change;
    }

    const Design& X_;
    const VectorRef& y_;
    const ReweightSettings& settings_;
    const Index W_;
    const Index sums_;  // per block: G, b, the weight sum and the largest change
    const RowBlocks blocks_;
    MatrixXd partials_;
};

// Throws if any input is NaN or infinite (else, their products overflowed);
// called when a pass's sums are not finite.
template <class Design>
[[noreturn]] void refuse_unfinite_sums(const char* fn, const Design& X, const VectorRef& y) {
    require_finite_entries(fn, "design", largest_magnitude(X));
    require_finite_entries(fn, "target", largest_magnitude(y));
    throw std::invalid_argument(std::string(fn) +
                                ": the weighted sums of squares of design and target overflow; scale them down");
}

namespace detail {

// Refuses non-finite penalties (where read), coefficients and prior weights, and
// negative prior weights (named `prior_name`).
inline void check_reweight_inputs(const char* fn, const char* prior_name, const ReweightSettings& settings,
                                  const VectorRef& beta) {
    require_finite_number(fn, "gamma1", settings.gamma1);
    require_finite_number(fn, "gamma2", settings.gamma2);
    const MatrixXd* R1 = penalty_in_use(settings.R1, settings.gamma1);
    const MatrixXd* R2 = penalty_in_use(settings.R2, settings.gamma2);
    if (R1 != nullptr) require_finite_entries(fn, "R1", largest_magnitude(*R1));
    if (R2 != nullptr) require_finite_entries(fn, "R2", largest_magnitude(*R2));
    require_finite_entries(fn, "beta", largest_magnitude(beta));
    if (settings.prior != nullptr) {
        const VectorRef& prior = *settings.prior;
        require_finite_entries(fn, prior_name, largest_magnitude(prior));
        if (prior.size() > 0 && prior.minCoeff() < 0.0)
            throw std::invalid_argument(std::string(fn) + ": " + prior_name + " holds negative weights");
    }
}

// The steps of a reweighting whose inputs were checked; k > 0 and max_steps > 0.
template <class Design>
VectorXd reweight_steps(const char* fn, const Design& X, const VectorRef& y, const VectorRef& beta,
                        const ReweightSettings& settings, const StopCheck& stop) {
    const Index k = X.cols();
    const MatrixXd* penalty[2] = {penalty_in_use(settings.R1, settings.gamma1),
                                  penalty_in_use(settings.R2, settings.gamma2)};
    const double gamma[2] = {settings.gamma1, settings.gamma2};
    WorkingMemory memory;
    ReweightPass<Design> pass(X, y, settings, memory);
    const Index W = pass.padded_columns();
    MatrixXd G = memory.matrix(W, W, "the design's column count");
    MatrixXd A = memory.matrix(k, k, "the design's column count");
    memory.hold(checked_product(k, k, "the design's column count"), sizeof(double));  // the factorisation's copy
    VectorXd b = memory.vector(W), current = memory.vector(k), next = memory.vector(k), delta = memory.vector(k);
    // Newton's steps solve the same equations sum w r x = 0 (no penalty) with the slope
    // matrix H in place of the weighted Gram matrix: from close to the solution a few
    // passes where the reweighting takes many. H is factorised once, at the first of them:
    // each later step needs only the gradient, one read of the rows, and the steps keep
    // shrinking as fast while the fit barely moves (the slopes barely change either).
    const bool newton = settings.newton && penalty[0] == nullptr && penalty[1] == nullptr;
    MatrixXd H = newton ? memory.matrix(W, W, "the design's column count") : MatrixXd();
    VectorXd gradient = newton || settings.refine ? memory.vector(W) : VectorXd();
    Eigen::LDLT<MatrixXd, Eigen::Lower> ldlt(k);
    const double tolerance = settings.tolerance * settings.scale;
    current = beta;
    double weight_sum = 0.0, largest_change = 0.0;
    // The refinement of the weighted normal equations at `current`, whose Gram matrix G
    // the last pass formed: one step on the residuals, which the pass of the gradient
    // forms row by row, so that an exact fit comes out exact. Not with a penalty.
    const bool penalised =
        std::any_of(penalty, penalty + 2, [](const MatrixXd* R) { return R != nullptr && !(R->array() == 0.0).all(); });
    const auto refined = [&]() -> VectorXd {
        if (!settings.refine || penalised) return current;
        pass.run_gradient(current.data(), nullptr, stop, gradient, weight_sum, largest_change);
        if (!(std::isfinite(weight_sum) && gradient.allFinite())) refuse_unfinite_sums(fn, X, y);
        A = G.topLeftCorner(k, k);
        A.diagonal().array() += robust::kRidge;
        ldlt.compute(A);
        next = ldlt.solve(gradient.head(k));
        next += current;
        return next.allFinite() ? next : current;
    };
    // Once the fit moves little, steps with a matrix factorised at an earlier pass need
    // the rows only for the gradient: reweighting steps keep the weighted Gram matrix
    // once a step moved the fit by at most kFixedGramReach scales, Newton's steps their
    // first slope matrix; either is formed afresh when the steps stop shrinking fast.
    enum class Kept { none, gram, slopes } kept = Kept::none;
    double previous_change = std::numeric_limits<double>::infinity();
    // `moved`: a step was taken, whose change the next pass measures. `trial`: the given
    // matrix's first step, taken back when it moved the fit far, where its steps could
    // leave the start's valley; the reweighting steps then start over.
    bool moved = false, trial = false;
    if (newton && settings.matrix != nullptr) {
        A = *settings.matrix;
        A.diagonal().array() += robust::kRidge;
        ldlt.compute(A);
        trial = ldlt.info() == Eigen::Success && (ldlt.vectorD().array() > 0.0).all();
        if (trial) kept = Kept::slopes;
    }
    for (int step = 0; step < settings.max_steps; ++step) {
        if (kept != Kept::none) {
            pass.run_gradient(current.data(), moved ? delta.data() : nullptr, stop, gradient, weight_sum,
                              largest_change);
            if (!(std::isfinite(weight_sum) && gradient.allFinite())) refuse_unfinite_sums(fn, X, y);
            if (trial && moved) {
                trial = false;
                if (largest_change > robust::kFixedGramReach * settings.scale) {
                    current -= delta;
                    moved = false;
                    kept = Kept::none;
                    previous_change = std::numeric_limits<double>::infinity();
                    continue;
                }
            }
            next = ldlt.solve(gradient.head(k));
            next += current;
            // The step this pass allows comes free with the check (and refines the fit).
            if (moved && largest_change <= tolerance) return next.allFinite() ? next : current;
            const double shrink = kept == Kept::slopes ? robust::kFixedSlopeShrink : robust::kFixedGramShrink;
            const bool shrinking = (!moved || largest_change <= shrink * previous_change) && next.allFinite();
            // Newton's steps with a kept matrix shrink by a steady share: when the step this
            // pass allows is, by that share, within the tolerance too, the pass that would
            // measure it is spared (the fit is then within the share times the tolerance).
            if (kept == Kept::slopes && moved && shrinking && std::isfinite(previous_change) &&
                largest_change <= robust::kSteadyShrink * previous_change &&
                largest_change * (largest_change / previous_change) <= tolerance)
                return next;
            if (moved) previous_change = largest_change;
            if (!shrinking) {
                kept = Kept::none;  // a full pass at the same coefficients, with fresh sums
                continue;
            }
            // Near enough for Newton's steps: the next pass forms the slope matrix.
            if (kept == Kept::gram && newton && largest_change <= robust::kNewtonReach * settings.scale)
                kept = Kept::none;
            delta = next - current;
            current.swap(next);
            moved = true;
            continue;
        }
        // The slope matrix where Newton's steps may follow: once the last change was
        // within ten times their reach.
        const bool slopes = newton && moved && previous_change <= 10.0 * robust::kNewtonReach * settings.scale;
        pass.run(current.data(), moved ? delta.data() : nullptr, stop, G, b, slopes ? &H : nullptr, weight_sum,
                 largest_change);
        if (!(std::isfinite(weight_sum) && G.allFinite() && b.allFinite())) refuse_unfinite_sums(fn, X, y);
        if (moved && largest_change <= tolerance) return refined();
        bool stepped = false;
        if (slopes && largest_change <= robust::kNewtonReach * settings.scale && H.allFinite()) {
            // The gradient sum w r x = X^T W y - X^T W X beta, from the same sums.
            gradient.head(k) = b.head(k);
            gradient.head(k).noalias() -= G.topLeftCorner(k, k).selfadjointView<Eigen::Lower>() * current;
            A = H.topLeftCorner(k, k);
            A.diagonal().array() += robust::kRidge;
            ldlt.compute(A);
            // Only where the slope matrix is positive definite: a valley, not a ridge.
            if (ldlt.info() == Eigen::Success && (ldlt.vectorD().array() > 0.0).all()) {
                next = ldlt.solve(gradient.head(k));  // solved in place, then moved by current
                next += current;
                stepped = next.allFinite();
                if (stepped) kept = Kept::slopes;
            }
        }
        if (!stepped) {
            A = G.topLeftCorner(k, k);
            A.diagonal().array() += robust::kRidge;
            for (int t = 0; t < 2; ++t)
                if (penalty[t] != nullptr) A += (weight_sum * gamma[t]) * *penalty[t];
            ldlt.compute(A);
            next = ldlt.solve(b.head(k));
            if (newton && moved && largest_change <= robust::kFixedGramReach * settings.scale) kept = Kept::gram;
        }
        // Newton's first step may well be longer than the reweighting step before it.
        previous_change = kept == Kept::slopes ? std::numeric_limits<double>::infinity() : largest_change;
        delta = next - current;
        current.swap(next);
        moved = true;
    }
    if (!settings.refine || penalised) return current;
    // Out of steps: the Gram matrix at the last coefficients, then their refinement.
    pass.run(current.data(), nullptr, stop, G, b, nullptr, weight_sum, largest_change);
    if (!(std::isfinite(weight_sum) && G.allFinite() && b.allFinite())) refuse_unfinite_sums(fn, X, y);
    return refined();
}

}  // namespace detail

// The bisquare reweighting: from beta, repeatedly the weights
// w = (1 - (r / (c scale))^2)^2 (0 beyond c scale) of r = y - X beta, c = settings.tuning,
// times the prior weights, and the solution of
// (X^T W X + 1e-10 I + sum(w) (gamma1 R1 + gamma2 R2)) beta' = X^T W y, until
// max |X (beta' - beta)| <= tolerance * scale or after max_steps solutions.
// With settings.newton and no penalty, once a step moved the fit by at most
// 0.01 scale, the steps are Newton's for the same equations sum w r x = 0,
// beta' = beta + H^-1 X^T W (y - X beta), H = X^T diag(psi') X (+ 1e-10 I),
// wherever H is positive definite, with H of the first such step kept while each
// step is at most a quarter of the one before (and the step after the last check
// taken as well); with settings.matrix, from the start with that matrix as H. With settings.refine and no penalty, a
// result of reweighting steps takes one more step on the residuals, with the weighted Gram matrix. A scale of 0 returns
// beta unchanged. X, y, beta, the penalties read and the prior weights must be finite, the weights at least 0.
// @param X (n, k) in either storage order, y (n,), beta (k,), R1 and R2 (k, k) or null; result (k,)
template <class Design>
VectorXd reweight(const Design& X, const VectorRef& y, const VectorRef& beta, const ReweightSettings& settings,
                  const StopCheck& stop) {
    constexpr const char* fn = "reweight";
    if (!(std::isfinite(settings.scale) && settings.scale >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number of at least 0, got " +
                                    shown(settings.scale));
    if (!(std::isfinite(settings.tuning) && settings.tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a finite number above 0, got " +
                                    shown(settings.tuning));
    if (!(std::isfinite(settings.tolerance) && settings.tolerance >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": tolerance must be a finite number of at least 0, got " +
                                    shown(settings.tolerance));
    if (settings.max_steps < 0)
        throw std::invalid_argument(std::string(fn) + ": max_steps must be at least 0, got " +
                                    std::to_string(settings.max_steps));
    detail::check_reweight_inputs(fn, "sample_weight", settings, beta);
    if (settings.scale == 0.0 || settings.max_steps == 0 || X.cols() == 0) {
        // No pass reads the data, so it is checked here.
        require_finite_entries(fn, "design", largest_magnitude(X));
        require_finite_entries(fn, "target", largest_magnitude(y));
        return beta;
    }
    return detail::reweight_steps(fn, X, y, beta, settings, stop);
}

// Weighted, penalised least squares in one pass over the rows: the solution of
// (X^T W X + 1e-10 I + sum(w) (gamma1 R1 + gamma2 R2)) beta = X^T W y, W = diag(w),
// the system of fit_regularized_linear on the rows scaled by sqrt(w), without
// forming them. X, y, w and the penalties read must be finite, w at least 0.
// @param X (n, k) in either storage order, y (n,), w (n,), R1 and R2 (k, k) or null; result (k,)
template <class Design>
VectorXd weighted_least_squares(const Design& X, const VectorRef& y, const VectorRef& w, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, const StopCheck& stop) {
    constexpr const char* fn = "weighted_least_squares";
    ReweightSettings settings;
    // At an infinite scale every bisquare weight is 1: the pass takes w as it is.
    settings.scale = std::numeric_limits<double>::infinity();
    settings.R1 = R1;
    settings.R2 = R2;
    settings.gamma1 = gamma1;
    settings.gamma2 = gamma2;
    settings.prior = &w;
    settings.max_steps = 1;
    const VectorXd zero = VectorXd::Zero(X.cols());
    detail::check_reweight_inputs(fn, "weights", settings, zero);
    if (X.cols() == 0) {
        require_finite_entries(fn, "design", largest_magnitude(X));
        require_finite_entries(fn, "target", largest_magnitude(y));
        return zero;
    }
    return detail::reweight_steps(fn, X, y, zero, settings, stop);
}

// X beta over every row of a design formed as it is read (beta of X.cols() entries),
// each row's sum in the order of the passes' own fitted values.
inline VectorXd fitted_values(const MonomialDesign& X, const VectorRef& beta, const StopCheck& stop) {
    constexpr Index chunk = RowBlocks::kChunk;
    VectorXd fitted(X.rows());
    const RowBlocks blocks(X.rows(), 1);
    blocks.run(stop, [&](int block) {
        double* generated = detail::chunk_scratch(chunk * X.cols());
        for (Index i0 = blocks.begin(block); i0 < blocks.end(block); i0 += chunk) {
            const Index len = std::min(chunk, blocks.end(block) - i0);
            const detail::ChunkColumns columns = detail::chunk_columns(X, i0, len, generated);
            detail::chunk_products(X, i0, len, columns, beta.data(), nullptr, fitted.data() + i0, nullptr);
        }
    });
    return fitted;
}

}  // namespace korva
