// Size checks for arguments that arrive from Python. The computations assume
// agreeing sizes; these run first so that a mismatch is reported instead of
// being read out of bounds.
#pragma once

#include <Eigen/Dense>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.hpp"
#include "solvers.hpp"

namespace korva {

// yp must cover every observation: compute_sr reads yp(0 .. len(yt) - 1).
inline void require_covers(const char* fn, const Eigen::Ref<const Eigen::VectorXd>& yp,
                           const Eigen::Ref<const Eigen::VectorXd>& yt) {
    if (yp.size() < yt.size())
        throw std::invalid_argument(std::string(fn) + ": yp has " + std::to_string(yp.size()) +
                                    " elements but yt has " + std::to_string(yt.size()));
}

// One observation per design row.
inline void require_rows_match(const char* fn, const char* design, Eigen::Index rows, Eigen::Index y_size) {
    if (rows != y_size)
        throw std::invalid_argument(std::string(fn) + ": y has " + std::to_string(y_size) + " elements but " + design +
                                    " has " + std::to_string(rows) + " rows");
}

// A penalty matrix that will be read must be side x side; `side_of` says where side comes from.
inline void require_penalty_shape(const char* fn, const char* name, const Eigen::MatrixXd* R, double gamma,
                                  Eigen::Index side, const std::string& side_of) {
    if (penalty_in_use(R, gamma) == nullptr) return;
    if (R->rows() != side || R->cols() != side)
        throw std::invalid_argument(std::string(fn) + ": " + name + " is " + std::to_string(R->rows()) + " x " +
                                    std::to_string(R->cols()) + " but " + side_of + ", so " + name + " must be " +
                                    std::to_string(side) + " x " + std::to_string(side));
}

// design_matrix_nd reads n = len(X_cols[0]) rows of every column and one
// exponent per column from every multi-index.
inline void require_design_inputs(const std::vector<std::vector<int>>& multi_indices,
                                  const std::vector<VectorRef>& X_cols) {
    const std::string fn = "design_matrix_nd: ";
    if (X_cols.empty()) throw std::invalid_argument(fn + "X_cols is empty; give at least one column");
    const Eigen::Index n = X_cols[0].size();
    for (std::size_t d = 1; d < X_cols.size(); ++d)
        if (X_cols[d].size() < n)
            throw std::invalid_argument(fn + "X_cols[" + std::to_string(d) + "] has " +
                                        std::to_string(X_cols[d].size()) + " elements but X_cols[0] has " +
                                        std::to_string(n));
    for (std::size_t j = 0; j < multi_indices.size(); ++j)
        if (multi_indices[j].size() < X_cols.size())
            throw std::invalid_argument(fn + "multi_indices[" + std::to_string(j) + "] has " +
                                        std::to_string(multi_indices[j].size()) + " exponents but X_cols has " +
                                        std::to_string(X_cols.size()) + " columns");
}

// A per-row (or per-value) vector of `size` elements where `rows_of` has `rows`.
inline void require_length(const char* fn, const char* name, Eigen::Index size, Eigen::Index rows,
                           const char* rows_of) {
    if (size != rows)
        throw std::invalid_argument(std::string(fn) + ": " + name + " has " + std::to_string(size) + " elements but " +
                                    rows_of + " has " + std::to_string(rows));
}

// Values of which a median is taken: at least one.
inline void require_nonempty(const char* fn, const char* name, Eigen::Index size) {
    if (size == 0) throw std::invalid_argument(std::string(fn) + ": " + name + " is empty; it has no median");
}

// One coefficient per column of the design, named `design` in the message.
inline void require_coefficients(const char* fn, const char* design, Eigen::Index beta_size, Eigen::Index cols) {
    if (beta_size != cols)
        throw std::invalid_argument(std::string(fn) + ": beta has " + std::to_string(beta_size) + " elements but " +
                                    design + " has " + std::to_string(cols) + " columns");
}

// A k x k matrix of finite entries for a design of k columns, such as a penalty or a slope matrix.
inline void require_term_matrix(const char* fn, const char* name, const Eigen::MatrixXd& M, Eigen::Index k) {
    if (M.rows() != k || M.cols() != k)
        throw std::invalid_argument(std::string(fn) + ": " + name + " must be " + std::to_string(k) + " x " +
                                    std::to_string(k) + " (design has " + std::to_string(k) + " columns), got " +
                                    std::to_string(M.rows()) + " x " + std::to_string(M.cols()));
    require_finite_entries(fn, name, largest_magnitude(M));
}

// A ridge added to the diagonal of normal equations: finite and at least 0.
inline void require_ridge(const char* fn, double ridge) {
    if (!(std::isfinite(ridge) && ridge >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": ridge must be a finite number of at least 0, got " +
                                    shown(ridge));
}

// A step count of at least 0.
inline void require_step_count(const char* fn, int max_steps) {
    if (max_steps < 0)
        throw std::invalid_argument(std::string(fn) + ": max_steps must be at least 0, got " +
                                    std::to_string(max_steps));
}

// Starts of one entry per design column.
inline void require_start_columns(const char* fn, Eigen::Index starts_cols, Eigen::Index cols) {
    if (starts_cols != cols)
        throw std::invalid_argument(std::string(fn) + ": starts has " + std::to_string(starts_cols) +
                                    " columns but design has " + std::to_string(cols));
}

// The values that concentration reads beside its starts: target and design finite, and case
// weights (when given) finite and not negative.
template <class Design>
void require_concentration_values(const char* fn, const Design& X, const VectorRef& target, const VectorRef* weights) {
    require_finite_entries(fn, "target", largest_magnitude(target));
    require_finite_entries(fn, "design", largest_magnitude(X));
    if (weights != nullptr) {
        require_finite_entries(fn, "weights", largest_magnitude(*weights));
        if (X.rows() > 0 && weights->minCoeff() < 0.0)
            throw std::invalid_argument(std::string(fn) + ": weights must not be negative");
    }
}

// The weight that concentration keeps: unweighted, a count of rows from 1 to their number;
// weighted, a share of a row may count (fractional weights), so above 0, and the caller's
// sum of the weights may differ from `mass` in its last digits.
inline void require_kept_weight(const char* fn, double keep, bool weighted, double mass) {
    const bool keep_valid = weighted ? keep > 0.0 : keep >= 1.0;
    const double rounding = weighted ? 64.0 * std::numeric_limits<double>::epsilon() : 0.0;
    if (!(std::isfinite(keep) && keep_valid && keep <= mass + rounding * mass))
        throw std::invalid_argument(
            std::string(fn) + ": keep must be a number " + (weighted ? "above 0 and at most" : "from 1 to") +
            " the total weight of the rows, " + std::to_string(mass) + ", got " + std::to_string(keep));
}

}  // namespace korva
