// Polynomial basis and smoothness penalties in the monomial convention:
// coefficient p belongs to x^p (in several variables, entry m belongs to
// multi-index m), and so do design columns and penalty rows and columns.
#pragma once

#include <immintrin.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common.hpp"
#include "paged_matrix.hpp"
#include "products.hpp"
#include "size_limits.hpp"

namespace korva {

using MultiIndexList = std::vector<std::vector<int>>;

inline void require_degree(int deg) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
}

inline void require_grid(int n_grid) {
    if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
}

// x^p by the power function. pow(x, 0) is 1 for every x (0^0 = 1), and
// pow(x, 1) is x itself: the power function is accurate to within one unit in
// the last place and x is representable.
inline double monomial(double x, int p) {
    if (p == 0) return 1.0;
    if (p == 1) return x;
    return std::pow(x, static_cast<double>(p));
}

// Rows row .. row + 3 of exponent q, of which those in the bit mask `lanes`
// still need pow.
struct PendingPowers {
    Index row;
    int q, lanes;
};

// Column q - p_lo of out (leading dimension ld) = monomial(x[i], q) for i < len
// and p_lo <= q <= p_hi: the very values of the power function, computed
// mostly without it. x^q is formed in double-double along the chain x^2, x^3,
// ... (each product split exactly with a fused multiply-add), which fixes its
// nearest double h and the remainder l = x^q - h to within 2^-98 relative.
// The C library's pow is within 0.54 units in the last place of x^q: 0.5 of
// that is its final rounding, at most 0.011 its exp step, and the rest its
// log step, at most 1.5 * 2^-68 relative times |q ln x|, which stays under
// 0.007 units while 2^-200 <= |x^q| <= 2^200 (bounds of its builds with and
// without fused multiply-adds). There pow is within 0.52 units, so when
// |l| <= 0.48 of that unit every other double is farther than pow may stray,
// and pow must return h (checked against pow on 1.9e9 powers of all
// magnitudes: no disagreement). Values near a rounding midpoint, a power of
// two, zero, tiny, huge or not finite are left to pow itself, after the
// vector pass so that it runs without unpredictable branches; so are
// exponents above 64, where the chain would cost more than pow.
// @param pending scratch for the groups of four rows with values left to pow
inline void power_table(const double* x, Index len, int p_lo, int p_hi, double* out, Index ld,
                        std::vector<PendingPowers>& pending) {
    constexpr int chain_limit = 64;
    Index i = 0, n_pending = 0;
    const int chained_hi = std::min(p_hi, chain_limit);
    if (chained_hi >= std::max(2, p_lo)) {
        // One slot per group of four rows and exponent, filled without a branch.
        const auto slots = static_cast<std::size_t>(len / 4 * (chained_hi - std::max(2, p_lo) + 1));
        if (pending.size() < slots) pending.resize(slots);
        const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
        const __m256d exponent_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FF0000000000000));
        const __m256i mantissa_mask = _mm256_set1_epi64x(0x000FFFFFFFFFFFFF);
        const __m256d lowest = _mm256_set1_pd(0x1p-200), highest = _mm256_set1_pd(0x1p200);
        const __m256d ulp_of_binade = _mm256_set1_pd(0x1p-52), margin = _mm256_set1_pd(0.48);
        for (; i + 4 <= len; i += 4) {
            const __m256d xv = _mm256_loadu_pd(x + i);
            const __m256d ax = _mm256_and_pd(xv, abs_mask);
            __m256d h = xv, l = _mm256_setzero_pd();
            for (int q = 2; q <= chained_hi; ++q) {
                const __m256d ph = _mm256_mul_pd(h, xv);
                const __m256d pl = _mm256_fmadd_pd(l, xv, _mm256_fmsub_pd(h, xv, ph));
                h = _mm256_add_pd(ph, pl);
                l = _mm256_sub_pd(pl, _mm256_sub_pd(h, ph));
                if (q < p_lo) continue;
                const __m256d ah = _mm256_and_pd(h, abs_mask);
                // A NaN h passes min/max unnoticed but fails the ordered |l| comparison below.
                __m256d ok = _mm256_and_pd(_mm256_cmp_pd(_mm256_min_pd(ah, ax), lowest, _CMP_GE_OQ),
                                           _mm256_cmp_pd(_mm256_max_pd(ah, ax), highest, _CMP_LE_OQ));
                const __m256d unit = _mm256_mul_pd(_mm256_and_pd(h, exponent_mask), ulp_of_binade);
                ok = _mm256_and_pd(ok,
                                   _mm256_cmp_pd(_mm256_and_pd(l, abs_mask), _mm256_mul_pd(margin, unit), _CMP_LE_OQ));
                const __m256i power_of_two =
                    _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(h), mantissa_mask), _mm256_setzero_si256());
                ok = _mm256_andnot_pd(_mm256_castsi256_pd(power_of_two), ok);
                _mm256_storeu_pd(out + (q - p_lo) * ld + i, h);
                const int left = ~_mm256_movemask_pd(ok) & 0xF;
                pending[static_cast<std::size_t>(n_pending)] = {i, q, left};
                n_pending += left != 0;
            }
        }
    }
    for (Index k = 0; k < n_pending; ++k) {
        const auto [row, q, lanes] = pending[static_cast<std::size_t>(k)];
        for (int lane = 0; lane < 4; ++lane)
            if (lanes >> lane & 1) out[(q - p_lo) * ld + row + lane] = std::pow(x[row + lane], static_cast<double>(q));
    }
    // Exponents 0 and 1, those beyond the chain, and the rows after the last group of four.
    for (std::int64_t q = p_lo; q <= p_hi; ++q) {  // 64 bits, so that p_hi = INT_MAX still ends the loop
        const bool chained = q >= 2 && q <= chain_limit;
        for (Index r = chained ? i : 0; r < len; ++r) out[(q - p_lo) * ld + r] = monomial(x[r], static_cast<int>(q));
    }
}

// The factor p (order 1) or p (p - 1) (order 2) of the derivative of x^p.
inline double deriv_factor(int p, int order) {
    // In double: p (p - 1) overflows an int from p = 46342, and is exact in double far beyond.
    return order == 1 ? static_cast<double>(p) : static_cast<double>(p) * static_cast<double>(p - 1);
}

// Derivative of order 0, 1 or 2 of x^p at x = val.
inline double col_deriv_scalar(double val, int p, int order) {
    if (order == 0) return monomial(val, p);
    if (p < order) return 0.0;
    return deriv_factor(p, order) * monomial(val, p - order);
}

// Fills out(0 .. deg) with the order-1 or order-2 derivatives of x^0 .. x^deg at x.
// @param out (deg + 1,): caller-owned, not resized
inline void deriv_row(double x, int deg, int order, Eigen::Ref<VectorXd> out) {
    for (int p = 0; p <= deg; ++p) out(p) = col_deriv_scalar(x, p, order);
}

// Design matrix [1, x, x^2, ..., x^deg]; each column is the previous one times x.
// @param deg >= 0, x (n,): sample points; result (n, deg + 1)
// Column p of Phi (n x M) = x^p for the n values from x, each power the product of
// the one before and x, rounded: 1, x, x * x, (x * x) * x, ...
inline void fill_successive_powers(const double* x, Eigen::Map<MatrixXd> Phi) {
    const Index n = Phi.rows(), M = Phi.cols();
    const Eigen::Map<const VectorXd> values(x, n);
    // Row blocks keep column p - 1 in cache while column p is formed from it.
    constexpr Index block = 128;
    for (Index i0 = 0; i0 < n; i0 += block) {
        const Index len = std::min(block, n - i0);
        Phi.col(0).segment(i0, len).setOnes();
        for (Index p = 1; p < M; ++p)
            Phi.col(p).segment(i0, len) = Phi.col(p - 1).segment(i0, len).cwiseProduct(values.segment(i0, len));
    }
}

inline PagedMatrix design_matrix_1d(int deg, const VectorRef& x) {
    require_degree(deg);
    const Index n = x.size();
    const Index M = static_cast<Index>(deg) + 1;
    PagedMatrix result = checked_matrix<PagedMatrix>(n, M, "n * (deg + 1)");
    fill_successive_powers(x.data(), result.view());
    return result;
}

struct PenaltyMatrices1D {
    MatrixXd R1;  // slope penalty, (deg + 1) x (deg + 1)
    MatrixXd R2;  // curvature penalty
};

// Copies the strictly lower triangle of a square matrix into its upper
// triangle, polling `stop` every 64 columns: for the largest bases this
// strided copy takes a noticeable fraction of a second.
inline void mirror_lower(MatrixXd& R, const StopCheck& stop = {}) {
    for (Index c = 1; c < R.cols(); ++c) {
        if (c % 64 == 0) stop_if_requested(stop);
        for (Index r = 0; r < c; ++r) R(r, c) = R(c, r);
    }
}

// Rectangle sums over n_grid equally weighted points x_g = x_min + g * dx of the
// outer products of first (R1) and second (R2) derivative rows.
inline PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid,
                                                        const StopCheck& stop = {}) {
    require_degree(deg);
    require_grid(n_grid);
    const Index M = static_cast<Index>(deg) + 1;
    WorkingMemory memory;
    PenaltyMatrices1D out{memory.matrix(M, M, "(deg + 1) ** 2"), memory.matrix(M, M, "(deg + 1) ** 2")};
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    // Grid points in blocks; both derivative rows need the same powers
    // x^0 .. x^(deg - 1), evaluated once per point, a power at a time. The
    // derivative rows go into zero-padded row-major tables whose products are
    // summed per entry in grid order, as fma(d(a) d(b), dx, R(a, b)), into
    // W x W sums whose corners become the results.
    constexpr Index block = 256;
    const Index W = (M + 3) / 4 * 4;
    RowMatrixXd d1 = memory.matrix<RowMatrixXd>(block, W, "the penalty tables");
    RowMatrixXd d2 = memory.matrix<RowMatrixXd>(block, W, "the penalty tables");
    MatrixXd pw = memory.matrix(block, M, "the penalty tables");
    MatrixXd G1 = memory.matrix(W, W, "the penalty tables"), G2 = memory.matrix(W, W, "the penalty tables");
    d1.setZero();
    d2.setZero();
    G1.setZero();
    G2.setZero();
    double points[block];
    std::vector<PendingPowers> pending;
    const __m256d step = _mm256_set1_pd(dx);
    const auto scaled_product = [step](__m256d a, __m256d b, __m256d acc) {
        return _mm256_fmadd_pd(_mm256_mul_pd(a, b), step, acc);
    };
    for (Index g0 = 0; g0 < n_grid; g0 += block) {
        stop_if_requested(stop);
        const Index len = std::min<Index>(block, n_grid - g0);
        for (Index t = 0; t < len; ++t) points[t] = std::fma(static_cast<double>(g0 + t), dx, x_min);
        if (deg > 0) power_table(points, len, 0, deg - 1, pw.data(), pw.rows(), pending);
        for (Index t = 0; t < len; ++t) {
            for (int p = 1; p <= deg; ++p) d1(t, p) = deriv_factor(p, 1) * pw(t, p - 1);
            for (int p = 2; p <= deg; ++p) d2(t, p) = deriv_factor(p, 2) * pw(t, p - 2);
        }
        accumulate_gram_lower(d1.data(), W, len, W, G1.data(), scaled_product);
        accumulate_gram_lower(d2.data(), W, len, W, G2.data(), scaled_product);
    }
    out.R1 = G1.topLeftCorner(M, M);
    out.R2 = G2.topLeftCorner(M, M);
    mirror_lower(out.R1);
    mirror_lower(out.R2);
    return out;
}

// Symmetric matrix B with beta^T B beta = f'(x_max) f''(x_max) - f'(x_min) f''(x_min).
// deg = -1 gives the empty basis (0 x 0).
inline MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max) {
    if (deg < -1) throw std::invalid_argument("deg < 0");
    const Index M = static_cast<Index>(deg) + 1;
    WorkingMemory memory;
    MatrixXd Rb = memory.matrix(M, M, "(deg + 1) ** 2"), B = memory.matrix(M, M, "(deg + 1) ** 2");
    VectorXd a1 = memory.vector(M), a2 = memory.vector(M), b1 = memory.vector(M), b2 = memory.vector(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    for (Index c = 0; c < M; ++c)
        for (Index r = 0; r < M; ++r) Rb(r, c) = std::fma(-a2(r), a1(c), b2(r) * b1(c));
    for (Index c = 0; c < M; ++c)
        for (Index r = 0; r < M; ++r) B(r, c) = midpoint(Rb(r, c), Rb(c, r));
    return B;
}

// Appends every exponent vector with 0 <= e_d <= degrees[d], dimension 0 slowest.
// @param current (D,): scratch whose entries 0 .. dim - 1 are already fixed
inline void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim, std::vector<int>& current,
                                   MultiIndexList& out) {
    if (dim == degrees.size()) {
        out.push_back(current);
        return;
    }
    // A 64-bit counter, so that a degree of INT_MAX still ends the loop.
    for (std::int64_t i = 0; i <= degrees[dim]; ++i) {
        current[dim] = static_cast<int>(i);
        generate_multi_indices(degrees, dim + 1, current, out);
    }
}

// Which powers design_matrix_nd evaluates and where each of its columns finds
// its factors. Every distinct power X_cols[d]^p (p >= 2) is evaluated once per
// row and shared by all basis functions that use it. Each dimension's
// exponents occupy consecutive columns of the power table in increasing
// order, so that a run p, p + 1, ... comes from one product chain.
struct PowerPlan {
    struct Run {
        std::size_t dim;
        int p_lo, p_hi;
        Index first_slot;
    };
    std::vector<Run> runs;
    // factor_slot[j D + d] names the factor of column j in dimension d: -1
    // none, below D the plain column X_cols[d], from D on column slot - D of
    // the power table.
    std::vector<Index> factor_slot;
    Index n_powers;  // columns of the power table
};

// @param multi_indices M lists of at least D exponents
inline PowerPlan plan_powers(const MultiIndexList& multi_indices, std::size_t D) {
    const Index M = static_cast<Index>(multi_indices.size());
    std::vector<std::map<int, Index>> slot_of(D);
    for (const std::vector<int>& mi : multi_indices)
        for (std::size_t d = 0; d < D; ++d)
            if (mi[d] > 1) slot_of[d].emplace(mi[d], 0);
    PowerPlan plan;
    Index n_slots = static_cast<Index>(D);
    for (std::size_t d = 0; d < D; ++d)
        for (auto& [p, slot] : slot_of[d]) {
            slot = n_slots++;
            if (!plan.runs.empty() && plan.runs.back().dim == d && plan.runs.back().p_hi == p - 1)
                plan.runs.back().p_hi = p;
            else
                plan.runs.push_back({d, p, p, slot});
        }
    plan.n_powers = n_slots - static_cast<Index>(D);
    plan.factor_slot.assign(static_cast<std::size_t>(M) * D, -1);
    for (Index j = 0; j < M; ++j) {
        const std::vector<int>& mi = multi_indices[static_cast<std::size_t>(j)];
        for (std::size_t d = 0; d < D; ++d)
            if (mi[d] > 0)
                plan.factor_slot[static_cast<std::size_t>(j) * D + d] =
                    mi[d] == 1 ? static_cast<Index>(d) : slot_of[d].at(mi[d]);
    }
    return plan;
}

// Rows of the design filled per block: the block's powers stay in cache.
constexpr Index kDesignBlock = 128;
using PowerTable = Eigen::Matrix<double, kDesignBlock, Eigen::Dynamic>;

// Fills the columns of Phi at rows [i0, i0 + len) (len at most kDesignBlock) by the
// plan, each the product of its factors in increasing dimension; factor(slot) gives
// where the slot's values of these rows are (the plan's factor_slot numbering).
template <class Factor>
void multiply_factors(const PowerPlan& plan, std::size_t D, const Factor& factor, Index i0, Index len,
                      Eigen::Map<MatrixXd>& Phi) {
    const std::vector<Index>& factor_slot = plan.factor_slot;
    alignas(32) double pair_product[kDesignBlock];
    // Neighbouring columns often share their first two factors (all but
    // the last dimension): their product is formed once per block and
    // kept, which rounds exactly as forming it column by column.
    const double* paired[2] = {nullptr, nullptr};
    for (Index j = 0; j < Phi.cols(); ++j) {
        const Index* slots = &factor_slot[static_cast<std::size_t>(j) * D];
        const double* factors[3];
        int used = 0;
        for (std::size_t d = 0; d < D && used < 3; ++d)
            if (slots[d] >= 0) factors[used++] = factor(slots[d]);
        double* col = &Phi(i0, j);
        // The product starts from 1, and 1 * v is v: it begins with the first factor.
        // Up to three factors are multiplied in registers and each entry is stored once.
        switch (used) {
            case 0: std::fill(col, col + len, 1.0); break;
            case 1: std::copy(factors[0], factors[0] + len, col); break;
            case 2:
                for (Index i = 0; i < len; ++i) col[i] = factors[0][i] * factors[1][i];
                break;
            default:
                if (paired[0] != factors[0] || paired[1] != factors[1]) {
                    for (Index i = 0; i < len; ++i) pair_product[i] = factors[0][i] * factors[1][i];
                    paired[0] = factors[0];
                    paired[1] = factors[1];
                }
                for (Index i = 0; i < len; ++i) col[i] = pair_product[i] * factors[2][i];
        }
        // Factors beyond the third, in increasing dimension, in place.
        int seen = 0;
        for (std::size_t d = 0; d < D; ++d) {
            if (slots[d] < 0 || seen++ < 3) continue;
            const double* f = factor(slots[d]);
            for (Index i = 0; i < len; ++i) col[i] *= f[i];
        }
    }
}

// Fills every column of Phi (n x M) by the plan from the input columns, a block of
// rows at a time. Each entry depends on its own row alone, so any cut of the rows
// gives the same doubles.
// @param powers scratch of plan.n_powers columns; pending scratch of power_table
inline void fill_design_rows(const PowerPlan& plan, const std::vector<VectorRef>& X_cols, PowerTable& powers,
                             Eigen::Map<MatrixXd> Phi, std::vector<PendingPowers>& pending) {
    constexpr Index block = kDesignBlock;
    const Index n = Phi.rows();
    const std::size_t D = X_cols.size();
    // Row blocks keep the powers in cache while every column of the block is written once.
    for (Index i0 = 0; i0 < n; i0 += block) {
        const Index len = std::min(block, n - i0);
        for (const PowerPlan::Run& run : plan.runs)
            power_table(X_cols[run.dim].data() + i0, len, run.p_lo, run.p_hi,
                        powers.col(run.first_slot - static_cast<Index>(D)).data(), block, pending);
        const auto factor = [&](Index slot) {
            return slot < static_cast<Index>(D) ? X_cols[static_cast<std::size_t>(slot)].data() + i0
                                                : powers.col(slot - static_cast<Index>(D)).data();
        };
        multiply_factors(plan, D, factor, i0, len, Phi);
    }
}

// Every power column of the plan over all n rows of the input columns, into powers
// (n x plan.n_powers): column slot - D holds the values that slot names.
inline void fill_power_columns(const PowerPlan& plan, const std::vector<VectorRef>& X_cols, MatrixXd& powers) {
    const Index n = powers.rows();
    const std::size_t D = X_cols.size();
    std::vector<PendingPowers> pending;
    for (Index i0 = 0; i0 < n; i0 += kDesignBlock) {
        const Index len = std::min(kDesignBlock, n - i0);
        for (const PowerPlan::Run& run : plan.runs)
            power_table(X_cols[run.dim].data() + i0, len, run.p_lo, run.p_hi,
                        powers.col(run.first_slot - static_cast<Index>(D)).data() + i0, n, pending);
    }
}

// Column j = product over input columns d of X_cols[d]^multi_indices[j][d],
// rounded after each factor in increasing d; exponents <= 0 contribute 1.
// @param multi_indices M lists of at least len(X_cols) exponents
// @param X_cols at least one column; each has at least n = len(X_cols[0]) entries
inline PagedMatrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<VectorRef>& X_cols) {
    const Index M = static_cast<Index>(multi_indices.size());
    const Index n = X_cols.front().size();
    WorkingMemory memory;
    PagedMatrix result = memory.matrix<PagedMatrix>(n, M, "n * len(multi_indices)");
    const PowerPlan plan = plan_powers(multi_indices, X_cols.size());
    PowerTable powers = memory.matrix<PowerTable>(kDesignBlock, plan.n_powers, "the power table");
    std::vector<PendingPowers> pending;
    fill_design_rows(plan, X_cols, powers, result.view(), pending);
    return result;
}

// Exponents of a multi-index list, one row each.
using ExponentTable = Eigen::Matrix<int, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

struct PenaltyMatricesND {
    MatrixXd R1;                   // gradient penalty, M x M
    MatrixXd R2;                   // Hessian (Frobenius) penalty, M x M
    MultiIndexList multi_indices;  // the basis, M entries of D exponents
};

// Fills v with n = len(v) equally spaced points from lo to hi with exact end
// points; interior points are stepped from the end of smaller magnitude, each
// in one fused multiply-add.
inline void equally_spaced(double lo, double hi, VectorXd& v) {
    const Index n = v.size();
    if (n == 1) {
        v(0) = hi;
        return;
    }
    const double step = (hi - lo) / static_cast<double>(n - 1);
    const bool from_hi = std::abs(hi) < std::abs(lo);
    for (Index k = 0; k < n; ++k)
        v(k) =
            from_hi ? std::fma(-static_cast<double>(n - 1 - k), step, hi) : std::fma(static_cast<double>(k), step, lo);
    v(0) = lo;
    v(n - 1) = hi;
}

// The one-dimensional sums of the penalties: gram[d][o](p, q) = step_d sum_k
// t(k, p) t(k, q), t being the order-o derivative (o = 0, 1, 2) of x^p at the
// n equally spaced points of axis d. The sums are counted in `memory`, as
// they stay for the accumulation; each axis's table is scratch held on top.
using AxisGrams = std::vector<std::array<MatrixXd, 3>>;
inline AxisGrams axis_gram_sums(const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
                                Index n, WorkingMemory& memory, const StopCheck& stop) {
    const std::size_t D = degrees.size();
    AxisGrams gram(D);
    for (std::size_t d = 0; d < D; ++d) {
        const double lo = bounds[d].first, hi = bounds[d].second;
        const double step = (hi - lo) / static_cast<double>(n - 1);
        const std::int64_t side = static_cast<std::int64_t>(degrees[d]) + 1;
        memory.hold(checked_product(3 * side, side, "the axis sums"), sizeof(double));
        // One derivative table of n x (degree + 1) values, the axis and the
        // product Eigen forms before scaling it, on top of the results; the
        // larger first, so that a refusal mostly comes before anything is
        // allocated.
        WorkingMemory axis_memory = memory;
        axis_memory.hold(checked_product(side, side, "the axis sums"), sizeof(double));
        MatrixXd table = axis_memory.matrix(n, side, "an axis table");
        VectorXd axis = axis_memory.vector(n);
        equally_spaced(lo, hi, axis);
        for (int order = 0; order < 3; ++order) {
            for (Index p = 0; p < table.cols(); ++p) {
                stop_if_requested(stop);
                for (Index k = 0; k < n; ++k) table(k, p) = col_deriv_scalar(axis(k), static_cast<int>(p), order);
            }
            gram[d][static_cast<std::size_t>(order)] = step * (table.transpose() * table);
        }
    }
    return gram;
}

// Adds every derivative term of the penalties to the lower triangles of
// out.R1 (the first derivatives along each axis) and out.R2 (the second
// derivatives along each pair of axes), each entry a product over axes of
// one-dimensional sums.
// @param E (M, D) scratch for the exponents of out.multi_indices
inline void accumulate_penalty_terms(const AxisGrams& gram, ExponentTable& E, PenaltyMatricesND& out,
                                     const StopCheck& stop) {
    const Index M = E.rows();
    const std::size_t D = gram.size();
    // Exponents as one contiguous M x D table for the inner loops.
    for (Index m = 0; m < M; ++m)
        for (std::size_t d = 0; d < D; ++d)
            E(m, static_cast<Index>(d)) = out.multi_indices[static_cast<std::size_t>(m)][d];

    std::vector<const MatrixXd*> factor(D);
    // Adds the lower triangle of one derivative term; orders[d] is the derivative order along d.
    auto accumulate = [&](MatrixXd& R, const std::vector<int>& orders) {
        for (std::size_t d = 0; d < D; ++d) factor[d] = &gram[d][static_cast<std::size_t>(orders[d])];
        for (Index b = 0; b < M; ++b) {
            if (b % 64 == 63) stop_if_requested(stop);
            for (Index a = b; a < M; ++a) {
                double prod = 1.0;
                for (std::size_t d = 0; d < D; ++d)
                    prod = prod * (*factor[d])(E(a, static_cast<Index>(d)), E(b, static_cast<Index>(d)));
                R(a, b) += prod;
            }
        }
    };

    std::vector<int> orders(D);
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t j = 0; j < D; ++j) {
            for (std::size_t d = 0; d < D; ++d) orders[d] = (d == i) + (d == j);
            accumulate(out.R2, orders);
        }
    }
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t d = 0; d < D; ++d) orders[d] = d == i;
        accumulate(out.R1, orders);
    }
}

// Gradient and Hessian penalties of the tensor-product basis of `degrees`, as
// rectangle sums over the n^D grid of the box `bounds` with cell volume dV:
//   R1(a, b) = dV sum_i sum_g d_i phi_a(x_g) d_i phi_b(x_g),
//   R2(a, b) = dV sum_i sum_j sum_g d_i d_j phi_a(x_g) d_i d_j phi_b(x_g).
// Grid and basis are both tensor products, so each grid sum is the product over
// dimensions of one-dimensional sums (axis_gram_sums). That costs M^2 D per
// term instead of n^D M^2.
inline PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                                   const std::vector<std::pair<double, double>>& bounds,
                                                   int n_grid_per_dim, const StopCheck& stop = {}) {
    if (bounds.size() != degrees.size()) throw std::invalid_argument("Dimension mismatch.");
    for (int g : degrees)
        if (g < -1) throw std::invalid_argument("deg < 0");
    require_grid(n_grid_per_dim);

    const std::size_t D = degrees.size();
    const Index n = n_grid_per_dim;
    std::int64_t M = 1;
    for (int g : degrees) M = g < 0 ? 0 : checked_product(M, static_cast<std::int64_t>(g) + 1, "the basis size");
    std::int64_t grid_points = 1;
    for (std::size_t d = 0; d < D; ++d)
        grid_points = checked_product(grid_points, n, "the grid size n_grid_per_dim ** D");
    WorkingMemory memory;
    PenaltyMatricesND out{
        memory.matrix(M, M, "the basis size squared"), memory.matrix(M, M, "the basis size squared"), {}};
    // The multi-index list is M small vectors, counted with their bookkeeping;
    // its copy E is one table.
    memory.hold(checked_product(M, static_cast<std::int64_t>(D) + 8, "the multi-index list"), sizeof(int));
    ExponentTable E = memory.matrix<ExponentTable>(M, static_cast<std::int64_t>(D), "the multi-index list");
    if (M == 0) return out;  // a degree of -1: the empty basis, whatever the other degrees
    // The axis sums first: their memory is the last to be counted, so that a
    // refusal comes before the results are written.
    const AxisGrams gram = axis_gram_sums(degrees, bounds, n, memory, stop);
    // Only the lower triangles are summed (the upper ones are mirrored from
    // them at the end), so only they start at zero. For the largest bases
    // this first touch of fresh memory takes a noticeable fraction of a
    // second: it polls `stop` every 64 columns.
    for (Index b = 0; b < M; ++b) {
        if (b % 64 == 0) stop_if_requested(stop);
        out.R1.col(b).tail(M - b).setZero();
        out.R2.col(b).tail(M - b).setZero();
    }
    std::vector<int> current(D, 0);
    out.multi_indices.reserve(static_cast<std::size_t>(M));
    generate_multi_indices(degrees, 0, current, out.multi_indices);
    accumulate_penalty_terms(gram, E, out, stop);
    mirror_lower(out.R1, stop);
    mirror_lower(out.R2, stop);
    return out;
}

}  // namespace korva
