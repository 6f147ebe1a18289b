// Register-tiled sums of products over the rows of small row-major tables,
// shared by the penalty builders and the normal equations.
#pragma once

#include <immintrin.h>

#include "common.hpp"

namespace korva {

// G(r, q) = step(x(t, r), c(t, q), G(r, q)) for t = 0 .. len - 1 in order, for
// r < 4 V and q < Q: every entry is one chain in row order, whatever the
// tiling. x and c are read row by row with strides xs and cs; G is
// column-major with leading dimension ldg.
//
// With Busy, the rows are dealt round-robin to a few sets of chains (as many
// as keep about eight going; the rows left over go to set 0), added together
// at the end, set 0 first: for
// tables too narrow to keep the multipliers busy with one chain an entry. The
// order of the sums then depends on len alone.
template <int V, int Q, bool Busy, class Step>
void accumulate_products(const double* x, Index xs, const double* c, Index cs, Index len, double* G, Index ldg,
                         const Step& step) {
    constexpr int S = !Busy || V * Q >= 6 ? 1 : V * Q >= 3 ? 2 : 4;
    __m256d acc[S][V][Q];
    for (int v = 0; v < V; ++v)
        for (int q = 0; q < Q; ++q) {
            acc[0][v][q] = _mm256_loadu_pd(G + q * ldg + 4 * v);
            for (int s = 1; s < S; ++s) acc[s][v][q] = _mm256_setzero_pd();
        }
    const auto row_step = [&](int s, Index t) {
        __m256d xv[V];
        for (int v = 0; v < V; ++v) xv[v] = _mm256_loadu_pd(x + t * xs + 4 * v);
        for (int q = 0; q < Q; ++q) {
            const __m256d cq = _mm256_broadcast_sd(c + t * cs + q);
            for (int v = 0; v < V; ++v) acc[s][v][q] = step(xv[v], cq, acc[s][v][q]);
        }
    };
    Index t = 0;
    for (; t + S <= len; t += S)
        for (int s = 0; s < S; ++s) row_step(s, t + s);
    for (; t < len; ++t) row_step(0, t);
    for (int v = 0; v < V; ++v)
        for (int q = 0; q < Q; ++q) {
            __m256d total = acc[0][v][q];
            for (int s = 1; s < S; ++s) total = _mm256_add_pd(total, acc[s][v][q]);
            _mm256_storeu_pd(G + q * ldg + 4 * v, total);
        }
}

// The same over `groups` groups of four rows of G, three at a time.
template <int Q, bool Busy = false, class Step>
void accumulate_group_products(const double* x, Index xs, const double* c, Index cs, Index len, Index groups, double* G,
                               Index ldg, const Step& step) {
    Index g = 0;
    for (; g + 3 <= groups; g += 3) accumulate_products<3, Q, Busy>(x + 4 * g, xs, c, cs, len, G + 4 * g, ldg, step);
    if (groups - g == 2) accumulate_products<2, Q, Busy>(x + 4 * g, xs, c, cs, len, G + 4 * g, ldg, step);
    if (groups - g == 1) accumulate_products<1, Q, Busy>(x + 4 * g, xs, c, cs, len, G + 4 * g, ldg, step);
}

// The lower block triangle of G from the step-sums of x(t, a) c(t, b): for
// each group of four columns, its diagonal block and every block below it.
// x and c have len rows of W entries (W a multiple of 4) at row stride ts; G
// is W x W column-major.
template <bool Busy = false, class Step>
void accumulate_cross_lower(const double* x, const double* c, Index ts, Index len, Index W, double* G,
                            const Step& step) {
    const Index groups = W / 4;
    for (Index cg = 0; cg < groups; ++cg)
        accumulate_group_products<4, Busy>(x + 4 * cg, ts, c + 4 * cg, ts, len, groups - cg, G + 4 * cg * W + 4 * cg, W,
                                           step);
}

// The same for the products of a table with itself, table(t, a) table(t, b).
template <class Step>
void accumulate_gram_lower(const double* table, Index ts, Index len, Index W, double* G, const Step& step) {
    accumulate_cross_lower(table, table, ts, len, W, G, step);
}

}  // namespace korva
