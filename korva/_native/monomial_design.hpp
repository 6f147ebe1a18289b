// A design matrix that is formed where it is read: the monomials of input columns, a
// chunk of rows at a time, never stored whole (of several inputs, the powers x^2, x^3,
// ... that it uses are formed once and kept, one column each). Its entries are the very doubles of the
// stored design of the same basis (design_matrix_1d's successive products for the powers
// 0, 1, ..., deg of one column, else design_matrix_nd's), so a pass over it gives the
// bits of a pass over that matrix in column-major order, without the memory of the
// matrix or the reads of it: the design is several times the size of the inputs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "basis.hpp"
#include "common.hpp"
#include "solvers.hpp"

namespace korva {

// The error for a row index outside [0, rows) of a MonomialDesign, the index shown as given.
template <class Integer>
std::invalid_argument row_out_of_range(Integer index, Index rows) {
    return std::invalid_argument("MonomialDesign: row index " + std::to_string(index) + " is out of range for " +
                                 std::to_string(rows) + " rows");
}

class MonomialDesign {
public:
    static constexpr bool IsRowMajor = false;

    // Column j is the product over d of columns[d]^exponents[j][d], the exponents at least
    // 0. The columns are read in place: they must outlive the design and keep their values,
    // as the powers formed from them are kept.
    MonomialDesign(std::vector<VectorRef> columns, MultiIndexList exponents)
        : columns_(std::move(columns)), exponents_(std::move(exponents)) {
        constexpr const char* fn = "MonomialDesign";
        if (columns_.empty()) throw std::invalid_argument(std::string(fn) + ": columns is empty; give at least one");
        rows_ = columns_.front().size();
        for (std::size_t d = 1; d < columns_.size(); ++d)
            if (columns_[d].size() != rows_)
                throw std::invalid_argument(std::string(fn) + ": columns[" + std::to_string(d) + "] has " +
                                            std::to_string(columns_[d].size()) + " rows but columns[0] has " +
                                            std::to_string(rows_));
        for (std::size_t j = 0; j < exponents_.size(); ++j) {
            if (exponents_[j].size() != columns_.size())
                throw std::invalid_argument(std::string(fn) + ": exponents[" + std::to_string(j) + "] has " +
                                            std::to_string(exponents_[j].size()) + " exponents but there are " +
                                            std::to_string(columns_.size()) + " columns");
            // The stored design's builders take an exponent below 0 as 0; a power of x it is not.
            for (std::size_t d = 0; d < columns_.size(); ++d)
                if (exponents_[j][d] < 0)
                    throw std::invalid_argument(std::string(fn) + ": exponents[" + std::to_string(j) + "][" +
                                                std::to_string(d) + "] is " + std::to_string(exponents_[j][d]) +
                                                " (the power of columns[" + std::to_string(d) + "] in term " +
                                                std::to_string(j) + "); exponents must be at least 0");
        }
        checked_product(rows_, cols(), "the design's size");
        successive_ = columns_.size() == 1 && !exponents_.empty();
        for (std::size_t j = 0; j < exponents_.size(); ++j)
            successive_ = successive_ && exponents_[j][0] == static_cast<int>(j);
        plan_ = plan_powers(exponents_, columns_.size());
        if (!successive_) {
            powers_ = checked_matrix(rows_, plan_.n_powers, "the design's powers");
            fill_power_columns(plan_, columns_, powers_);
        }
    }

    Index rows() const { return rows_; }
    Index cols() const { return static_cast<Index>(exponents_.size()); }

    // Rows [first, first + len) into out, column-major with leading dimension len: each
    // entry the product of its inputs and of the powers formed once for all passes (a
    // power with its check against the power function costs several products).
    void fill(Index first, Index len, double* out) const {
        Eigen::Map<MatrixXd> rows(out, len, cols());
        if (successive_) {
            fill_successive_powers(columns_.front().data() + first, rows);
            return;
        }
        const Index D = static_cast<Index>(columns_.size());
        for (Index i0 = 0; i0 < len; i0 += kDesignBlock) {
            const auto factor = [&](Index slot) {
                return slot < D ? columns_[static_cast<std::size_t>(slot)].data() + first + i0
                                : powers_.col(slot - D).data() + first + i0;
            };
            multiply_factors(plan_, columns_.size(), factor, i0, std::min(kDesignBlock, len - i0), rows);
        }
    }

    // The rows at `index` (each in [0, rows())), row t of the result being row index[t]:
    // the entries of the same rows in a pass.
    MatrixXd rows_at(const std::vector<std::int64_t>& index) const {
        const Index m = static_cast<Index>(index.size());
        for (const std::int64_t i : index)
            if (i < 0 || i >= rows_) throw row_out_of_range(i, rows_);
        // The inputs' and the powers' values at the rows, in the plan's slot order.
        const Index D = static_cast<Index>(columns_.size());
        const Index slots = successive_ ? 1 : D + plan_.n_powers;
        WorkingMemory memory;
        MatrixXd factors = memory.matrix(m, slots, "the rows' factors");
        for (Index slot = 0; slot < slots; ++slot) {
            const double* source =
                slot < D ? columns_[static_cast<std::size_t>(slot)].data() : powers_.col(slot - D).data();
            for (Index t = 0; t < m; ++t) factors(t, slot) = source[index[static_cast<std::size_t>(t)]];
        }
        MatrixXd result = memory.matrix(m, cols(), "the rows");
        Eigen::Map<MatrixXd> rows(result.data(), m, cols());
        if (successive_) {
            fill_successive_powers(factors.data(), rows);
            return result;
        }
        for (Index i0 = 0; i0 < m; i0 += kDesignBlock) {
            const auto factor = [&](Index slot) { return factors.col(slot).data() + i0; };
            multiply_factors(plan_, columns_.size(), factor, i0, std::min(kDesignBlock, m - i0), rows);
        }
        return result;
    }

private:
    std::vector<VectorRef> columns_;
    MultiIndexList exponents_;
    PowerPlan plan_;
    Index rows_ = 0;
    bool successive_ = false;  // the powers 0, 1, ..., deg of one column, formed as products
    MatrixXd powers_;          // else the plan's powers of every row (rows x plan_.n_powers)
};

// The largest magnitude among the design's entries, or infinity when any is NaN or
// infinite (a product may overflow where every input is finite).
inline double largest_magnitude(const MonomialDesign& X) {
    constexpr Index chunk = kDesignBlock;
    std::vector<double> rows(static_cast<std::size_t>(chunk * X.cols()));
    double top = 0.0;
    for (Index i0 = 0; i0 < X.rows(); i0 += chunk) {
        const Index len = std::min(chunk, X.rows() - i0);
        X.fill(i0, len, rows.data());
        top = std::max(top, largest_magnitude(rows.data(), len, X.cols(), len));
    }
    return top;
}

}  // namespace korva
