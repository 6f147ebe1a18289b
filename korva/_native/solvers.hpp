// Linear solvers: minimum-norm least squares by a thin SVD and penalised least
// squares by an LDL^T factorisation of the regularised normal equations.
#pragma once

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common.hpp"

namespace korva {

// Minimum-norm solution of A beta = rhs in the least-squares sense by a thin
// SVD (Jacobi below 16 columns, divide and conquer from 16 on); singular
// values below the decomposition's default threshold count as zero.
template <class SVD>
VectorXd solve_by(const SVD& svd, const VectorXd& rhs) {
    // The solve reads state that an unconverged decomposition leaves unset.
    if (svd.info() != Eigen::Success) throw std::runtime_error("ols: the singular value decomposition did not converge");
    return svd.solve(rhs);
}

inline VectorXd svd_min_norm_solve(const MatrixXd& A, const VectorXd& rhs) {
    constexpr int thin = Eigen::ComputeThinU | Eigen::ComputeThinV;
    if (A.cols() < 16) return solve_by(Eigen::JacobiSVD<MatrixXd, Eigen::ColPivHouseholderQRPreconditioner>(A, thin), rhs);
    return solve_by(Eigen::BDCSVD<MatrixXd>(A, thin), rhs);
}

// 2^-e with 2^e the binary order of the largest magnitude (kept within the
// normal range), or 1 for all zeros: scaling by it is exact and brings the
// largest entry near 1.
template <class Values>
double power_of_two_scale(const Values& v) {
    const double top = v.size() == 0 ? 0.0 : v.cwiseAbs().maxCoeff();
    return top > 0.0 ? std::ldexp(1.0, -std::clamp(std::ilogb(top), -1022, 1023)) : 1.0;
}

// Minimum-norm least-squares coefficients.
// @param X (m, p), y (m,); result (p,), zero when X has no rows or columns
inline VectorXd ols(const MatrixRef& X, const VectorRef& y) {
    const Index m = X.rows(), p = X.cols();
    if (m == 0 || p == 0) return VectorXd::Zero(p);
    // The iterative decompositions need finite input; with NaN or inf they may never converge.
    if (!X.allFinite()) throw std::invalid_argument("ols: X contains NaN or infinite values");
    // Solving sX beta' = ty with exact power-of-two scales s, t keeps squared
    // norms inside the QR and SVD finite for entries near the range of
    // doubles; then beta = (s / t) beta'. The rank rule is scale-free.
    const double sx = power_of_two_scale(X);
    const double sy = y.allFinite() ? power_of_two_scale(y) : 1.0;
    const VectorXd ys = sy * y;
    if (m <= p) return (sx / sy) * svd_min_norm_solve(sx * X, ys);
    // Tall X: with X = QR and R = U S V^T, X = (QU) S V^T is a thin SVD of X with
    // the same singular values, rank threshold (min(m, p) = p) and solution,
    // found from the small p x p factor instead of the m x p matrix.
    const Eigen::HouseholderQR<MatrixXd> qr(sx * X);
    const MatrixXd R = qr.matrixQR().topRows(p).triangularView<Eigen::Upper>();
    VectorXd Qty = ys;
    Qty.applyOnTheLeft(qr.householderQ().adjoint());
    return (sx / sy) * svd_min_norm_solve(R, Qty.head(p));
}

// Solves (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi^T y, n = len(y).
// A penalty is added only when its weight is non-zero and its matrix present;
// only the lower triangle of the system enters the factorisation.
// @param Phi (n, p) in either storage order, y (n,), R1 and R2 (p, p) or null; result (p,)
template <class Design>
VectorXd fit_regularized_linear(const Eigen::MatrixBase<Design>& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    const double n = static_cast<double>(y.size());
    const Index p = Phi.cols();
    MatrixXd A = MatrixXd::Zero(p, p);
    A.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose());
    A.diagonal().array() += ridge;
    if (gamma1 != 0.0 && R1 != nullptr) A += (n * gamma1) * *R1;
    if (gamma2 != 0.0 && R2 != nullptr) A += (n * gamma2) * *R2;
    const VectorXd b = Phi.transpose() * y;
    return Eigen::LDLT<MatrixXd, Eigen::Lower>(A).solve(b);
}

}  // namespace korva
