// Elemental starts: the exact fit through each of many subsets of k rows (k terms),
// concentrated (concentration.hpp), and the distinct best of them. korva.robust draws the
// subsets at random, or asks for every subset of few rows, enumerated here in the order
// of Python's itertools.combinations.
#pragma once

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "common.hpp"
#include "concentration.hpp"
#include "size_limits.hpp"

namespace korva {

using SubsetRows = Eigen::Ref<const Eigen::Matrix<std::int64_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;

struct ElementalResult {
    MatrixXd betas;          // (finalists found, k): the distinct best concentrated starts, best first
    std::int64_t tried = 0;  // the number of subsets solved
};

// The number of k-subsets of n rows, comb(n, k); throws when it exceeds the range of int64.
inline std::int64_t subset_count(const char* fn, Index n, Index k) {
    if (k > n) return 0;
    const Index smaller = std::min(k, n - k);
    unsigned __int128 count = 1;
    for (Index j = 1; j <= smaller; ++j) {
        // comb(m, j) = comb(m - 1, j - 1) m / j for m = n - smaller + j: exact at every step.
        count = count * static_cast<unsigned __int128>(n - smaller + j) / static_cast<unsigned __int128>(j);
        if (count > static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()))
            throw std::invalid_argument(std::string(fn) + ": every subset of " + std::to_string(k) + " of " +
                                        std::to_string(n) + " rows are too many to enumerate");
    }
    return static_cast<std::int64_t>(count);
}

namespace detail {

// Every k-subset of 0, ..., n - 1 in lexicographic order, one after another, in place.
class Combinations {
public:
    using Rows = Eigen::Matrix<std::int64_t, 1, Eigen::Dynamic>;

    Combinations(Index n, Index k) : n_(n), rows_(Rows::LinSpaced(k, 0, k - 1)) {}
    const Rows& rows() const { return rows_; }
    // The next subset; false after the last.
    bool advance() {
        const Index k = rows_.size();
        Index i = k - 1;
        while (i >= 0 && rows_[i] == n_ - k + i) --i;
        if (i < 0) return false;
        ++rows_[i];
        for (Index j = i + 1; j < k; ++j) rows_[j] = rows_[j - 1] + 1;
        return true;
    }

private:
    Index n_;
    Rows rows_;
};

// The exact fit through the rows `rows` (k of them, k terms): the normal equations of those
// rows, plus k times the penalty and settings.ridge relative to their mean diagonal, solved by
// Cholesky into beta; a system that is not positive definite or a solution not finite gives
// the zero start. Reads the lower triangle of the penalty.
template <class Design, class Rows>
void solve_subset(const Design& X, const VectorRef& y, const Rows& rows, const ConcentrationSettings& settings,
                  KeptSystem& system, VectorXd& beta) {
    const Index k = X.cols();
    MatrixXd& gram = system.gram;
    for (Index a = 0; a < k; ++a) {
        for (Index b = 0; b <= a; ++b) {
            double sum = 0.0;
            for (Index i = 0; i < k; ++i) sum += X(rows[i], a) * X(rows[i], b);
            gram(a, b) = sum;
        }
        double moment = 0.0;
        for (Index i = 0; i < k; ++i) moment += X(rows[i], a) * y[rows[i]];
        system.moment[a] = moment;
    }
    if (settings.penalty != nullptr) gram.triangularView<Eigen::Lower>() += static_cast<double>(k) * *settings.penalty;
    solve_normal_equations(settings.ridge, system, beta);
    if (!beta.allFinite()) beta.setZero();
}

// The best distinct starts so far, by trimmed sum of squares, ties in the order they came:
// a start of the same coefficients, bit for bit, as one kept is the same start (its trimmed
// sum is the same too) and is dropped. Kept a row each, for the comparison of their bits.
class Finalists {
public:
    Finalists(Index wanted, Index k, WorkingMemory& memory)
        : betas_(memory.matrix<RowMatrixXd>(wanted, k, "elemental_starts: finalists times columns")),
          trimmed_(memory.vector(wanted)) {}

    void offer(const VectorXd& beta, double trimmed) {
        if (!std::isfinite(trimmed)) return;
        const Index k = betas_.cols(), wanted = betas_.rows();
        Index place = count_;
        while (place > 0 && trimmed_[place - 1] > trimmed) --place;
        if (place == wanted) return;
        for (Index j = place - 1; j >= 0 && trimmed_[j] == trimmed; --j)
            if (std::memcmp(betas_.row(j).data(), beta.data(), sizeof(double) * static_cast<std::size_t>(k)) == 0)
                return;
        const Index last = std::min(count_, wanted - 1);
        for (Index j = last; j > place; --j) {
            betas_.row(j) = betas_.row(j - 1);
            trimmed_[j] = trimmed_[j - 1];
        }
        betas_.row(place) = beta.transpose();
        trimmed_[place] = trimmed;
        count_ = std::min(count_ + 1, wanted);
    }

    MatrixXd best() const { return betas_.topRows(count_); }

private:
    RowMatrixXd betas_;
    VectorXd trimmed_;
    Index count_ = 0;
};

}  // namespace detail

// The elemental starts of the subsets of rows `subsets` (m, k), or of every k-subset of the
// n rows when subsets is null: each subset's exact fit (see detail::solve_subset),
// concentrated as concentrate_starts does with `settings`, and the `finalists` best of
// those that differ, best first.
// @param X (n, k) in either storage order, k >= 1; y (n,); subset indices checked by the caller
template <class Design>
ElementalResult elemental_starts(const Design& X, const VectorRef& y, const SubsetRows* subsets,
                                 const ConcentrationSettings& settings, Index finalists, const StopCheck& stop) {
    const Index n = X.rows(), k = X.cols();
    const std::int64_t total =
        subsets != nullptr ? static_cast<std::int64_t>(subsets->rows()) : subset_count("elemental_starts", n, k);
    ElementalResult result;
    result.tried = total;
    WorkingMemory memory;
    detail::Finalists best(std::min<std::int64_t>(finalists, total), k, memory);
    detail::ConcentrationWork work(n, k);
    VectorXd beta(k);
    const auto consider = [&](const auto& rows) {
        stop_if_requested(stop);
        detail::solve_subset(X, y, rows, settings, work.system, beta);
        best.offer(beta, detail::concentrate(X, y, settings, work, beta));
    };
    if (subsets != nullptr) {
        for (Index s = 0; s < subsets->rows(); ++s) consider(subsets->row(s));
    } else if (total > 0) {
        detail::Combinations every(n, k);
        do consider(every.rows());
        while (every.advance());
    }
    result.betas = best.best();
    return result;
}

}  // namespace korva
