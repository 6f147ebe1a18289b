// Linear solvers: minimum-norm least squares by a thin SVD and penalised least
// squares by an LDL^T factorisation of the regularised normal equations.
#pragma once

#include <stdexcept>

#include "common.hpp"

namespace korva {

// Minimum-norm solution of A beta = rhs in the least-squares sense by a thin
// SVD (Jacobi below 16 columns, divide and conquer from 16 on); singular
// values below the decomposition's default threshold count as zero.
inline VectorXd svd_min_norm_solve(const MatrixXd& A, const VectorXd& rhs) {
    constexpr int thin = Eigen::ComputeThinU | Eigen::ComputeThinV;
    if (A.cols() < 16) return Eigen::JacobiSVD<MatrixXd, Eigen::ColPivHouseholderQRPreconditioner>(A, thin).solve(rhs);
    return Eigen::BDCSVD<MatrixXd>(A, thin).solve(rhs);
}

// Minimum-norm least-squares coefficients.
// @param X (m, p), y (m,); result (p,), zero when X has no rows or columns
inline VectorXd ols(const MatrixRef& X, const VectorRef& y) {
    const Index m = X.rows(), p = X.cols();
    if (m == 0 || p == 0) return VectorXd::Zero(p);
    // The iterative decompositions need finite input; with NaN or inf they may never converge.
    if (!X.allFinite()) throw std::invalid_argument("ols: X contains NaN or infinite values");
    if (m <= p) return svd_min_norm_solve(X, y);
    // Tall X: with X = QR and R = U S V^T, X = (QU) S V^T is a thin SVD of X with
    // the same singular values, rank threshold (min(m, p) = p) and solution,
    // found from the small p x p factor instead of the m x p matrix.
    const Eigen::HouseholderQR<MatrixXd> qr(X);
    const MatrixXd R = qr.matrixQR().topRows(p).triangularView<Eigen::Upper>();
    VectorXd Qty = y;
    Qty.applyOnTheLeft(qr.householderQ().adjoint());
    return svd_min_norm_solve(R, Qty.head(p));
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
