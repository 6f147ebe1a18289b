// The bisquare reweighting at a fixed scale and weighted least squares: each step is
// one pass over the rows that fuses the residuals, the weights, the weighted normal
// equations and the convergence check of the step before, summed block by block over
// the rows' fixed partition (RowBlocks).
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "argument_checks.hpp"
#include "common.hpp"
#include "design_chunks.hpp"
#include "monomial_design.hpp"
#include "products.hpp"
#include "row_blocks.hpp"
#include "size_limits.hpp"
#include "solvers.hpp"

namespace korva {

namespace robust {
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
// per-row prior weights (null: all 1), the bisquare's cut-off, the ridge and when
// to stop. The numbers have no defaults of their own: korva.robust gives them.
struct ReweightSettings {
    double scale = 0.0;
    const MatrixXd* R1 = nullptr;
    const MatrixXd* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;
    const VectorRef* prior = nullptr;
    int max_steps = 0;
    double tolerance = 0.0;  // relative to the scale
    double tuning = 0.0;     // the bisquare's cut-off, in scales
    double ridge = 0.0;      // added to the diagonal of every system solved
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

// Refuses a ridge that is negative or not finite, non-finite penalties (where read),
// coefficients and prior weights, and negative prior weights (named `prior_name`).
inline void check_reweight_inputs(const char* fn, const char* prior_name, const ReweightSettings& settings,
                                  const VectorRef& beta) {
    require_ridge(fn, settings.ridge);
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

// The steps of a reweighting whose inputs were checked (k > 0, max_steps > 0), each one
// pass over the rows of one of two kinds. A full pass forms the weighted Gram matrix
// (and, near the solution, the slope matrix) and takes a reweighting step, or Newton's,
// with a fresh factorisation. Once the fit moves little, a gradient pass reads the rows
// only for the gradient and steps with a matrix factorised at an earlier pass: reweighting
// steps keep the weighted Gram matrix once a step moved the fit by at most kFixedGramReach
// scales, Newton's steps their first slope matrix; either is formed afresh by a full pass
// when the steps stop shrinking fast.
template <class Design>
class ReweightSteps {
public:
    ReweightSteps(const char* fn, const Design& X, const VectorRef& y, const VectorRef& beta,
                  const ReweightSettings& settings, const StopCheck& stop)
        : fn_(fn), X_(X), y_(y), settings_(settings), stop_(stop), k_(X.cols()),
          penalty_{penalty_in_use(settings.R1, settings.gamma1), penalty_in_use(settings.R2, settings.gamma2)},
          gamma_{settings.gamma1, settings.gamma2},
          // Newton's steps solve the same equations sum w r x = 0 (no penalty) with the slope
          // matrix H in place of the weighted Gram matrix: from close to the solution a few
          // passes where the reweighting takes many.
          newton_(settings.newton && penalty_[0] == nullptr && penalty_[1] == nullptr),
          // The refinement's step on the residuals makes an exact fit come out exact; not
          // with a penalty.
          refines_(settings.refine &&
                   std::none_of(penalty_, penalty_ + 2,
                                [](const MatrixXd* R) { return R != nullptr && !(R->array() == 0.0).all(); })),
          pass_(X, y, settings, memory_), W_(pass_.padded_columns()),
          G_(memory_.matrix(W_, W_, "the design's column count")), A_(factorised_matrix(memory_, k_)),
          b_(memory_.vector(W_)), current_(memory_.vector(k_)), next_(memory_.vector(k_)), delta_(memory_.vector(k_)),
          H_(newton_ ? memory_.matrix(W_, W_, "the design's column count") : MatrixXd()),
          gradient_(newton_ || settings.refine ? memory_.vector(W_) : VectorXd()), ldlt_(k_),
          tolerance_(settings.tolerance * settings.scale) {
        current_ = beta;
        // The given matrix's first step is a trial, taken back when it moved the fit far,
        // where its steps could leave the start's valley; the reweighting steps then start over.
        if (newton_ && settings.matrix != nullptr) {
            trial_ = factorise(*settings.matrix, false);
            if (trial_) kept_ = Kept::slopes;
        }
    }

    VectorXd run() {
        for (int step = 0; step < settings_.max_steps; ++step)
            if (kept_ != Kept::none ? gradient_step() : full_step()) return std::move(current_);
        if (refines_) {
            // Out of steps: the Gram matrix at the last coefficients, then their refinement.
            full_pass(false, false);
            refine();
        }
        return std::move(current_);
    }

private:
    enum class Kept { none, gram, slopes };

    // The k x k matrix that the steps factorise, counted with the factorisation's copy of it.
    static MatrixXd factorised_matrix(WorkingMemory& memory, Index k) {
        MatrixXd A = memory.matrix(k, k, "the design's column count");
        memory.hold(checked_product(k, k, "the design's column count"), sizeof(double));
        return A;
    }

    // Factorises matrix (k x k, lower triangle read) + ridge I, plus, with `penalties`,
    // sum(w) (gamma1 R1 + gamma2 R2); whether the sum is positive definite.
    template <class Matrix>
    bool factorise(const Matrix& matrix, bool penalties) {
        A_ = matrix;
        A_.diagonal().array() += settings_.ridge;
        if (penalties)
            for (int t = 0; t < 2; ++t)
                if (penalty_[t] != nullptr) A_ += (weight_sum_ * gamma_[t]) * *penalty_[t];
        ldlt_.compute(A_);
        return ldlt_.info() == Eigen::Success && (ldlt_.vectorD().array() > 0.0).all();
    }

    // The pass of the gradient at the current coefficients, with the change of the last
    // step when `measure_change`.
    void gradient_pass(bool measure_change) {
        pass_.run_gradient(current_.data(), measure_change ? delta_.data() : nullptr, stop_, gradient_, weight_sum_,
                           largest_change_);
        if (!(std::isfinite(weight_sum_) && gradient_.allFinite())) refuse_unfinite_sums(fn_, X_, y_);
    }

    // The full pass at the current coefficients: G and b, H with `slopes`, and the change of
    // the last step when `measure_change`.
    void full_pass(bool slopes, bool measure_change) {
        pass_.run(current_.data(), measure_change ? delta_.data() : nullptr, stop_, G_, b_, slopes ? &H_ : nullptr,
                  weight_sum_, largest_change_);
        if (!(std::isfinite(weight_sum_) && G_.allFinite() && b_.allFinite())) refuse_unfinite_sums(fn_, X_, y_);
    }

    // Moves the coefficients to next_, whose change the next pass measures.
    void advance() {
        delta_ = next_ - current_;
        current_.swap(next_);
        moved_ = true;
    }

    // Ends at next_ when it is finite, else at the current coefficients.
    void finish_at_next() {
        if (next_.allFinite()) current_.swap(next_);
    }

    // The refinement of the weighted normal equations at the current coefficients, whose
    // Gram matrix G the last full pass formed: one step on the residuals, which the
    // gradient pass forms row by row.
    void refine() {
        gradient_pass(false);
        factorise(G_.topLeftCorner(k_, k_), false);
        next_ = ldlt_.solve(gradient_.head(k_));
        next_ += current_;
        finish_at_next();
    }

    // A step with the kept factorisation; true when the reweighting has converged.
    bool gradient_step() {
        gradient_pass(moved_);
        if (trial_ && moved_) {
            trial_ = false;
            if (largest_change_ > robust::kFixedGramReach * settings_.scale) {
                current_ -= delta_;
                moved_ = false;
                kept_ = Kept::none;
                previous_change_ = std::numeric_limits<double>::infinity();
                return false;
            }
        }
        next_ = ldlt_.solve(gradient_.head(k_));
        next_ += current_;
        // The step this pass allows comes free with the check (and refines the fit).
        if (moved_ && largest_change_ <= tolerance_) {
            finish_at_next();
            return true;
        }
        const double shrink = kept_ == Kept::slopes ? robust::kFixedSlopeShrink : robust::kFixedGramShrink;
        const bool shrinking = (!moved_ || largest_change_ <= shrink * previous_change_) && next_.allFinite();
        // Newton's steps with a kept matrix shrink by a steady share: when the step this
        // pass allows is, by that share, within the tolerance too, the pass that would
        // measure it is spared (the fit is then within the share times the tolerance).
        if (kept_ == Kept::slopes && moved_ && shrinking && std::isfinite(previous_change_) &&
            largest_change_ <= robust::kSteadyShrink * previous_change_ &&
            largest_change_ * (largest_change_ / previous_change_) <= tolerance_) {
            current_.swap(next_);
            return true;
        }
        if (moved_) previous_change_ = largest_change_;
        if (!shrinking) {
            kept_ = Kept::none;  // a full pass at the same coefficients, with fresh sums
            return false;
        }
        // Near enough for Newton's steps: the next pass forms the slope matrix.
        if (kept_ == Kept::gram && newton_ && largest_change_ <= robust::kNewtonReach * settings_.scale)
            kept_ = Kept::none;
        advance();
        return false;
    }

    // A step with a fresh factorisation; true when the reweighting has converged.
    bool full_step() {
        // The slope matrix where Newton's steps may follow: once the last change was
        // within ten times their reach.
        const bool slopes = newton_ && moved_ && previous_change_ <= 10.0 * robust::kNewtonReach * settings_.scale;
        full_pass(slopes, moved_);
        if (moved_ && largest_change_ <= tolerance_) {
            if (refines_) refine();
            return true;
        }
        if (!(slopes && largest_change_ <= robust::kNewtonReach * settings_.scale && newton_step())) {
            factorise(G_.topLeftCorner(k_, k_), true);
            next_ = ldlt_.solve(b_.head(k_));
            if (newton_ && moved_ && largest_change_ <= robust::kFixedGramReach * settings_.scale) kept_ = Kept::gram;
        }
        // Newton's first step may well be longer than the reweighting step before it.
        previous_change_ = kept_ == Kept::slopes ? std::numeric_limits<double>::infinity() : largest_change_;
        advance();
        return false;
    }

    // Newton's step from the sums of a full pass, into next_, where the slope matrix is
    // positive definite (a valley, not a ridge) and the step finite; whether it was taken.
    bool newton_step() {
        if (!H_.allFinite()) return false;
        // The gradient sum w r x = X^T W y - X^T W X beta, from the same sums.
        gradient_.head(k_) = b_.head(k_);
        gradient_.head(k_).noalias() -= G_.topLeftCorner(k_, k_).selfadjointView<Eigen::Lower>() * current_;
        if (!factorise(H_.topLeftCorner(k_, k_), false)) return false;
        next_ = ldlt_.solve(gradient_.head(k_));  // solved in place, then moved by current
        next_ += current_;
        if (!next_.allFinite()) return false;
        kept_ = Kept::slopes;
        return true;
    }

    const char* fn_;
    const Design& X_;
    const VectorRef& y_;
    const ReweightSettings& settings_;
    const StopCheck& stop_;
    const Index k_;
    const MatrixXd* const penalty_[2];
    const double gamma_[2];
    const bool newton_;
    const bool refines_;
    WorkingMemory memory_;
    ReweightPass<Design> pass_;
    const Index W_;
    MatrixXd G_, A_;
    VectorXd b_, current_, next_, delta_;
    MatrixXd H_;
    VectorXd gradient_;
    Eigen::LDLT<MatrixXd, Eigen::Lower> ldlt_;
    const double tolerance_;
    Kept kept_ = Kept::none;
    double weight_sum_ = 0.0, largest_change_ = 0.0;
    double previous_change_ = std::numeric_limits<double>::infinity();
    // A step was taken, whose change the next pass measures; the given matrix's first step.
    bool moved_ = false, trial_ = false;
};

}  // namespace detail

// The bisquare reweighting: from beta, repeatedly the weights
// w = (1 - (r / (c scale))^2)^2 (0 beyond c scale) of r = y - X beta, c = settings.tuning,
// times the prior weights, and the solution of
// (X^T W X + ridge I + sum(w) (gamma1 R1 + gamma2 R2)) beta' = X^T W y, until
// max |X (beta' - beta)| <= tolerance * scale or after max_steps solutions.
// With settings.newton and no penalty, once a step moved the fit by at most
// 0.01 scale, the steps are Newton's for the same equations sum w r x = 0,
// beta' = beta + H^-1 X^T W (y - X beta), H = X^T diag(psi') X (+ ridge I),
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
    return detail::ReweightSteps<Design>(fn, X, y, beta, settings, stop).run();
}

// Weighted, penalised least squares in one pass over the rows: the solution of
// (X^T W X + ridge I + sum(w) (gamma1 R1 + gamma2 R2)) beta = X^T W y, W = diag(w),
// the system of fit_regularized_linear (with the same ridge) on the rows scaled by
// sqrt(w), without forming them. X, y, w and the penalties read must be finite, w at least 0.
// @param X (n, k) in either storage order, y (n,), w (n,), R1 and R2 (k, k) or null; result (k,)
template <class Design>
VectorXd weighted_least_squares(const Design& X, const VectorRef& y, const VectorRef& w, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge, const StopCheck& stop) {
    constexpr const char* fn = "weighted_least_squares";
    ReweightSettings settings;
    // At an infinite scale every bisquare weight is 1, whatever the (positive) cut-off:
    // the pass takes w as it is.
    settings.scale = std::numeric_limits<double>::infinity();
    settings.tuning = std::numeric_limits<double>::infinity();
    settings.ridge = ridge;
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
    return detail::ReweightSteps<Design>(fn, X, y, zero, settings, stop).run();
}

}  // namespace korva
