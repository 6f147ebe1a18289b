// A design's rows read a chunk of RowBlocks::kChunk rows at a time, the way the
// reweighting's passes read them: in place, or formed where they are read (a
// MonomialDesign), with their fitted values and changes; and the product of a formed
// design with coefficients in the passes' own order.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <type_traits>
#include <vector>

#include "common.hpp"
#include "monomial_design.hpp"
#include "row_blocks.hpp"

namespace korva {

namespace detail {

// A thread's rows of one chunk: the design's rows as a row-major table padded
// with zero columns to a multiple of four, the same rows times their weights,
// and the fitted values and changes of the chunk. Kept between calls, so that
// the passes allocate nothing once it has grown to its largest size.
inline double* chunk_scratch(Index doubles) {
    thread_local std::vector<double> scratch;
    if (scratch.size() < static_cast<std::size_t>(doubles)) scratch.resize(static_cast<std::size_t>(doubles));
    return scratch.data();
}

// Where a column-major design's rows [i0, i0 + len) are: column j of them starts at
// first + j * ld. A design formed where it is read writes them to `generated` (len
// times its column count), any other is read in place.
struct ChunkColumns {
    const double* first = nullptr;
    Index ld = 0;
};

template <class Design>
ChunkColumns chunk_columns(const Design& X, Index i0, Index len, double* generated) {
    if constexpr (std::is_same_v<Design, MonomialDesign>) {
        X.fill(i0, len, generated);
        return {generated, len};
    } else if constexpr (Design::IsRowMajor) {
        return {};
    } else {
        return {X.data() + i0, X.outerStride()};
    }
}

// Doubles of scratch a chunk's rows need where the design is formed as it is read.
template <class Design>
constexpr Index generated_doubles(Index columns) {
    return std::is_same_v<Design, MonomialDesign> ? RowBlocks::kChunk * columns : 0;
}

// The fitted values X beta of the design's rows [i0, i0 + len) (of a column-major
// design, at `columns`) and, when `delta` is not null, X delta.
template <class Design>
void chunk_products(const Design& X, Index i0, Index len, const ChunkColumns& columns, const double* beta,
                    const double* delta, double* fitted, double* change) {
    const Index k = X.cols();
    if constexpr (Design::IsRowMajor) {
        const Index ld = X.outerStride();
        const double* rows = X.data() + i0 * ld;
        for (Index t = 0; t < len; ++t) {
            const double* row = rows + t * ld;
            double f = 0.0, d = 0.0;
            for (Index j = 0; j < k; ++j) f += row[j] * beta[j];
            if (delta != nullptr)
                for (Index j = 0; j < k; ++j) d += row[j] * delta[j];
            fitted[t] = f;
            if (delta != nullptr) change[t] = d;
        }
    } else {
        for (Index t = 0; t < len; ++t) fitted[t] = 0.0;
        if (delta != nullptr)
            for (Index t = 0; t < len; ++t) change[t] = 0.0;
        // A coefficient of exactly 0 adds nothing (+0 to a sum that starts at +0 keeps it),
        // and a pass for a Gram matrix alone has only such coefficients.
        for (Index j = 0; j < k; ++j) {
            const double* column = columns.first + j * columns.ld;
            const double bj = beta[j];
            if (bj != 0.0)
                for (Index t = 0; t < len; ++t) fitted[t] += column[t] * bj;
            if (delta != nullptr && delta[j] != 0.0) {
                const double dj = delta[j];
                for (Index t = 0; t < len; ++t) change[t] += column[t] * dj;
            }
        }
    }
}

// The design's rows [i0, i0 + len) (of a column-major design, at `columns`) into
// `table` (row-major, row length W, zero beyond column k), unless they can be read
// in place, and their fitted values X beta and, when `delta` is not null, X delta.
// Returns where the rows are and sets `stride` to their row length.
template <class Design>
const double* load_chunk(const Design& X, Index i0, Index len, const ChunkColumns& columns, Index W, const double* beta,
                         const double* delta, double* table, double* fitted, double* change, Index& stride) {
    const Index k = X.cols();
    chunk_products(X, i0, len, columns, beta, delta, fitted, change);
    if constexpr (Design::IsRowMajor) {
        const Index ld = X.outerStride();
        const double* rows = X.data() + i0 * ld;
        if (k == W && ld == W) {
            stride = ld;
            return rows;
        }
        for (Index t = 0; t < len; ++t) {
            double* out = table + t * W;
            for (Index j = 0; j < k; ++j) out[j] = rows[t * ld + j];
            for (Index j = k; j < W; ++j) out[j] = 0.0;
        }
    } else {
        // Four columns at a time into rows, four rows at a time by a 4 x 4 transposition;
        // the padding columns read zeros.
        static const double zeros[RowBlocks::kChunk] = {};
        for (Index g = 0; g < W; g += 4) {
            const double* column[4];
            for (Index q = 0; q < 4; ++q) column[q] = g + q < k ? columns.first + (g + q) * columns.ld : zeros;
            Index t = 0;
            for (; t + 4 <= len; t += 4) {
                const __m256d c0 = _mm256_loadu_pd(column[0] + t), c1 = _mm256_loadu_pd(column[1] + t);
                const __m256d c2 = _mm256_loadu_pd(column[2] + t), c3 = _mm256_loadu_pd(column[3] + t);
                const __m256d low01 = _mm256_unpacklo_pd(c0, c1), high01 = _mm256_unpackhi_pd(c0, c1);
                const __m256d low23 = _mm256_unpacklo_pd(c2, c3), high23 = _mm256_unpackhi_pd(c2, c3);
                double* out = table + t * W + g;
                _mm256_storeu_pd(out, _mm256_permute2f128_pd(low01, low23, 0x20));
                _mm256_storeu_pd(out + W, _mm256_permute2f128_pd(high01, high23, 0x20));
                _mm256_storeu_pd(out + 2 * W, _mm256_permute2f128_pd(low01, low23, 0x31));
                _mm256_storeu_pd(out + 3 * W, _mm256_permute2f128_pd(high01, high23, 0x31));
            }
            for (; t < len; ++t)
                for (Index q = 0; q < 4; ++q) table[t * W + g + q] = column[q][t];
        }
    }
    stride = W;
    return table;
}

}  // namespace detail

// X beta over every row of a design formed as it is read (beta of X.cols() entries),
// each row's sum in the order of the passes' own fitted values.
inline VectorXd fitted_values(const MonomialDesign& X, const VectorRef& beta, const StopCheck& stop) {
    constexpr Index chunk = RowBlocks::kChunk;
    VectorXd fitted(X.rows());
    const RowBlocks blocks(X.rows(), 1);
    blocks.run(stop, [&](int block) {
        double* generated = detail::chunk_scratch(chunk * X.cols());
        for (Index i0 = blocks.begin(block); i0 < blocks.end(block); i0 += chunk) {
            const Index len = std::min(chunk, blocks.end(block) - i0);
            const detail::ChunkColumns columns = detail::chunk_columns(X, i0, len, generated);
            detail::chunk_products(X, i0, len, columns, beta.data(), nullptr, fitted.data() + i0, nullptr);
        }
    });
    return fitted;
}

}  // namespace korva
