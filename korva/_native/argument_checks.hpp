// Size checks for arguments that arrive from Python. The computations assume
// agreeing sizes; these run first so that a mismatch is reported instead of
// being read out of bounds.
#pragma once

#include <Eigen/Dense>

#include <stdexcept>
#include <string>
#include <vector>

#include "common.hpp"

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

}  // namespace korva
