// Polynomial basis and smoothness penalties in the monomial convention:
// coefficient p belongs to x^p (in several variables, entry m belongs to
// multi-index m), and so do design columns and penalty rows and columns.
#pragma once

#include <Eigen/Dense>

#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "size_limits.hpp"

namespace korva {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

using MultiIndexList = std::vector<std::vector<int>>;

inline void require_degree(int deg) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
}

inline void require_grid(int n_grid) {
    if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
}

// Derivative of order 0, 1 or 2 of x^p at x = val; pow(x, 0) = 1 everywhere, so 0^0 = 1.
inline double col_deriv_scalar(double val, int p, int order) {
    if (order == 0) return std::pow(val, static_cast<double>(p));
    if (p < order) return 0.0;
    if (order == 1) return static_cast<double>(p) * std::pow(val, static_cast<double>(p - 1));
    return static_cast<double>(p * (p - 1)) * std::pow(val, static_cast<double>(p - 2));
}

// Design matrix [1, x, x^2, ..., x^deg]; each column is the previous one times x.
// @param deg >= 0, x (n,): sample points; result (n, deg + 1)
inline MatrixXd design_matrix_1d(int deg, const VectorXd& x) {
    require_degree(deg);
    const Index n = x.size();
    const Index M = static_cast<Index>(deg) + 1;
    require_fits_in_memory(checked_product(n, M, "n * (deg + 1)"), sizeof(double));
    MatrixXd Phi(n, M);
    if (n == 0) return Phi;
    Phi.col(0).setOnes();
    for (Index p = 1; p < M; ++p) Phi.col(p) = Phi.col(p - 1).cwiseProduct(x);
    return Phi;
}

// Fills out(0 .. deg) with the order-1 or order-2 derivatives of x^0 .. x^deg at x.
// @param out (deg + 1,): caller-owned, not resized
inline void deriv_row(double x, int deg, int order, Eigen::Ref<VectorXd> out) {
    for (int p = 0; p <= deg; ++p) out(p) = col_deriv_scalar(x, p, order);
}

struct PenaltyMatrices1D {
    MatrixXd R1;  // slope penalty, (deg + 1) x (deg + 1)
    MatrixXd R2;  // curvature penalty
};

// Rectangle sums over n_grid equally weighted points x_g = x_min + g * dx of the
// outer products of first (R1) and second (R2) derivative rows.
inline PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid) {
    require_degree(deg);
    require_grid(n_grid);
    const Index M = static_cast<Index>(deg) + 1;
    require_fits_in_memory(checked_product(M, M, "(deg + 1) ** 2"), 2 * sizeof(double));
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D out{MatrixXd::Zero(M, M), MatrixXd::Zero(M, M)};
    VectorXd d1(M), d2(M);
    for (int g = 0; g < n_grid; ++g) {
        const double x = std::fma(static_cast<double>(g), dx, x_min);
        deriv_row(x, deg, 1, d1);
        deriv_row(x, deg, 2, d2);
        for (Index b = 0; b < M; ++b) {
            for (Index a = 0; a < M; ++a) {
                out.R1(a, b) = std::fma(d1(a) * d1(b), dx, out.R1(a, b));
                out.R2(a, b) = std::fma(d2(a) * d2(b), dx, out.R2(a, b));
            }
        }
    }
    return out;
}

// Symmetric matrix B with beta^T B beta = f'(x_max) f''(x_max) - f'(x_min) f''(x_min).
// deg = -1 gives the empty basis (0 x 0).
inline MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max) {
    if (deg < -1) throw std::invalid_argument("deg < 0");
    const Index M = static_cast<Index>(deg) + 1;
    require_fits_in_memory(checked_product(M, M, "(deg + 1) ** 2"), 2 * sizeof(double));
    VectorXd a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    MatrixXd Rb(M, M);
    for (Index c = 0; c < M; ++c)
        for (Index r = 0; r < M; ++r) Rb(r, c) = std::fma(-a2(r), a1(c), b2(r) * b1(c));
    MatrixXd B(M, M);
    for (Index c = 0; c < M; ++c)
        for (Index r = 0; r < M; ++r) B(r, c) = (Rb(r, c) + Rb(c, r)) * 0.5;
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
    for (int i = 0; i <= degrees[dim]; ++i) {
        current[dim] = i;
        generate_multi_indices(degrees, dim + 1, current, out);
    }
}

// Number of multi-indices for `degrees`, 0 when any degree is negative.
inline std::int64_t basis_size(const std::vector<int>& degrees) {
    std::int64_t M = 1;
    for (int g : degrees) {
        if (g < 0) return 0;
        M = checked_product(M, static_cast<std::int64_t>(g) + 1, "the number of basis functions");
    }
    return M;
}

// Column j = product over input columns d of X_cols[d]^multi_indices[j][d];
// exponents <= 0 contribute 1.
// @param multi_indices M lists of at least len(X_cols) exponents
// @param X_cols at least one column; each has at least n = len(X_cols[0]) entries
inline MatrixXd design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<VectorXd>& X_cols) {
    const Index M = static_cast<Index>(multi_indices.size());
    const Index n = X_cols.front().size();
    require_fits_in_memory(checked_product(n, M, "n * len(multi_indices)"), sizeof(double));
    MatrixXd Phi(n, M);
    for (Index j = 0; j < M; ++j) {
        auto col = Phi.col(j).array();
        col.setOnes();
        const std::vector<int>& mi = multi_indices[static_cast<std::size_t>(j)];
        for (std::size_t d = 0; d < X_cols.size(); ++d) {
            const int p = mi[d];
            if (p <= 0) continue;
            col *= X_cols[d].head(n).array().pow(static_cast<double>(p));
        }
    }
    return Phi;
}

// Copies the strictly lower triangle of a square matrix into its upper triangle.
inline void mirror_lower(MatrixXd& R) {
    for (Index c = 1; c < R.cols(); ++c)
        for (Index r = 0; r < c; ++r) R(r, c) = R(c, r);
}

struct PenaltyMatricesND {
    MatrixXd R1;                  // gradient penalty, M x M
    MatrixXd R2;                  // Hessian (Frobenius) penalty, M x M
    MultiIndexList multi_indices;  // the basis, M entries of D exponents
};

// n equally spaced points from lo to hi with exact end points; interior points
// are stepped from the end of smaller magnitude, each in one fused multiply-add.
inline VectorXd equally_spaced(Index n, double lo, double hi) {
    VectorXd v(n);
    if (n == 1) {
        v(0) = hi;
        return v;
    }
    const double step = (hi - lo) / static_cast<double>(n - 1);
    const bool from_hi = std::abs(hi) < std::abs(lo);
    for (Index k = 0; k < n; ++k) {
        v(k) = from_hi ? std::fma(-static_cast<double>(n - 1 - k), step, hi) : std::fma(static_cast<double>(k), step, lo);
    }
    v(0) = lo;
    v(n - 1) = hi;
    return v;
}

// Gradient and Hessian penalties of the tensor-product basis of `degrees`,
// by rectangle sums over an n^D grid on the box `bounds`.
inline PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                                   const std::vector<std::pair<double, double>>& bounds,
                                                   int n_grid_per_dim) {
    if (bounds.size() != degrees.size()) throw std::invalid_argument("Dimension mismatch.");
    for (int g : degrees)
        if (g < -1) throw std::invalid_argument("deg < 0");
    require_grid(n_grid_per_dim);

    const std::size_t D = degrees.size();
    const Index n = n_grid_per_dim;
    const std::int64_t M = basis_size(degrees);
    std::int64_t G = 1;
    for (std::size_t d = 0; d < D; ++d) G = checked_product(G, n, "the grid size n_grid_per_dim ** D");
    const std::int64_t GM = checked_product(G, M, "the grid size times the number of basis functions");
    require_fits_in_memory(checked_product(M, M, "the number of basis functions squared"), 2 * sizeof(double));
    require_fits_in_memory(GM, sizeof(double));
    require_fits_in_memory(checked_product(G, static_cast<std::int64_t>(D), "the grid table"), sizeof(int));
    require_fits_in_memory(checked_product(M, static_cast<std::int64_t>(D) + 8, "the multi-index list"), sizeof(int));

    PenaltyMatricesND out;
    std::vector<int> current(D, 0);
    out.multi_indices.reserve(static_cast<std::size_t>(M));
    generate_multi_indices(degrees, 0, current, out.multi_indices);
    out.R1 = MatrixXd::Zero(M, M);
    out.R2 = MatrixXd::Zero(M, M);
    if (M == 0) return out;

    double dV = 1.0;
    // deriv_tab[d][order](k, p): derivative `order` of x^p at axis point k of dimension d.
    std::vector<std::array<MatrixXd, 3>> deriv_tab(D);
    for (std::size_t d = 0; d < D; ++d) {
        const double lo = bounds[d].first, hi = bounds[d].second;
        dV = (hi - lo) / static_cast<double>(n - 1) * dV;
        const VectorXd axis = equally_spaced(n, lo, hi);
        for (int order = 0; order < 3; ++order) {
            MatrixXd& tab = deriv_tab[d][static_cast<std::size_t>(order)];
            tab.resize(n, degrees[d] + 1);
            for (Index p = 0; p <= degrees[d]; ++p)
                for (Index k = 0; k < n; ++k) tab(k, p) = col_deriv_scalar(axis(k), static_cast<int>(p), order);
        }
    }

    // grid_k(g, d): axis index of grid point g in dimension d, dimension 0 fastest.
    Eigen::Matrix<int, Eigen::Dynamic, Eigen::Dynamic> grid_k(G, static_cast<Index>(D));
    for (Index g = 0; g < G; ++g) {
        Index t = g;
        for (std::size_t d = 0; d < D; ++d) {
            grid_k(g, static_cast<Index>(d)) = static_cast<int>(t % n);
            t /= n;
        }
    }

    std::vector<int> orders(D);
    // Adds dV * W^T W to the lower triangle of R, W(g, m) being the derivative
    // of basis function m with order orders[d] along dimension d at grid point g.
    auto accumulate = [&](MatrixXd& R) {
        MatrixXd W(G, M);
        for (Index m = 0; m < M; ++m) {
            auto col = W.col(m);
            col.setOnes();
            const std::vector<int>& mi = out.multi_indices[static_cast<std::size_t>(m)];
            for (std::size_t d = 0; d < D; ++d) {
                const auto table = deriv_tab[d][static_cast<std::size_t>(orders[d])].col(mi[d]);
                const auto kd = grid_k.col(static_cast<Index>(d));
                for (Index g = 0; g < G; ++g) col(g) = col(g) * table(kd(g));
            }
        }
        R.selfadjointView<Eigen::Lower>().rankUpdate(W.transpose(), dV);
    };

    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t j = 0; j < D; ++j) {
            for (std::size_t d = 0; d < D; ++d) orders[d] = (d == i) + (d == j);
            accumulate(out.R2);
        }
    }
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t d = 0; d < D; ++d) orders[d] = d == i;
        accumulate(out.R1);
    }
    mirror_lower(out.R1);
    mirror_lower(out.R2);
    return out;
}

}  // namespace korva
