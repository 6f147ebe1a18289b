// Linear solvers: minimum-norm least squares by a thin SVD and penalised least
// squares by an LDL^T factorisation of the regularised normal equations.
#pragma once

#include <Eigen/Dense>

namespace korva {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// Minimum-norm least-squares coefficients; singular values below the
// decomposition's default threshold count as zero.
// @param X (m, p), y (m,); result (p,), zero when X has no rows or columns
inline VectorXd ols(const MatrixXd& X, const VectorXd& y) {
    if (X.rows() == 0 || X.cols() == 0) return VectorXd::Zero(X.cols());
    constexpr int thin = Eigen::ComputeThinU | Eigen::ComputeThinV;
    if (X.cols() < 16) {
        const Eigen::JacobiSVD<MatrixXd, Eigen::ColPivHouseholderQRPreconditioner> svd(X, thin);
        return svd.solve(y);
    }
    const Eigen::BDCSVD<MatrixXd> svd(X, thin);
    return svd.solve(y);
}

// Solves (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi^T y, n = len(y).
// A penalty is added only when its weight is non-zero and its matrix present;
// only the lower triangle of the system enters the factorisation.
// @param Phi (n, p), y (n,), R1 and R2 (p, p) or null; result (p,)
inline VectorXd fit_regularized_linear(const MatrixXd& Phi, const VectorXd& y, const MatrixXd* R1,
                                       const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    const double n = static_cast<double>(y.size());
    MatrixXd A = Phi.transpose() * Phi;
    A.diagonal().array() += ridge;
    if (gamma1 != 0.0 && R1 != nullptr) A += (n * gamma1) * *R1;
    if (gamma2 != 0.0 && R2 != nullptr) A += (n * gamma2) * *R2;
    const VectorXd b = Phi.transpose() * y;
    return Eigen::LDLT<MatrixXd, Eigen::Lower>(A).solve(b);
}

}  // namespace korva
