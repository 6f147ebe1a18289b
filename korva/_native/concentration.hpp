// Concentration steps for many starts at once: least squares on the rows
// nearest each start's fit, repeated until those rows settle. korva.robust runs
// its elemental starts (a few steps each) and its final concentration (to the
// end) through it; each start is independent of the others, so the results
// do not depend on the order or number of starts.
#pragma once

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"

namespace korva {

struct ConcentrationResult {
    MatrixXd betas;    // (m, k): each start's last least-squares solution
    VectorXd trimmed;  // (m,): the weighted sum of the squared residuals of its kept rows
    MatrixXd kept;     // (m, n) when asked for, else empty: the weight each row keeps at the last solution
};

// The settings of a concentration: how much weight the rows kept carry, the
// penalty per unit of weight, and when to stop.
struct ConcentrationSettings {
    double keep = 0.0;
    const MatrixXd* penalty = nullptr;   // (k, k), null: none
    const VectorRef* weights = nullptr;  // (n,), null: every row weighs 1
    int max_steps = 0;
    double ridge = 0.0;      // relative to the mean diagonal of the normal matrix
    bool keep_rows = false;  // whether the result carries the rows each start kept
};

namespace detail {

// The weight each row keeps: the rows nearest the fit whose squared residuals
// are `squared`, in order of their residual (ties by row number), until their
// weights reach `keep`, the last one in part. `scratch` and `order` are reused.
inline void nearest_rows(const VectorXd& squared, const VectorRef* weights, double keep, VectorXd& scratch,
                         std::vector<Index>& order, VectorXd& kept) {
    const Index n = squared.size();
    kept.setZero();
    if (weights == nullptr) {
        const Index h = std::min<Index>(static_cast<Index>(std::floor(keep)), n);
        scratch = squared;
        std::nth_element(scratch.data(), scratch.data() + (h - 1), scratch.data() + n);
        const double threshold = scratch[h - 1];
        Index taken = 0;
        for (Index i = 0; i < n; ++i)
            if (squared[i] < threshold) kept[i] = 1.0, ++taken;
        for (Index i = 0; i < n && taken < h; ++i)  // rows at the threshold, by row number
            if (squared[i] == threshold) kept[i] = 1.0, ++taken;
        return;
    }
    order.resize(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Index{0});
    std::sort(order.begin(), order.end(),
              [&](Index a, Index b) { return squared[a] < squared[b] || (squared[a] == squared[b] && a < b); });
    double before = 0.0;
    for (const Index row : order) {
        if (before >= keep) break;
        const double weight = (*weights)[row];
        kept[row] = std::min(weight, keep - before);
        before += weight;
    }
}

// The squared residuals, in place of a temporary for X beta.
template <class Design>
void squared_residuals(const Design& X, const VectorRef& y, const VectorXd& beta, VectorXd& squared) {
    squared = y;
    squared.noalias() -= X * beta;
    squared = squared.array().square();
}

// The memory of the steps, sized once: the kept rows (times the root of their
// weights) and their targets, the normal equations and their factorisation.
struct KeptSystem {
    KeptSystem(Index n, Index k) : rows(n, k), targets(n), gram(k, k), moment(k), factor(k) {}
    MatrixXd rows;
    VectorXd targets;
    MatrixXd gram;
    VectorXd moment;
    Eigen::LLT<MatrixXd> factor;
};

// The weighted, penalised least-squares solution on the kept rows, gathered
// (times the root of their weights, in row order) into `system.rows`, into
// beta; NaN when the normal matrix is not positive definite.
template <class Design>
void solve_kept(const Design& X, const VectorRef& y, const VectorXd& kept, const ConcentrationSettings& settings,
                KeptSystem& system, VectorXd& beta) {
    const Index n = X.rows(), k = X.cols();
    Index count = 0;
    double mass = 0.0;
    for (Index i = 0; i < n; ++i) {
        if (kept[i] <= 0.0) continue;
        const double root = std::sqrt(kept[i]);
        system.rows.row(count) = root * X.row(i);
        system.targets[count] = root * y[i];
        mass += kept[i];
        ++count;
    }
    // The lower triangle, one dot product of gathered columns an entry: the factorisation
    // reads no other, and a general product would cost more than it for so few columns.
    const auto gathered = system.rows.topRows(count);
    MatrixXd& gram = system.gram;
    for (Index a = 0; a < k; ++a) {
        for (Index b = 0; b <= a; ++b) gram(a, b) = gathered.col(a).dot(gathered.col(b));
        system.moment[a] = gathered.col(a).dot(system.targets.head(count));
    }
    if (settings.penalty != nullptr) gram.triangularView<Eigen::Lower>() += mass * *settings.penalty;
    const double ridge =
        settings.ridge * std::max(gram.diagonal().sum() / static_cast<double>(k), std::numeric_limits<double>::min());
    gram.diagonal().array() += ridge;
    system.factor.compute(gram);
    if (system.factor.info() != Eigen::Success) {
        beta.setConstant(std::numeric_limits<double>::quiet_NaN());
        return;
    }
    beta = system.factor.solve(system.moment);
}

}  // namespace detail

// For each row of `starts`, concentration steps: least squares on the rows
// nearest its fit (see detail::nearest_rows), with the penalty weighed by the
// weight kept, (X_S' W X_S + (sum w) P + ridge I) beta = X_S' W y_S, until
// the kept rows repeat or after settings.max_steps solutions; then the trimmed
// sum of squares of the rows nearest the last solution, and with
// settings.keep_rows the weights those rows keep, so that a caller solving on
// them again uses the one trimming rule. A start whose normal matrix is
// singular ends as NaN with an infinite trimmed sum and no row kept.
// @param X (n, k) in either storage order, y (n,), starts (m, k); result betas (m, k), trimmed (m,),
//        kept (m, n) or (0, 0)
template <class Design>
ConcentrationResult concentrate_starts(const Design& X, const VectorRef& y, const MatrixRef& starts,
                                       const ConcentrationSettings& settings, const StopCheck& stop) {
    const Index n = X.rows(), k = X.cols(), m = starts.rows();
    ConcentrationResult result{MatrixXd(m, k), VectorXd(m),
                               MatrixXd::Zero(settings.keep_rows ? m : 0, settings.keep_rows ? n : 0)};
    VectorXd squared(n), scratch(n), kept(n), previous(n), beta(k);
    detail::KeptSystem system(n, k);
    std::vector<Index> order;
    for (Index start = 0; start < m; ++start) {
        stop_if_requested(stop);
        beta = starts.row(start).transpose();
        for (int step = 0; step < settings.max_steps; ++step) {
            detail::squared_residuals(X, y, beta, squared);
            detail::nearest_rows(squared, settings.weights, settings.keep, scratch, order, kept);
            if (step > 0 && kept == previous) break;
            detail::solve_kept(X, y, kept, settings, system, beta);
            if (!beta.allFinite()) break;
            previous.swap(kept);
        }
        result.betas.row(start) = beta.transpose();
        double trimmed = std::numeric_limits<double>::infinity();
        if (beta.allFinite()) {
            detail::squared_residuals(X, y, beta, squared);
            detail::nearest_rows(squared, settings.weights, settings.keep, scratch, order, kept);
            trimmed = kept.dot(squared);
            if (settings.keep_rows) result.kept.row(start) = kept.transpose();
        }
        result.trimmed[start] = trimmed;
    }
    return result;
}

}  // namespace korva
