// Size checks for arguments that arrive from Python. The computations assume
// agreeing sizes; these run first so that a mismatch is reported instead of
// being read out of bounds.
#pragma once

#include <Eigen/Dense>

#include <stdexcept>
#include <string>

namespace korva {

// yp must cover every observation: compute_sr reads yp(0 .. len(yt) - 1).
inline void require_covers(const char* fn, const Eigen::VectorXd& yp, const Eigen::VectorXd& yt) {
    if (yp.size() < yt.size())
        throw std::invalid_argument(std::string(fn) + ": yp has " + std::to_string(yp.size()) +
                                    " elements but yt has " + std::to_string(yt.size()));
}

// One observation per design row.
inline void require_rows_match(const char* fn, const char* design, const Eigen::MatrixXd& X,
                               const Eigen::VectorXd& y) {
    if (X.rows() != y.size())
        throw std::invalid_argument(std::string(fn) + ": y has " + std::to_string(y.size()) +
                                    " elements but " + design + " has " + std::to_string(X.rows()) +
                                    " rows");
}

// A penalty matrix that will be read must be side x side; `side_of` says where side comes from.
inline void require_penalty_shape(const char* fn, const char* name, const Eigen::MatrixXd* R, double gamma,
                                  Eigen::Index side, const std::string& side_of) {
    if (R == nullptr || gamma == 0.0) return;
    if (R->rows() != side || R->cols() != side)
        throw std::invalid_argument(std::string(fn) + ": " + name + " is " + std::to_string(R->rows()) +
                                    " x " + std::to_string(R->cols()) + " but " + side_of + ", so " +
                                    name + " must be " + std::to_string(side) + " x " +
                                    std::to_string(side));
}

}  // namespace korva
