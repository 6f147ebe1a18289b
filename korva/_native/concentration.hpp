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

// Solves the normal equations in `system` (the lower triangle of gram, and moment) with a
// ridge of `ridge` times their mean diagonal added, into beta; NaN when the matrix is not
// positive definite.
inline void solve_normal_equations(double ridge, KeptSystem& system, VectorXd& beta) {
    MatrixXd& gram = system.gram;
    const double k = static_cast<double>(gram.rows());
    gram.diagonal().array() += ridge * std::max(gram.diagonal().sum() / k, std::numeric_limits<double>::min());
    system.factor.compute(gram);
    if (system.factor.info() != Eigen::Success) {
        beta.setConstant(std::numeric_limits<double>::quiet_NaN());
        return;
    }
    beta = system.factor.solve(system.moment);
}

// The memory of the concentration of one start after another, sized once for a call.
struct ConcentrationWork {
    ConcentrationWork(Index n, Index k) : squared(n), scratch(n), kept(n), previous(n), system(n, k) {}
    VectorXd squared, scratch, kept, previous;
    KeptSystem system;
    std::vector<Index> order;
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
    solve_normal_equations(settings.ridge, system, beta);
}

// The concentration of one start, beta, in place: steps until the kept rows repeat or after
// settings.max_steps solutions. Returns the trimmed sum of squares of the rows nearest the
// last solution, whose weights work.kept then holds; infinity, when beta ended not finite.
template <class Design>
double concentrate(const Design& X, const VectorRef& y, const ConcentrationSettings& settings, ConcentrationWork& work,
                   VectorXd& beta) {
    for (int step = 0; step < settings.max_steps; ++step) {
        squared_residuals(X, y, beta, work.squared);
        nearest_rows(work.squared, settings.weights, settings.keep, work.scratch, work.order, work.kept);
        if (step > 0 && work.kept == work.previous) break;
        solve_kept(X, y, work.kept, settings, work.system, beta);
        if (!beta.allFinite()) break;
        work.previous.swap(work.kept);
    }
    if (!beta.allFinite()) return std::numeric_limits<double>::infinity();
    squared_residuals(X, y, beta, work.squared);
    nearest_rows(work.squared, settings.weights, settings.keep, work.scratch, work.order, work.kept);
    return work.kept.dot(work.squared);
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
    detail::ConcentrationWork work(n, k);
    VectorXd beta(k);
    for (Index start = 0; start < m; ++start) {
        stop_if_requested(stop);
        beta = starts.row(start).transpose();
        result.trimmed[start] = detail::concentrate(X, y, settings, work, beta);
        result.betas.row(start) = beta.transpose();
        if (settings.keep_rows && beta.allFinite()) result.kept.row(start) = work.kept.transpose();
    }
    return result;
}

}  // namespace korva
