// Linear solvers: minimum-norm least squares by a thin SVD and penalised least
// squares by an LDL^T factorisation of the regularised normal equations.
#pragma once

#include <immintrin.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "common.hpp"
#include "products.hpp"
#include "size_limits.hpp"

namespace korva {

// Minimum-norm solution of A beta = rhs in the least-squares sense by a thin
// SVD (Jacobi below 16 columns, divide and conquer from 16 on); singular
// values below the decomposition's default threshold count as zero.
template <class SVD>
VectorXd solve_by(const SVD& svd, const VectorXd& rhs) {
    // The solve reads state that an unconverged decomposition leaves unset.
    if (svd.info() != Eigen::Success)
        throw std::runtime_error("ols: the singular value decomposition did not converge");
    return svd.solve(rhs);
}

inline VectorXd svd_min_norm_solve(const MatrixXd& A, const VectorXd& rhs) {
    constexpr int thin = Eigen::ComputeThinU | Eigen::ComputeThinV;
    using Jacobi = Eigen::JacobiSVD<MatrixXd, Eigen::ColPivHouseholderQRPreconditioner>;
    if (A.cols() < 16) return solve_by(Jacobi(A, thin), rhs);
    const Eigen::BDCSVD<MatrixXd> svd(A, thin);
    // Divide and conquer can report success with NaN singular values when
    // entries are subnormal (columns scaled across the whole double range);
    // Jacobi rotations stay sound there. A is finite when this runs.
    if (svd.info() == Eigen::Success && !svd.singularValues().allFinite()) return solve_by(Jacobi(A, thin), rhs);
    return solve_by(svd, rhs);
}

// The largest magnitude among the entries of a column-major rows x cols array
// (leading dimension ld), or infinity when any entry is NaN or infinite.
// Several independent maxima keep the scan at load speed.
inline double largest_magnitude(const double* a, Index rows, Index cols, Index ld) {
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m256d largest_finite = _mm256_set1_pd(std::numeric_limits<double>::max());
    __m256d top0 = _mm256_setzero_pd(), top1 = _mm256_setzero_pd();
    __m256d finite = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    double top = 0.0;
    bool all_finite = true;
    for (Index j = 0; j < cols; ++j) {
        const double* c = a + j * ld;
        Index i = 0;
        for (; i + 8 <= rows; i += 8) {
            const __m256d u = _mm256_and_pd(_mm256_loadu_pd(c + i), abs_mask);
            const __m256d v = _mm256_and_pd(_mm256_loadu_pd(c + i + 4), abs_mask);
            top0 = _mm256_max_pd(top0, u);
            top1 = _mm256_max_pd(top1, v);
            // Ordered comparisons: NaN fails them.
            finite = _mm256_and_pd(finite, _mm256_and_pd(_mm256_cmp_pd(u, largest_finite, _CMP_LE_OQ),
                                                         _mm256_cmp_pd(v, largest_finite, _CMP_LE_OQ)));
        }
        for (; i < rows; ++i) {
            const double u = std::abs(c[i]);
            all_finite = all_finite && u <= std::numeric_limits<double>::max();
            top = std::max(top, u);
        }
    }
    alignas(32) double part[4];
    _mm256_store_pd(part, _mm256_max_pd(top0, top1));
    for (const double u : part) top = std::max(top, u);
    if (!all_finite || _mm256_movemask_pd(finite) != 0xF) return std::numeric_limits<double>::infinity();
    return top;
}

// The largest magnitude among the entries of a matrix or vector in either
// storage order (contiguous inner dimension), or infinity when any is NaN or infinite.
template <class Matrix>
double largest_magnitude(const Eigen::MatrixBase<Matrix>& matrix) {
    const Matrix& m = matrix.derived();
    if constexpr (Matrix::IsRowMajor) return largest_magnitude(m.data(), m.cols(), m.rows(), m.outerStride());
    return largest_magnitude(m.data(), m.rows(), m.cols(), m.outerStride());
}

// The binary order e of top, a largest magnitude, 2^e <= top < 2^(e + 1),
// kept within the normal range; 0 when top is 0.
inline int binary_order(double top) { return top > 0.0 ? std::clamp(std::ilogb(top), -1022, 1023) : 0; }

// 2^-e with e the binary order of top, a largest magnitude: scaling by it is
// exact and brings the largest entry near 1.
inline double power_of_two_scale(double top) { return std::ldexp(1.0, -binary_order(top)); }

// An argument whose largest magnitude is `top` holds no NaN and no infinity.
inline void require_finite_entries(const char* fn, const char* name, double top) {
    if (!(top <= std::numeric_limits<double>::max()))
        throw std::invalid_argument(std::string(fn) + ": " + name + " contains NaN or infinite values");
}

// A number as %g shows it, for messages.
inline std::string shown(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

inline void require_finite_number(const char* fn, const char* name, double value) {
    if (!std::isfinite(value))
        throw std::invalid_argument(std::string(fn) + ": " + name + " must be a finite number, got " + shown(value));
}

// sum a[i] b[i] for i < n, in sixteen interleaved partial sums combined in a
// fixed order (independent chains, so the loop runs at load speed).
inline double dot_fixed_order(const double* __restrict a, const double* __restrict b, Index n) {
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd(), s2 = _mm256_setzero_pd(), s3 = _mm256_setzero_pd();
    Index i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
        s1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), _mm256_loadu_pd(b + i + 4), s1);
        s2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 8), _mm256_loadu_pd(b + i + 8), s2);
        s3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 12), _mm256_loadu_pd(b + i + 12), s3);
    }
    for (; i + 4 <= n; i += 4) s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
    alignas(32) double part[4];
    _mm256_store_pd(part, _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
    double total = (part[0] + part[1]) + (part[2] + part[3]);
    for (; i < n; ++i) total = std::fma(a[i], b[i], total);
    return total;
}

// a[i] -= d v[i] for i < n.
inline void subtract_multiple(double* __restrict a, double d, const double* __restrict v, Index n) {
    const __m256d dv = _mm256_set1_pd(d);
    Index i = 0;
    for (; i + 4 <= n; i += 4)
        _mm256_storeu_pd(a + i, _mm256_fnmadd_pd(dv, _mm256_loadu_pd(v + i), _mm256_loadu_pd(a + i)));
    for (; i < n; ++i) a[i] = std::fma(-d, v[i], a[i]);
}

// Householder triangularisation in place of the column-major rows x w matrix at
// A (leading dimension lda): afterwards its upper triangle holds R, and below
// the diagonal is scratch. The reflection of column k sends it to
// beta e_k, beta = -sign(alpha) ||x||; there is none when the part below the
// diagonal has a squared norm below the smallest normal double. Each later
// column is reflected right after its product with the reflection vector is
// taken, while it is still in the first-level cache.
inline void householder_triangularize(double* A, Index lda, Index rows, Index w) {
    for (Index k = 0; k < std::min(rows, w); ++k) {
        double* x = A + k * lda + k;  // the diagonal entry, then the r entries below it
        const Index r = rows - k - 1;
        const double tail = dot_fixed_order(x + 1, x + 1, r);
        if (tail <= std::numeric_limits<double>::min()) continue;
        const double alpha = x[0];
        const double norm = std::sqrt(alpha * alpha + tail);
        const double beta = alpha >= 0.0 ? -norm : norm;
        const double tau = (beta - alpha) / beta;
        const double inv = 1.0 / (alpha - beta);
        for (Index i = 1; i <= r; ++i) x[i] *= inv;  // the reflection vector below its leading 1
        x[0] = beta;
        for (Index j = k + 1; j < w; ++j) {
            double* a = A + j * lda + k;
            const double d = tau * (a[0] + dot_fixed_order(x + 1, a + 1, r));
            a[0] -= d;
            subtract_multiple(a + 1, d, x + 1, r);
        }
    }
}

// The triangular factor of [sx X | sy y], m > p, by Householder QR of one row
// block at a time stacked under the factor so far: each factorisation runs in
// cache and X is read once. The result is (p + 1) x (p + 1) and upper
// triangular; its first p columns are the factor R of sx X, and the top p
// entries of its last column are Q^T (sy y).
inline MatrixXd stacked_qr(const MatrixRef& X, double sx, const VectorRef& y, double sy) {
    const Index m = X.rows(), p = X.cols(), w = p + 1;
    const Index block = std::min(std::max<Index>(512, 4 * w), m);  // m > p, so still at least w
    MatrixXd S = checked_matrix(w + block, w, "the QR stack");
    Index top = 0;  // rows of S holding the factor so far
    for (Index i0 = 0; i0 < m; i0 += block) {
        const Index len = std::min(block, m - i0);
        S.block(top, 0, len, p) = sx * X.middleRows(i0, len);
        S.col(p).segment(top, len) = sy * y.segment(i0, len);
        const Index rows = top + len;
        householder_triangularize(S.data(), S.rows(), rows, w);
        top = std::min(rows, w);
        S.topRows(top).triangularView<Eigen::StrictlyLower>().setZero();
    }
    MatrixXd R = MatrixXd::Zero(w, w);
    R.topRows(top) = S.topRows(top);
    return R;
}

// Minimum-norm least-squares coefficients.
// @param X (m, p), y (m,); result (p,), zero when X has no rows or columns
inline VectorXd ols(const MatrixRef& X, const VectorRef& y) {
    const Index m = X.rows(), p = X.cols();
    if (m == 0 || p == 0) return VectorXd::Zero(p);
    // A wide X is decomposed whole: its scaled copy, the decomposition's
    // working copies and its thin factors take up to six m x p arrays.
    if (m <= p) require_fits_in_memory(checked_product(m, p, "m * p"), 6 * sizeof(double));
    // The iterative decompositions need finite input; with NaN or inf they may never converge.
    const double top = largest_magnitude(X);
    require_finite_entries("ols", "X", top);
    // Solving sX beta' = ty with exact power-of-two scales s, t keeps squared
    // norms inside the QR and SVD finite for entries near the range of
    // doubles; then beta = (s / t) beta'. The rank rule is scale-free.
    const double sx = power_of_two_scale(top);
    const double top_y = largest_magnitude(y);
    const double sy = top_y <= std::numeric_limits<double>::max() ? power_of_two_scale(top_y) : 1.0;
    if (m <= p) return (sx / sy) * svd_min_norm_solve(sx * X, sy * y);
    // Tall X: with X = QR and R = U S V^T, X = (QU) S V^T is a thin SVD of X with
    // the same singular values, rank threshold (min(m, p) = p) and solution,
    // found from the small p x p factor instead of the m x p matrix.
    const MatrixXd Rt = stacked_qr(X, sx, y, sy);
    return (sx / sy) * svd_min_norm_solve(Rt.topLeftCorner(p, p), Rt.col(p).head(p));
}

// The lower triangle of (sx Phi)^T (sx Phi) into A (p x p; the strict upper
// triangle is zero) and (sx Phi)^T (sy y) into b, in one pass over Phi in
// chunks of rows that stay in cache. Unscaled row-major rows of a multiple of
// four entries are read in place; other layouts, and scaled rows, are copied a
// chunk at a time into a zero-padded row-major table.
template <class Design>
void normal_equations(const Eigen::MatrixBase<Design>& Phi, double sx, const VectorRef& y, double sy, MatrixXd& A,
                      VectorXd& b) {
    const Index n = Phi.rows(), p = Phi.cols();
    const Index W = (p + 3) / 4 * 4, groups = W / 4;
    constexpr bool row_major = Design::IsRowMajor;
    const bool in_place = row_major && p == W && Phi.derived().innerStride() == 1 && sx == 1.0;
    constexpr Index chunk = 128;
    const auto fused_multiply_add = [](__m256d x, __m256d c, __m256d acc) { return _mm256_fmadd_pd(x, c, acc); };
    // The system (A) and the factorisation's copy of it, made after the sums,
    // are counted first: a refusal then comes before anything is allocated
    // (an AddressSanitizer build writes the shadow of each large allocation).
    WorkingMemory memory;
    memory.hold(checked_product(p, p, "(p + 3) ** 2"), 2 * sizeof(double));
    MatrixXd G = memory.matrix(W, W, "(p + 3) ** 2");
    RowMatrixXd table = memory.matrix<RowMatrixXd>(in_place ? 0 : chunk, W, "(p + 3) ** 2");
    VectorXd scaled_y = memory.vector(sy == 1.0 ? 0 : chunk);
    VectorXd Gy = memory.vector(W);
    G.setZero();
    table.setZero();
    Gy.setZero();
    for (Index i0 = 0; i0 < n; i0 += chunk) {
        const Index len = std::min(chunk, n - i0);
        const double* rows = table.data();
        Index stride = W;
        if (in_place) {
            stride = Phi.derived().outerStride();
            rows = Phi.derived().data() + i0 * stride;
        } else {
            table.topLeftCorner(len, p) = sx * Phi.middleRows(i0, len);
        }
        const double* targets = y.data() + i0;
        if (sy != 1.0) {
            scaled_y.head(len) = sy * y.segment(i0, len);
            targets = scaled_y.data();
        }
        accumulate_gram_lower(rows, stride, len, W, G.data(), fused_multiply_add);
        accumulate_group_products<1>(rows, stride, targets, 1, len, groups, Gy.data(), W, fused_multiply_add);
    }
    A = G.topLeftCorner(p, p).triangularView<Eigen::Lower>();
    b = Gy.head(p);
}

// A largest squared column norm of Phi and a largest magnitude of y within
// 2^-400 .. 2^400 keep every sum of the normal equations far from overflow
// and underflow.
inline bool safe_for_normal_equations(double top) { return top >= 0x1p-400 && top <= 0x1p400; }

// Solves (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi^T y, n = len(y).
// A penalty is added only when its weight is non-zero and its matrix present;
// only the lower triangle of the system enters the factorisation. NaN and
// infinities in Phi, y, the weights and the penalties read are refused.
//
// The system is formed as it stands when the squared column norms of Phi (the
// diagonal of Phi^T Phi) and y lie well inside the range of doubles and the
// penalties added stay finite. Otherwise, as ols does, it is solved for Phi
// and y scaled by exact powers of two 2^kx and 2^ky, the penalties by
// 2^(2 kx), and beta is 2^(kx - ky) times its solution. A NaN or infinity in
// Phi makes that diagonal not finite, so only then is Phi searched for one,
// instead of in a pass of its own.
// @param Phi (n, p) in either storage order, y (n,), R1 and R2 (p, p) or null; result (p,)
template <class Design>
VectorXd fit_regularized_linear(const Eigen::MatrixBase<Design>& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    constexpr const char* fn = "fit_regularized_linear";
    require_finite_number(fn, "ridge", ridge);
    require_finite_number(fn, "gamma1", gamma1);
    require_finite_number(fn, "gamma2", gamma2);
    const MatrixXd* penalty[2] = {penalty_in_use(R1, gamma1), penalty_in_use(R2, gamma2)};
    const double weight[2] = {gamma1, gamma2};
    if (penalty[0] != nullptr) require_finite_entries(fn, "R1", largest_magnitude(*penalty[0]));
    if (penalty[1] != nullptr) require_finite_entries(fn, "R2", largest_magnitude(*penalty[1]));
    const double top_y = largest_magnitude(y);
    require_finite_entries(fn, "y", top_y);

    const Index p = Phi.cols();
    const double n = static_cast<double>(y.size());
    // Adds ridge I + n gamma R, scaled by 2^(2 kx), to A; false if a sum of the lower triangle is not finite.
    const auto add_penalties = [&](MatrixXd& A, int kx) {
        A.diagonal().array() += std::ldexp(ridge, 2 * kx);
        for (int t = 0; t < 2; ++t)
            if (penalty[t] != nullptr) A += (n * std::ldexp(weight[t], 2 * kx)) * *penalty[t];
        for (Index j = 0; j < p; ++j)
            if (!A.col(j).tail(p - j).allFinite()) return false;
        return true;
    };
    MatrixXd A;
    VectorXd b;
    normal_equations(Phi, 1.0, y, 1.0, A, b);
    const bool gram_safe = p > 0 && A.diagonal().allFinite() && safe_for_normal_equations(A.diagonal().maxCoeff());
    if (gram_safe && (top_y == 0.0 || safe_for_normal_equations(top_y)) && add_penalties(A, 0))
        return Eigen::LDLT<MatrixXd, Eigen::Lower>(A).solve(b);

    const double top = largest_magnitude(Phi);
    require_finite_entries(fn, "Phi", top);
    const int kx = -binary_order(top), ky = -binary_order(top_y);
    normal_equations(Phi, std::ldexp(1.0, kx), y, std::ldexp(1.0, ky), A, b);
    if (!add_penalties(A, kx))
        throw std::invalid_argument(std::string(fn) + ": the penalties (ridge = " + shown(ridge) +
                                    ", gamma1 = " + shown(gamma1) + ", gamma2 = " + shown(gamma2) +
                                    ") outweigh Phi^T Phi beyond the range of doubles; scale Phi or the weights");
    const VectorXd beta = Eigen::LDLT<MatrixXd, Eigen::Lower>(A).solve(b);
    return beta.unaryExpr([&](double v) { return std::ldexp(v, kx - ky); });
}

}  // namespace korva
