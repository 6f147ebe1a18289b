// The robust finish of a fit: the biweight M-scale of residuals and the
// bisquare reweighting (penalised least squares with weights from the
// residuals at a fixed scale, to convergence). Each step of either is one
// pass over the rows: the reweighting fuses the residuals, the weights, the
// weighted normal equations and the convergence check of the step before.
//
// Sums over rows are formed block by block over a partition of the rows that
// depends on their number alone and combined in block order, so that the
// results do not depend on how many threads share the blocks.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "common.hpp"
#include "monomial_design.hpp"
#include "products.hpp"
#include "selection.hpp"
#include "size_limits.hpp"
#include "solvers.hpp"
#include "team.hpp"

namespace korva {

namespace robust {
// rho(u) = 1 - (1 - (u/c)^2)^3 with this c has expectation 1/2 at the
// standard normal: the M-scale with breakdown 1/2 is consistent there.
constexpr double kScaleTuning = 1.5476450;
constexpr double kScaleBreakdown = 0.5;
// The bisquare weight (1 - (u/c)^2)^2 with this c gives 95 % efficiency at the normal.
constexpr double kEfficientTuning = 4.6850649;
constexpr double kNormalMedianAbs = 0.6744897501960817;
constexpr int kMaxScaleSteps = 100;
constexpr double kScaleRelativeTolerance = 1e-10;
// The ridge that fit_regularized_linear adds by default, kept so that a step
// solves the same system as a weighted call of it.
constexpr double kRidge = 1e-10;
// The reweighting takes Newton steps once its last step moved the fit by at most this many
// scales: close enough to the solution that the steps stay in the valley the reweighting
// steps have kept to, where they converge quadratically rather than linearly.
constexpr double kNewtonReach = 0.01;
// Newton's steps keep the slope matrix of their first step while each step is at most
// this share of the one before; else a full pass forms it afresh.
constexpr double kFixedSlopeShrink = 0.25;
// ... and end one pass early when a step shrank by at most this share and the next one,
// shrinking alike, lies within the tolerance.
constexpr double kSteadyShrink = 0.1;
// Reweighting steps keep the weighted Gram matrix of a pass once a step moved the fit by
// at most kFixedGramReach scales (the weights then barely change), while each step is at
// most kFixedGramShrink of the one before.
constexpr double kFixedGramReach = 0.25;
constexpr double kFixedGramShrink = 0.5;
}  // namespace robust

// The rows 0 .. n - 1 cut into consecutive blocks, each a whole number of
// chunks of kChunk rows (the last block excepted). The cut depends on n and
// on the size of a block's sums only: at most kMaxBlocks blocks, fewer when
// their sums would pass kPartialsBudget doubles, none shorter than kMinRows.
class RowBlocks {
public:
    static constexpr Index kChunk = 64;
    static constexpr Index kMinRows = 16384;
    static constexpr Index kMaxBlocks = 256;
    static constexpr Index kPartialsBudget = Index{1} << 22;

    RowBlocks(Index n, Index sums_per_block) : n_(n) {
        const Index most = std::clamp<Index>(kPartialsBudget / std::max<Index>(sums_per_block, 1), 1, kMaxBlocks);
        const Index wanted = std::max(kMinRows, (n + most - 1) / most);
        size_ = (wanted + kChunk - 1) / kChunk * kChunk;
        count_ = static_cast<int>((n + size_ - 1) / size_);
    }

    int count() const { return count_; }
    Index begin(int block) const { return static_cast<Index>(block) * size_; }
    Index end(int block) const { return std::min(n_, begin(block) + size_); }

    // Runs body(block) for every block, on as many threads as OpenMP allows
    // (one in a forked child), polling `stop` between blocks.
    template <class Body>
    void run(const StopCheck& stop, Body&& body) const {
        const int team = count_ <= 1 || in_forked_child() ? 1 : std::min(count_, detail::thread_budget());
        if (team == 1) {
            for (int block = 0; block < count_; ++block) {
                stop_if_requested(stop);
                body(block);
            }
            return;
        }
        detail::run_units(count_, team, stop, [&](int block, const detail::KeepGoing&) { body(block); });
    }

    // Threads that run() may use at once.
    int team() const { return count_ <= 1 ? 1 : std::min(count_, detail::thread_budget()); }

private:
    Index n_;
    Index size_;
    int count_;
};

// ------------------------------------------------------------ weighted median

// A value counted `weight` times, for the weighted median.
struct WeightedValue {
    double value, weight;
};

// The two middle values of weighted values. With W(v) the weight of the values at most v,
// low is the smallest v with W(v) >= total / 2 and high the smallest v with W(v) > total / 2:
// in ascending order, the value where the cumulative weight first reaches half the total
// and the one where it first passes it.
struct MiddleValues {
    double low, high;
};

namespace detail {

using selection::kNaN;

// The median of the values of lo[0], lo[(hi - lo) / 2] and hi[-1], for a partition's pivot.
inline double median_of_three(const WeightedValue* lo, const WeightedValue* hi) {
    const double a = lo->value, b = lo[(hi - lo) / 2].value, c = hi[-1].value;
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// The middle values among items of no NaN value that lie above values of weight `below`
// (< half) and below any others, half the total weight being `half`: NaN for a middle that
// they do not reach. Three-way partitions about a pivot, summing the weights as they go:
// expected time linear in the number of items, which it reorders. A partition that keeps
// more than 3/4 of its range makes the next pivot the exact middle value of the range, so
// that no order of the items takes more than O(n log n). Polls `stop` before each partition.
inline MiddleValues weighted_middle(WeightedValue* first, WeightedValue* last, double below, double half,
                                    const StopCheck& stop) {
    const auto by_value = [](const WeightedValue& a, const WeightedValue& b) { return a.value < b.value; };
    // The middle lies in [lo, hi), whose values lie above those before lo and below those
    // from hi on; `below` is the weight of the items before lo.
    WeightedValue *lo = first, *hi = last;
    bool balanced = true;
    while (lo < hi) {
        stop_if_requested(stop);
        WeightedValue* const centre = lo + (hi - lo) / 2;
        if (!balanced) std::nth_element(lo, centre, hi, by_value);
        const double pivot = balanced ? median_of_three(lo, hi) : centre->value;
        // [lo, less_end) below the pivot, [less_end, greater_begin) equal to it, the rest above.
        WeightedValue *less_end = lo, *greater_begin = hi;
        double less = 0.0, equal = 0.0;
        for (WeightedValue* it = lo; it < greater_begin;) {
            if (it->value < pivot) {
                less += it->weight;
                std::swap(*less_end++, *it++);
            } else if (pivot < it->value) {
                std::swap(*it, *--greater_begin);
            } else {
                equal += it->weight;
                ++it;
            }
        }
        const auto range = hi - lo;
        if (below + less >= half) {
            hi = less_end;
        } else if (below + less + equal >= half) {
            if (below + less + equal > half) return {pivot, pivot};
            // Half the weight exactly up to the pivot: high is the least value above it that
            // adds weight; every item from greater_begin on lies above it.
            double next = kNaN;
            for (const WeightedValue* it = greater_begin; it < last; ++it)
                if (it->weight > 0.0 && !(it->value >= next)) next = it->value;
            return {pivot, next};
        } else {
            below += less + equal;
            lo = greater_begin;
        }
        balanced = 4 * (hi - lo) <= 3 * range;
    }
    return {kNaN, kNaN};
}

// Values [lo, hi] that likely hold the weighted middle of value(i) (weights[i]), i < n,
// from a sample of every stride-th row, and how many rows they are expected to hold;
// none (found false) when the sample's weight is 0 or its middle among NaN.
struct WeightedBracket {
    bool found = false;
    double lo = -std::numeric_limits<double>::infinity(), hi = std::numeric_limits<double>::infinity();
    Index expected = 0;
};

template <class Value>
WeightedBracket sample_weighted_bracket(Index n, const Value& value, const double* weights) {
    const auto size = static_cast<Index>(selection::kSamplePerRoot * std::sqrt(static_cast<double>(n)));
    const Index stride = n / size;
    std::vector<WeightedValue> sample(static_cast<std::size_t>(size));
    double total = 0.0, squares = 0.0;
    for (Index j = 0; j < size; ++j) {
        const Index i = j * stride + stride / 2;
        sample[static_cast<std::size_t>(j)] = {value(i), weights[i]};
        total += weights[i];
        squares += weights[i] * weights[i];
    }
    WeightedBracket bracket;
    if (!(total > 0.0 && squares > 0.0)) return bracket;
    const auto numbers =
        std::partition(sample.begin(), sample.end(), [](const WeightedValue& v) { return !std::isnan(v.value); }) -
        sample.begin();
    std::sort(sample.begin(), sample.begin() + numbers,
              [](const WeightedValue& a, const WeightedValue& b) { return a.value < b.value; });
    Index middle = 0;
    for (double cumulative = sample[0].weight; cumulative < total / 2.0 && middle + 1 < size;)
        cumulative += sample[static_cast<std::size_t>(++middle)].weight;
    if (middle >= numbers) return bracket;
    // The sample's share of the weight below a value scatters as a mean of that many
    // samples, the effective count of unequal weights (the count itself for equal ones).
    const double effective = total * total / squares;
    const double margin = selection::kBracketDeviations * 0.5 * static_cast<double>(size) / std::sqrt(effective) + 2.0;
    const auto lo_rank = static_cast<Index>(std::floor(static_cast<double>(middle) - margin));
    const auto hi_rank = static_cast<Index>(std::ceil(static_cast<double>(middle) + margin));
    if (lo_rank >= 0) bracket.lo = sample[static_cast<std::size_t>(lo_rank)].value;
    if (hi_rank < numbers) bracket.hi = sample[static_cast<std::size_t>(hi_rank)].value;
    bracket.expected = (std::min(hi_rank, size) - std::max<Index>(lo_rank, 0)) * stride;
    bracket.found = true;
    return bracket;
}

}  // namespace detail

// The median of value(i), i < n (n > 0), each counted weights[i] times: the middle value,
// or halfway between the two middle values when the total weight `total` (> 0) splits
// evenly between them. NaN ranks after every number: a middle among NaN values is NaN;
// a middle past the numbers where none is NaN (by the rounding of the sums) is the largest.
// Of many rows, one pass gathers those within a bracket of values that a sample finds,
// and the selection runs among them; when the bracket misses the middle, among all rows.
template <class Value>
double weighted_median(Index n, const Value& value, const double* weights, double total, const StopCheck& stop) {
    using selection::kChunk;
    const double half = total / 2.0;
    WorkingMemory memory;
    std::vector<WeightedValue> items;
    if (n >= selection::kSampleFrom) {
        const detail::WeightedBracket bracket = detail::sample_weighted_bracket(n, value, weights);
        if (bracket.found) {
            const Index capacity =
                std::min(n, static_cast<Index>(selection::kRoom * static_cast<double>(bracket.expected)) + kChunk);
            memory.hold(capacity + kChunk, sizeof(WeightedValue));
            items.resize(static_cast<std::size_t>(capacity + kChunk));
            // Branch-free: each row is stored and kept when inside, and its weight added when below.
            double below = 0.0;
            Index inside = 0;
            for (Index start = 0; start < n && inside <= capacity; start += kChunk) {
                const Index end = std::min(n, start + kChunk);
                for (Index i = start; i < end; ++i) {
                    const double v = value(i);
                    below += v < bracket.lo ? weights[i] : 0.0;
                    items[static_cast<std::size_t>(inside)] = {v, weights[i]};
                    inside += v >= bracket.lo && v <= bracket.hi;
                }
            }
            if (inside <= capacity && below < half) {
                const MiddleValues middle =
                    detail::weighted_middle(items.data(), items.data() + inside, below, half, stop);
                if (!std::isnan(middle.high)) return halfway(middle.low, middle.high);
            }
        }
    }
    memory.hold(n, sizeof(WeightedValue));
    items.resize(static_cast<std::size_t>(n));
    Index numbers = 0;
    for (Index i = 0; i < n; ++i) {
        const double v = value(i);
        items[static_cast<std::size_t>(numbers)] = {v, weights[i]};
        numbers += !std::isnan(v);
    }
    MiddleValues middle = detail::weighted_middle(items.data(), items.data() + numbers, 0.0, half, stop);
    if (std::isnan(middle.high) && numbers == n) {
        const double largest = std::max_element(items.begin(), items.end(), [](const auto& a, const auto& b) {
                                   return a.value < b.value;
                               })->value;
        middle = {std::isnan(middle.low) ? largest : middle.low, largest};
    }
    return halfway(middle.low, middle.high);
}

// ------------------------------------------------------------------ M-scale

// Over rows [begin, end): the sums of w (1 - a)^3 and of w a (1 - a)^2 with
// a = min((r inv)^2, 1) (0 where r is 0, also when inv is infinite), w = 1
// when `w` is null, into sums[0] and sums[1]. r inv is squared rather than r^2
// scaled, so that neither squares of the residuals nor of the scale leave the
// range of doubles. With Census, also the count of nonzero residuals into
// sums[2] and, into sums[3], 1 when every residual is finite, else 0.
template <bool Weighted, bool Census>
void scale_sums(const double* r, const double* w, Index begin, Index end, double inv, double* sums) {
    const __m256d one = _mm256_set1_pd(1.0), vinv = _mm256_set1_pd(inv), zero = _mm256_setzero_pd();
    const __m256d largest = _mm256_set1_pd(std::numeric_limits<double>::max()), sign = _mm256_set1_pd(-0.0);
    __m256d cube = _mm256_setzero_pd(), slope = _mm256_setzero_pd(), nonzero = _mm256_setzero_pd();
    __m256d finite = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    Index i = begin;
    for (; i + 4 <= end; i += 4) {
        const __m256d x = _mm256_loadu_pd(r + i);
        const __m256d u = _mm256_mul_pd(x, vinv);
        const __m256d share =
            _mm256_andnot_pd(_mm256_cmp_pd(x, zero, _CMP_EQ_OQ), _mm256_min_pd(_mm256_mul_pd(u, u), one));
        const __m256d inside = _mm256_sub_pd(one, share);
        const __m256d inside_squared = _mm256_mul_pd(inside, inside);
        __m256d c = _mm256_mul_pd(inside_squared, inside), s = _mm256_mul_pd(share, inside_squared);
        if constexpr (Weighted) {
            const __m256d wv = _mm256_loadu_pd(w + i);
            c = _mm256_mul_pd(wv, c);
            s = _mm256_mul_pd(wv, s);
        }
        cube = _mm256_add_pd(cube, c);
        slope = _mm256_add_pd(slope, s);
        if constexpr (Census) {
            nonzero = _mm256_add_pd(nonzero, _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_NEQ_UQ), one));
            finite = _mm256_and_pd(finite, _mm256_cmp_pd(_mm256_andnot_pd(sign, x), largest, _CMP_LE_OQ));
        }
    }
    alignas(32) double c4[4], s4[4], z4[4];
    _mm256_store_pd(c4, cube);
    _mm256_store_pd(s4, slope);
    _mm256_store_pd(z4, nonzero);
    double c_total = (c4[0] + c4[1]) + (c4[2] + c4[3]), s_total = (s4[0] + s4[1]) + (s4[2] + s4[3]);
    double nonzero_total = (z4[0] + z4[1]) + (z4[2] + z4[3]);
    bool all_finite = _mm256_movemask_pd(finite) == 0xF;
    for (; i < end; ++i) {
        const double u = r[i] * inv;
        const double share = r[i] == 0.0 ? 0.0 : std::min(u * u, 1.0);
        const double inside = 1.0 - share;
        const double inside_squared = inside * inside;
        double c = inside_squared * inside, s = share * inside_squared;
        if constexpr (Weighted) {
            c *= w[i];
            s *= w[i];
        }
        c_total += c;
        s_total += s;
        nonzero_total += r[i] != 0.0 ? 1.0 : 0.0;
        all_finite = all_finite && std::isfinite(r[i]);
    }
    sums[0] = c_total;
    sums[1] = s_total;
    if constexpr (Census) {
        sums[2] = nonzero_total;
        sums[3] = all_finite ? 1.0 : 0.0;
    }
}

// The biweight M-scale s of the residuals r: sum w rho(r / s) = b (sum w - n_terms)
// with rho(u) = 1 - (1 - (u/c)^2)^3 (1 beyond c), c = 1.5476450, b = 1/2,
// w = 1 when `weights` is null. 0 when no positive s solves it: when the
// weight of the nonzero residuals is at most the right side, or the right
// side is not positive. Newton's method on ln s for mean rho = b, the mean
// taken over the freedom sum w - n_terms, from `guess` when positive, else
// from the weighted median |r| / 0.6744897501960817 (the largest |r| in its
// place when that median is 0), to a step of at most 1e-10 or 100 steps; where
// the slope is nearly flat, the fixed point s^2 <- s^2 mean rho / b instead.
// Residuals and weights must be finite, weights at least 0, guess and
// n_terms finite and at least 0.
// @param r (n,), weights (n,) or null; result a scale >= 0
inline double m_scale(const VectorRef& r, double guess, const VectorRef* weights, double n_terms,
                      const StopCheck& stop) {
    constexpr const char* fn = "m_scale";
    const Index n = r.size();
    if (!(std::isfinite(guess) && guess >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": guess must be a finite number of at least 0, got " +
                                    shown(guess));
    if (!(std::isfinite(n_terms) && n_terms >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": n_terms must be at least 0, got " + shown(n_terms));
    if (weights != nullptr && weights->size() != n)
        throw std::invalid_argument(std::string(fn) + ": weights has " + std::to_string(weights->size()) +
                                    " elements but residuals has " + std::to_string(n));
    const double* w = weights != nullptr ? weights->data() : nullptr;
    double total = static_cast<double>(n), nonzero = 0.0, top = 0.0;
    // Unweighted from a guess, the first step's pass also checks and counts the residuals,
    // which would take two passes of their own.
    const bool census = w == nullptr && guess > 0.0 && total - n_terms > 0.0;
    if (!census) {
        top = largest_magnitude(r);
        require_finite_entries(fn, "residuals", top);
    }
    if (w != nullptr) {
        // Negative and NaN weights both fail w >= 0.
        double least = 0.0;
        total = 0.0;
        for (Index i = 0; i < n; ++i) {
            least = w[i] >= 0.0 ? least : -1.0;
            total += w[i];
            nonzero += r[i] != 0.0 ? w[i] : 0.0;
        }
        if (least < 0.0 || !std::isfinite(total))
            throw std::invalid_argument(std::string(fn) +
                                        ": weights must be finite numbers of at least 0 (with a finite sum)");
    } else if (!census) {
        // An integer count, which the compiler vectorises, where a sum of doubles runs one
        // addition after the other; the same number either way.
        Index count = 0;
        for (Index i = 0; i < n; ++i) count += r[i] != 0.0 ? 1 : 0;
        nonzero = static_cast<double>(count);
    }
    const double freedom = total - n_terms;
    if (!census && (!(freedom > 0.0) || nonzero <= robust::kScaleBreakdown * freedom)) return 0.0;

    WorkingMemory memory;
    double scale = guess;
    if (!(scale > 0.0)) {
        const double* values = r.data();
        const auto absolute = [values](Index i) { return std::abs(values[i]); };
        scale = (w != nullptr ? weighted_median(n, absolute, w, total, stop) : median_abs_deviation(r, 0.0)) /
                robust::kNormalMedianAbs;
        if (scale == 0.0) scale = top / robust::kNormalMedianAbs;
    }
    // Blocks cut as for two sums a block, whatever the census adds: the same sums in the
    // same order on every call.
    const RowBlocks blocks(n, 2);
    VectorXd partial = memory.vector(4 * static_cast<std::int64_t>(blocks.count()));
    for (int step_count = 0; step_count < robust::kMaxScaleSteps; ++step_count) {
        const double inv = (1.0 / robust::kScaleTuning) / scale;
        const bool counting = census && step_count == 0;
        blocks.run(stop, [&](int b) {
            double* sums = partial.data() + 4 * static_cast<std::int64_t>(b);
            const Index begin = blocks.begin(b), end = blocks.end(b);
            if (w != nullptr)
                scale_sums<true, false>(r.data(), w, begin, end, inv, sums);
            else if (counting)
                scale_sums<false, true>(r.data(), nullptr, begin, end, inv, sums);
            else
                scale_sums<false, false>(r.data(), nullptr, begin, end, inv, sums);
        });
        double cube = 0.0, slope_sum = 0.0;
        for (int b = 0; b < blocks.count(); ++b) {
            cube += partial[4 * b];
            slope_sum += partial[4 * b + 1];
        }
        if (counting) {
            bool finite = true;
            for (int b = 0; b < blocks.count(); ++b) {
                nonzero += partial[4 * b + 2];
                finite = finite && partial[4 * b + 3] == 1.0;
            }
            require_finite_entries(fn, "residuals", finite ? 0.0 : std::numeric_limits<double>::infinity());
            if (nonzero <= robust::kScaleBreakdown * freedom) return 0.0;
        }
        const double mean_rho = (total - cube) / freedom;
        // d mean rho / d ln s = -6 mean((u / c)^2 (1 - (u / c)^2)^2)
        const double slope = -6.0 * slope_sum / freedom;
        const double step = slope < -1e-3 ? std::clamp((robust::kScaleBreakdown - mean_rho) / slope, -1.0, 1.0)
                                          : 0.5 * std::log(std::max(mean_rho, 1e-300) / robust::kScaleBreakdown);
        // Kept within the positive doubles, from which the steps lead back.
        scale = std::clamp(scale * std::exp(step), std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max());
        if (std::abs(step) <= robust::kScaleRelativeTolerance) break;
    }
    return scale;
}

// ------------------------------------------------------------- reweighting

// The settings of a reweighting: the scale held fixed, the penalties, the
// per-row prior weights (null: all 1) and when to stop.
struct ReweightSettings {
    double scale = 0.0;
    const MatrixXd* R1 = nullptr;
    const MatrixXd* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;
    const VectorRef* prior = nullptr;
    int max_steps = 50;
    double tolerance = 1e-7;                   // relative to the scale
    double tuning = robust::kEfficientTuning;  // the bisquare's cut-off, in scales
    // Newton steps once a step changes the fit by at most robust::kNewtonReach scales
    // (without penalties): the same solution in fewer passes.
    bool newton = false;
    // One more step at the end, on the residuals: the iterative refinement of the
    // normal equations, so that an exact fit comes out exact (none with a penalty).
    bool refine = false;
    // With newton and no penalty: Newton's steps from the start, with this matrix (k x k,
    // lower triangle read) in place of the slope matrix, such as one formed on part of the rows.
    const MatrixXd* matrix = nullptr;
};

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

// The reweighting's pass over the rows at coefficients beta: per block, the
// lower triangle of X^T diag(w) X, X^T diag(w) y, the sum of the weights w
// (bisquare weights of (y - X beta) / scale times the prior weights) and,
// when `delta` is not null, the largest |X delta|.
template <class Design>
class ReweightPass {
public:
    ReweightPass(const Design& X, const VectorRef& y, const ReweightSettings& settings, WorkingMemory& memory)
        : X_(X), y_(y), settings_(settings), W_((X.cols() + 3) / 4 * 4),
          sums_(checked_product(W_, W_ + 1, "the design's column count") + 2 + (settings.newton ? W_ * W_ : 0)),
          blocks_(X.rows(), sums_), partials_(memory.matrix(sums_, blocks_.count(), "the reweighting's sums")) {
        memory.hold(checked_product(blocks_.team(), scratch_doubles(), "the reweighting's chunks"), sizeof(double));
    }

    // Runs the pass and combines the blocks' sums into G (W x W, lower
    // triangle), b (W), the weight sum and the largest change; and, when H is
    // not null (settings.newton only), the lower triangle of X^T diag(psi') X
    // with psi' = (1 - u^2)(1 - 5 u^2) times the prior weights (0 beyond the
    // cut-off), the slope of the weighted residuals w r.
    void run(const double* beta, const double* delta, const StopCheck& stop, MatrixXd& G, VectorXd& b, MatrixXd* H,
             double& weight_sum, double& largest_change) {
        const bool slopes = H != nullptr;
        blocks_.run(stop, [&](int block) { run_block(block, beta, delta, slopes); });
        G.setZero();
        b.setZero();
        if (slopes) H->setZero();
        weight_sum = 0.0;
        largest_change = 0.0;
        const Index GW = W_ * W_;
        for (int block = 0; block < blocks_.count(); ++block) {
            const double* sums = partials_.col(block).data();
            G.reshaped() += Eigen::Map<const VectorXd>(sums, GW);
            b += Eigen::Map<const VectorXd>(sums + GW, W_);
            weight_sum += sums[GW + W_];
            largest_change = std::max(largest_change, sums[GW + W_ + 1]);
            if (slopes) H->reshaped() += Eigen::Map<const VectorXd>(sums + GW + W_ + 2, GW);
        }
    }

    // The gradient pass at coefficients beta: X^T (w r) with r = y - X beta and w
    // the weights (times the prior weights), the weight sum and, when `delta` is
    // not null, the largest |X delta|; no Gram matrix, so one read of the rows.
    void run_gradient(const double* beta, const double* delta, const StopCheck& stop, VectorXd& gradient,
                      double& weight_sum, double& largest_change) {
        blocks_.run(stop, [&](int block) { run_gradient_block(block, beta, delta); });
        gradient.setZero();
        weight_sum = 0.0;
        largest_change = 0.0;
        const Index GW = W_ * W_;
        for (int block = 0; block < blocks_.count(); ++block) {
            const double* sums = partials_.col(block).data();
            gradient += Eigen::Map<const VectorXd>(sums + GW, W_);
            weight_sum += sums[GW + W_];
            largest_change = std::max(largest_change, sums[GW + W_ + 1]);
        }
    }

    Index padded_columns() const { return W_; }

private:
    // A thread's scratch for one chunk (see detail::chunk_scratch) and its generated rows.
    Index scratch_doubles() const { return 3 * RowBlocks::kChunk * (W_ + 1) + detail::generated_doubles<Design>(W_); }

    void run_gradient_block(int block, const double* beta, const double* delta) {
        constexpr Index chunk = RowBlocks::kChunk;
        const Index k = X_.cols(), GW = W_ * W_;
        double* gradient = partials_.col(block).data() + GW;
        std::fill(gradient, gradient + W_ + 2, 0.0);
        double* fitted = detail::chunk_scratch(scratch_doubles());
        double* change = fitted + chunk;
        double* weighted_residual = change + chunk;
        double* generated = weighted_residual + chunk;
        const double scale = settings_.scale;
        const double* prior = settings_.prior != nullptr ? settings_.prior->data() : nullptr;
        const double reciprocal = 1.0 / scale / settings_.tuning;
        const bool by_reciprocal = std::isfinite(reciprocal);
        const __m256d vreciprocal = _mm256_set1_pd(reciprocal), one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd(),
                      sign = _mm256_set1_pd(-0.0);
        __m256d weight_lanes = _mm256_setzero_pd(), change_lanes = _mm256_setzero_pd();
        double weight_tail = 0.0, change_tail = 0.0;
        for (Index i0 = blocks_.begin(block); i0 < blocks_.end(block); i0 += chunk) {
            const Index len = std::min(chunk, blocks_.end(block) - i0);
            const detail::ChunkColumns columns = detail::chunk_columns(X_, i0, len, generated);
            detail::chunk_products(X_, i0, len, columns, beta, delta, fitted, change);
            const double* y = y_.data() + i0;
            Index t = 0;
            if (by_reciprocal) {
                for (; t + 4 <= len; t += 4) {
                    const __m256d r = _mm256_sub_pd(_mm256_loadu_pd(y + t), _mm256_loadu_pd(fitted + t));
                    const __m256d u = _mm256_mul_pd(_mm256_andnot_pd(sign, r), vreciprocal);
                    const __m256d inside = _mm256_max_pd(zero, _mm256_sub_pd(one, _mm256_mul_pd(u, u)));
                    __m256d w = _mm256_mul_pd(inside, inside);
                    if (prior != nullptr) w = _mm256_mul_pd(w, _mm256_loadu_pd(prior + i0 + t));
                    _mm256_storeu_pd(weighted_residual + t, _mm256_mul_pd(w, r));
                    weight_lanes = _mm256_add_pd(weight_lanes, w);
                    if (delta != nullptr)
                        change_lanes = _mm256_max_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(change + t)), change_lanes);
                }
            }
            for (; t < len; ++t) {
                const double r = y[t] - fitted[t];
                const double u = by_reciprocal ? std::abs(r) * reciprocal : std::abs(r / scale) / settings_.tuning;
                const double inside = std::max(0.0, 1.0 - u * u);
                const double w = inside * inside * (prior != nullptr ? prior[i0 + t] : 1.0);
                weighted_residual[t] = w * r;
                weight_tail += w;
                if (delta != nullptr) change_tail = std::max(change_tail, std::abs(change[t]));
            }
            // Each column's sum in four lanes of fused products, then the tail: the same
            // order for either storage of the rows, so that both give the same bits.
            for (Index j = 0; j < k; ++j) {
                alignas(32) double lanes[4] = {0.0, 0.0, 0.0, 0.0};
                Index t = 0;
                if constexpr (Design::IsRowMajor) {
                    const Index ld = X_.outerStride();
                    const double* entry = X_.data() + i0 * ld + j;
                    for (; t + 4 <= len; t += 4)
                        for (Index q = 0; q < 4; ++q)
                            lanes[q] = std::fma(entry[(t + q) * ld], weighted_residual[t + q], lanes[q]);
                    double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
                    for (; t < len; ++t) sum = std::fma(entry[t * ld], weighted_residual[t], sum);
                    gradient[j] += sum;
                } else {
                    const double* column = columns.first + j * columns.ld;
                    __m256d sums = _mm256_setzero_pd();
                    for (; t + 4 <= len; t += 4)
                        sums =
                            _mm256_fmadd_pd(_mm256_loadu_pd(column + t), _mm256_loadu_pd(weighted_residual + t), sums);
                    _mm256_store_pd(lanes, sums);
                    double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
                    for (; t < len; ++t) sum = std::fma(column[t], weighted_residual[t], sum);
                    gradient[j] += sum;
                }
            }
        }
        alignas(32) double lanes[4], changes[4];
        _mm256_store_pd(lanes, weight_lanes);
        _mm256_store_pd(changes, change_lanes);
        gradient[W_] = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + weight_tail;
        gradient[W_ + 1] = std::max({changes[0], changes[1], changes[2], changes[3], change_tail});
    }

    void run_block(int block, const double* beta, const double* delta, bool slopes) {
        constexpr Index chunk = RowBlocks::kChunk;
        double* sums = partials_.col(block).data();
        const Index GW = W_ * W_;
        std::fill(sums, sums + sums_, 0.0);
        double* scratch = detail::chunk_scratch(scratch_doubles());
        double* table = scratch;
        double* weighted = table + chunk * W_;
        double* fitted = weighted + chunk * W_;
        double* change = fitted + chunk;
        double* slope = change + chunk;  // psi' times the prior weights, and the rows times it
        double* slope_weighted = slope + chunk;
        double* generated = slope_weighted + chunk * W_;
        const double scale = settings_.scale;
        const double* prior = settings_.prior != nullptr ? settings_.prior->data() : nullptr;
        const auto fused_multiply_add = [](__m256d x, __m256d c, __m256d acc) { return _mm256_fmadd_pd(x, c, acc); };
        // Four lanes of the weight sum and of the largest change, combined at the end.
        __m256d weight_lanes = _mm256_setzero_pd(), change_lanes = _mm256_setzero_pd();
        double weight_tail = 0.0, change_tail = 0.0;
        // u = |r| / (scale tuning): one multiplication by the reciprocal where that is a
        // finite number, else (a scale of a few subnormals) the two divisions.
        const double reciprocal = 1.0 / scale / settings_.tuning;
        const bool by_reciprocal = std::isfinite(reciprocal);
        const auto scaled = [&](double r) {
            return by_reciprocal ? std::abs(r) * reciprocal : std::abs(r / scale) / settings_.tuning;
        };
        const __m256d vreciprocal = _mm256_set1_pd(reciprocal), vscale = _mm256_set1_pd(scale),
                      vtuning = _mm256_set1_pd(settings_.tuning), one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd(),
                      sign = _mm256_set1_pd(-0.0), five = _mm256_set1_pd(5.0);
        for (Index i0 = blocks_.begin(block); i0 < blocks_.end(block); i0 += chunk) {
            const Index len = std::min(chunk, blocks_.end(block) - i0);
            Index stride = W_;
            const detail::ChunkColumns columns = detail::chunk_columns(X_, i0, len, generated);
            const double* rows =
                detail::load_chunk(X_, i0, len, columns, W_, beta, delta, table, fitted, change, stride);
            // The weights, over the chunk at once (1 - u^2 < 0 exactly when u > 1;
            // max(0, NaN) keeps the NaN, which the check of the sums refuses).
            double* weight = fitted;
            const double* y = y_.data() + i0;
            Index t = 0;
            for (; t + 4 <= len; t += 4) {
                const __m256d r = _mm256_sub_pd(_mm256_loadu_pd(y + t), _mm256_loadu_pd(fitted + t));
                const __m256d u = by_reciprocal
                                      ? _mm256_mul_pd(_mm256_andnot_pd(sign, r), vreciprocal)
                                      : _mm256_div_pd(_mm256_andnot_pd(sign, _mm256_div_pd(r, vscale)), vtuning);
                const __m256d u2 = _mm256_mul_pd(u, u);
                const __m256d inside = _mm256_max_pd(zero, _mm256_sub_pd(one, u2));
                __m256d w = _mm256_mul_pd(inside, inside);
                if (prior != nullptr) w = _mm256_mul_pd(w, _mm256_loadu_pd(prior + i0 + t));
                _mm256_storeu_pd(weight + t, w);
                if (slopes) {
                    __m256d s = _mm256_mul_pd(inside, _mm256_sub_pd(one, _mm256_mul_pd(five, u2)));
                    if (prior != nullptr) s = _mm256_mul_pd(s, _mm256_loadu_pd(prior + i0 + t));
                    _mm256_storeu_pd(slope + t, s);
                }
                weight_lanes = _mm256_add_pd(weight_lanes, w);
                if (delta != nullptr)
                    change_lanes = _mm256_max_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(change + t)), change_lanes);
            }
            for (; t < len; ++t) {
                const double u = scaled(y[t] - fitted[t]);
                const double inside = std::max(1.0 - u * u, 0.0);
                weight[t] = inside * inside * (prior != nullptr ? prior[i0 + t] : 1.0);
                if (slopes) slope[t] = inside * (1.0 - 5.0 * (u * u)) * (prior != nullptr ? prior[i0 + t] : 1.0);
                weight_tail += weight[t];
                if (delta != nullptr) change_tail = std::max(change_tail, std::abs(change[t]));
            }
            // The chunk's rows times a factor each, into a table of row length W_.
            const Index width = W_;
            const auto scale_rows = [&](const double* factors, double* table_out) {
                for (Index r = 0; r < len; ++r) {
                    const double* row = rows + r * stride;
                    double* out = table_out + r * width;
                    const __m256d factor = _mm256_broadcast_sd(factors + r);
                    for (Index j = 0; j < width; j += 4)
                        _mm256_storeu_pd(out + j, _mm256_mul_pd(factor, _mm256_loadu_pd(row + j)));
                }
            };
            scale_rows(weight, weighted);
            // The weighted table has row length W_; the rows read in place have it too.
            accumulate_cross_lower<true>(weighted, rows, W_, len, W_, sums, fused_multiply_add);
            accumulate_group_products<1, true>(weighted, W_, y, 1, len, W_ / 4, sums + GW, W_, fused_multiply_add);
            if (slopes) {
                scale_rows(slope, slope_weighted);
                accumulate_cross_lower<true>(slope_weighted, rows, W_, len, W_, sums + GW + W_ + 2, fused_multiply_add);
            }
        }
        alignas(32) double lanes[4], changes[4];
        _mm256_store_pd(lanes, weight_lanes);
        _mm256_store_pd(changes, change_lanes);
        const double weight_sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + weight_tail;
        const double largest_change = std::max({changes[0], changes[1], changes[2], changes[3], change_tail});
        sums[GW + W_] = weight_sum;
        sums[GW + W_ + 1] = largest_change;
    }

    const Design& X_;
    const VectorRef& y_;
    const ReweightSettings& settings_;
    const Index W_;
    const Index sums_;  // per block: G, b, the weight sum and the largest change
    const RowBlocks blocks_;
    MatrixXd partials_;
};

// Throws if any input is NaN or infinite (else, their products overflowed);
// called when a pass's sums are not finite.
template <class Design>
[[noreturn]] void refuse_unfinite_sums(const char* fn, const Design& X, const VectorRef& y) {
    require_finite_entries(fn, "design", largest_magnitude(X));
    require_finite_entries(fn, "target", largest_magnitude(y));
    throw std::invalid_argument(std::string(fn) +
                                ": the weighted sums of squares of design and target overflow; scale them down");
}

namespace detail {

// Refuses non-finite penalties (where read), coefficients and prior weights, and
// negative prior weights (named `prior_name`).
inline void check_reweight_inputs(const char* fn, const char* prior_name, const ReweightSettings& settings,
                                  const VectorRef& beta) {
    require_finite_number(fn, "gamma1", settings.gamma1);
    require_finite_number(fn, "gamma2", settings.gamma2);
    const MatrixXd* R1 = penalty_in_use(settings.R1, settings.gamma1);
    const MatrixXd* R2 = penalty_in_use(settings.R2, settings.gamma2);
    if (R1 != nullptr) require_finite_entries(fn, "R1", largest_magnitude(*R1));
    if (R2 != nullptr) require_finite_entries(fn, "R2", largest_magnitude(*R2));
    require_finite_entries(fn, "beta", largest_magnitude(beta));
    if (settings.prior != nullptr) {
        const VectorRef& prior = *settings.prior;
        require_finite_entries(fn, prior_name, largest_magnitude(prior));
        if (prior.size() > 0 && prior.minCoeff() < 0.0)
            throw std::invalid_argument(std::string(fn) + ": " + prior_name + " holds negative weights");
    }
}

// The steps of a reweighting whose inputs were checked; k > 0 and max_steps > 0.
template <class Design>
VectorXd reweight_steps(const char* fn, const Design& X, const VectorRef& y, const VectorRef& beta,
                        const ReweightSettings& settings, const StopCheck& stop) {
    const Index k = X.cols();
    const MatrixXd* penalty[2] = {penalty_in_use(settings.R1, settings.gamma1),
                                  penalty_in_use(settings.R2, settings.gamma2)};
    const double gamma[2] = {settings.gamma1, settings.gamma2};
    WorkingMemory memory;
    ReweightPass<Design> pass(X, y, settings, memory);
    const Index W = pass.padded_columns();
    MatrixXd G = memory.matrix(W, W, "the design's column count");
    MatrixXd A = memory.matrix(k, k, "the design's column count");
    memory.hold(checked_product(k, k, "the design's column count"), sizeof(double));  // the factorisation's copy
    VectorXd b = memory.vector(W), current = memory.vector(k), next = memory.vector(k), delta = memory.vector(k);
    // Newton's steps solve the same equations sum w r x = 0 (no penalty) with the slope
    // matrix H in place of the weighted Gram matrix: from close to the solution a few
    // passes where the reweighting takes many. H is factorised once, at the first of them:
    // each later step needs only the gradient, one read of the rows, and the steps keep
    // shrinking as fast while the fit barely moves (the slopes barely change either).
    const bool newton = settings.newton && penalty[0] == nullptr && penalty[1] == nullptr;
    MatrixXd H = newton ? memory.matrix(W, W, "the design's column count") : MatrixXd();
    VectorXd gradient = newton || settings.refine ? memory.vector(W) : VectorXd();
    Eigen::LDLT<MatrixXd, Eigen::Lower> ldlt(k);
    const double tolerance = settings.tolerance * settings.scale;
    current = beta;
    double weight_sum = 0.0, largest_change = 0.0;
    // The refinement of the weighted normal equations at `current`, whose Gram matrix G
    // the last pass formed: one step on the residuals, which the pass of the gradient
    // forms row by row, so that an exact fit comes out exact. Not with a penalty.
    const bool penalised =
        std::any_of(penalty, penalty + 2, [](const MatrixXd* R) { return R != nullptr && !(R->array() == 0.0).all(); });
    const auto refined = [&]() -> VectorXd {
        if (!settings.refine || penalised) return current;
        pass.run_gradient(current.data(), nullptr, stop, gradient, weight_sum, largest_change);
        if (!(std::isfinite(weight_sum) && gradient.allFinite())) refuse_unfinite_sums(fn, X, y);
        A = G.topLeftCorner(k, k);
        A.diagonal().array() += robust::kRidge;
        ldlt.compute(A);
        next = ldlt.solve(gradient.head(k));
        next += current;
        return next.allFinite() ? next : current;
    };
    // Once the fit moves little, steps with a matrix factorised at an earlier pass need
    // the rows only for the gradient: reweighting steps keep the weighted Gram matrix
    // once a step moved the fit by at most kFixedGramReach scales, Newton's steps their
    // first slope matrix; either is formed afresh when the steps stop shrinking fast.
    enum class Kept { none, gram, slopes } kept = Kept::none;
    double previous_change = std::numeric_limits<double>::infinity();
    // `moved`: a step was taken, whose change the next pass measures. `trial`: the given
    // matrix's first step, taken back when it moved the fit far, where its steps could
    // leave the start's valley; the reweighting steps then start over.
    bool moved = false, trial = false;
    if (newton && settings.matrix != nullptr) {
        A = *settings.matrix;
        A.diagonal().array() += robust::kRidge;
        ldlt.compute(A);
        trial = ldlt.info() == Eigen::Success && (ldlt.vectorD().array() > 0.0).all();
        if (trial) kept = Kept::slopes;
    }
    for (int step = 0; step < settings.max_steps; ++step) {
        if (kept != Kept::none) {
            pass.run_gradient(current.data(), moved ? delta.data() : nullptr, stop, gradient, weight_sum,
                              largest_change);
            if (!(std::isfinite(weight_sum) && gradient.allFinite())) refuse_unfinite_sums(fn, X, y);
            if (trial && moved) {
                trial = false;
                if (largest_change > robust::kFixedGramReach * settings.scale) {
                    current -= delta;
                    moved = false;
                    kept = Kept::none;
                    previous_change = std::numeric_limits<double>::infinity();
                    continue;
                }
            }
            next = ldlt.solve(gradient.head(k));
            next += current;
            // The step this pass allows comes free with the check (and refines the fit).
            if (moved && largest_change <= tolerance) return next.allFinite() ? next : current;
            const double shrink = kept == Kept::slopes ? robust::kFixedSlopeShrink : robust::kFixedGramShrink;
            const bool shrinking = (!moved || largest_change <= shrink * previous_change) && next.allFinite();
            // Newton's steps with a kept matrix shrink by a steady share: when the step this
            // pass allows is, by that share, within the tolerance too, the pass that would
            // measure it is spared (the fit is then within the share times the tolerance).
            if (kept == Kept::slopes && moved && shrinking && std::isfinite(previous_change) &&
                largest_change <= robust::kSteadyShrink * previous_change &&
                largest_change * (largest_change / previous_change) <= tolerance)
                return next;
            if (moved) previous_change = largest_change;
            if (!shrinking) {
                kept = Kept::none;  // a full pass at the same coefficients, with fresh sums
                continue;
            }
            // Near enough for Newton's steps: the next pass forms the slope matrix.
            if (kept == Kept::gram && newton && largest_change <= robust::kNewtonReach * settings.scale)
                kept = Kept::none;
            delta = next - current;
            current.swap(next);
            moved = true;
            continue;
        }
        // The slope matrix where Newton's steps may follow: once the last change was
        // within ten times their reach.
        const bool slopes = newton && moved && previous_change <= 10.0 * robust::kNewtonReach * settings.scale;
        pass.run(current.data(), moved ? delta.data() : nullptr, stop, G, b, slopes ? &H : nullptr, weight_sum,
                 largest_change);
        if (!(std::isfinite(weight_sum) && G.allFinite() && b.allFinite())) refuse_unfinite_sums(fn, X, y);
        if (moved && largest_change <= tolerance) return refined();
        bool stepped = false;
        if (slopes && largest_change <= robust::kNewtonReach * settings.scale && H.allFinite()) {
            // The gradient sum w r x = X^T W y - X^T W X beta, from the same sums.
            gradient.head(k) = b.head(k);
            gradient.head(k).noalias() -= G.topLeftCorner(k, k).selfadjointView<Eigen::Lower>() * current;
            A = H.topLeftCorner(k, k);
            A.diagonal().array() += robust::kRidge;
            ldlt.compute(A);
            // Only where the slope matrix is positive definite: a valley, not a ridge.
            if (ldlt.info() == Eigen::Success && (ldlt.vectorD().array() > 0.0).all()) {
                next = ldlt.solve(gradient.head(k));  // solved in place, then moved by current
                next += current;
                stepped = next.allFinite();
                if (stepped) kept = Kept::slopes;
            }
        }
        if (!stepped) {
            A = G.topLeftCorner(k, k);
            A.diagonal().array() += robust::kRidge;
            for (int t = 0; t < 2; ++t)
                if (penalty[t] != nullptr) A += (weight_sum * gamma[t]) * *penalty[t];
            ldlt.compute(A);
            next = ldlt.solve(b.head(k));
            if (newton && moved && largest_change <= robust::kFixedGramReach * settings.scale) kept = Kept::gram;
        }
        // Newton's first step may well be longer than the reweighting step before it.
        previous_change = kept == Kept::slopes ? std::numeric_limits<double>::infinity() : largest_change;
        delta = next - current;
        current.swap(next);
        moved = true;
    }
    if (!settings.refine || penalised) return current;
    // Out of steps: the Gram matrix at the last coefficients, then their refinement.
    pass.run(current.data(), nullptr, stop, G, b, nullptr, weight_sum, largest_change);
    if (!(std::isfinite(weight_sum) && G.allFinite() && b.allFinite())) refuse_unfinite_sums(fn, X, y);
    return refined();
}

}  // namespace detail

// The bisquare reweighting: from beta, repeatedly the weights
// w = (1 - (r / (c scale))^2)^2 (0 beyond c scale) of r = y - X beta, c = settings.tuning,
// times the prior weights, and the solution of
// (X^T W X + 1e-10 I + sum(w) (gamma1 R1 + gamma2 R2)) beta' = X^T W y, until
// max |X (beta' - beta)| <= tolerance * scale or after max_steps solutions.
// With settings.newton and no penalty, once a step moved the fit by at most
// 0.01 scale, the steps are Newton's for the same equations sum w r x = 0,
// beta' = beta + H^-1 X^T W (y - X beta), H = X^T diag(psi') X (+ 1e-10 I),
// wherever H is positive definite, with H of the first such step kept while each
// step is at most a quarter of the one before (and the step after the last check
// taken as well); with settings.matrix, from the start with that matrix as H. With settings.refine and no penalty, a
// result of reweighting steps takes one more step on the residuals, with the weighted Gram matrix. A scale of 0 returns
// beta unchanged. X, y, beta, the penalties read and the prior weights must be finite, the weights at least 0.
// @param X (n, k) in either storage order, y (n,), beta (k,), R1 and R2 (k, k) or null; result (k,)
template <class Design>
VectorXd reweight(const Design& X, const VectorRef& y, const VectorRef& beta, const ReweightSettings& settings,
                  const StopCheck& stop) {
    constexpr const char* fn = "reweight";
    if (!(std::isfinite(settings.scale) && settings.scale >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number of at least 0, got " +
                                    shown(settings.scale));
    if (!(std::isfinite(settings.tuning) && settings.tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a finite number above 0, got " +
                                    shown(settings.tuning));
    if (!(std::isfinite(settings.tolerance) && settings.tolerance >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": tolerance must be a finite number of at least 0, got " +
                                    shown(settings.tolerance));
    if (settings.max_steps < 0)
        throw std::invalid_argument(std::string(fn) + ": max_steps must be at least 0, got " +
                                    std::to_string(settings.max_steps));
    detail::check_reweight_inputs(fn, "sample_weight", settings, beta);
    if (settings.scale == 0.0 || settings.max_steps == 0 || X.cols() == 0) {
        // No pass reads the data, so it is checked here.
        require_finite_entries(fn, "design", largest_magnitude(X));
        require_finite_entries(fn, "target", largest_magnitude(y));
        return beta;
    }
    return detail::reweight_steps(fn, X, y, beta, settings, stop);
}

// Weighted, penalised least squares in one pass over the rows: the solution of
// (X^T W X + 1e-10 I + sum(w) (gamma1 R1 + gamma2 R2)) beta = X^T W y, W = diag(w),
// the system of fit_regularized_linear on the rows scaled by sqrt(w), without
// forming them. X, y, w and the penalties read must be finite, w at least 0.
// @param X (n, k) in either storage order, y (n,), w (n,), R1 and R2 (k, k) or null; result (k,)
template <class Design>
VectorXd weighted_least_squares(const Design& X, const VectorRef& y, const VectorRef& w, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, const StopCheck& stop) {
    constexpr const char* fn = "weighted_least_squares";
    ReweightSettings settings;
    // At an infinite scale every bisquare weight is 1: the pass takes w as it is.
    settings.scale = std::numeric_limits<double>::infinity();
    settings.R1 = R1;
    settings.R2 = R2;
    settings.gamma1 = gamma1;
    settings.gamma2 = gamma2;
    settings.prior = &w;
    settings.max_steps = 1;
    const VectorXd zero = VectorXd::Zero(X.cols());
    detail::check_reweight_inputs(fn, "weights", settings, zero);
    if (X.cols() == 0) {
        require_finite_entries(fn, "design", largest_magnitude(X));
        require_finite_entries(fn, "target", largest_magnitude(y));
        return zero;
    }
    return detail::reweight_steps(fn, X, y, zero, settings, stop);
}

// What the covariance of an M-estimate at a fixed scale needs from its rows:
// with z = r / scale, s = min((z / c)^2, 1) and case weights cw (1 when not
// given), the weights w = (1 - s)^2, the slopes psi' = (1 - s)(1 - 5 s) and
// psi = z w of the bisquare with cut-off c (c infinite: least squares, w = 1,
// psi' = 1, psi = z), summed over the rows with cw, and the Gram matrix
// X^T diag(cw w) X.
struct BisquareMoments {
    MatrixXd gram;              // k x k, both triangles
    double total = 0.0;         // sum cw
    double in_use = 0.0;        // sum cw over the rows with w > 0
    double slope = 0.0;         // sum cw psi'
    double slope_square = 0.0;  // sum cw psi'^2
    double weight = 0.0;        // sum cw w
    double psi_square = 0.0;    // sum cw psi^2
};

namespace detail {

// The moments' row sums over rows [begin, end), in four lanes combined at the end:
// total, in use, slope, slope^2, weight, psi^2 (see BisquareMoments). z = r / scale
// is r times the reciprocal where that is finite (else, a scale of a few
// subnormals, the division), and z / c is z times 1 / c (0 for least squares).
inline void bisquare_row_sums(const double* r, const double* cw, Index begin, Index end, double scale, double tuning,
                              double (&sums)[6]) {
    const double reciprocal = 1.0 / scale, inverse_tuning = 1.0 / tuning;
    const bool by_reciprocal = std::isfinite(reciprocal);
    const __m256d vreciprocal = _mm256_set1_pd(reciprocal), vinverse = _mm256_set1_pd(inverse_tuning),
                  one = _mm256_set1_pd(1.0), five = _mm256_set1_pd(5.0), zero = _mm256_setzero_pd();
    __m256d lanes[6];
    for (__m256d& lane : lanes) lane = _mm256_setzero_pd();
    Index i = begin;
    if (by_reciprocal) {
        for (; i + 4 <= end; i += 4) {
            const __m256d z = _mm256_mul_pd(_mm256_loadu_pd(r + i), vreciprocal);
            const __m256d x = _mm256_mul_pd(z, vinverse);
            const __m256d share = _mm256_min_pd(_mm256_mul_pd(x, x), one);
            const __m256d inside = _mm256_sub_pd(one, share);
            const __m256d w = _mm256_mul_pd(inside, inside);
            const __m256d slope = _mm256_mul_pd(inside, _mm256_sub_pd(one, _mm256_mul_pd(five, share)));
            const __m256d psi = _mm256_mul_pd(z, w);
            const __m256d c = cw != nullptr ? _mm256_loadu_pd(cw + i) : one;
            lanes[0] = _mm256_add_pd(lanes[0], c);
            lanes[1] = _mm256_add_pd(lanes[1], _mm256_and_pd(_mm256_cmp_pd(w, zero, _CMP_GT_OQ), c));
            lanes[2] = _mm256_add_pd(lanes[2], _mm256_mul_pd(c, slope));
            lanes[3] = _mm256_add_pd(lanes[3], _mm256_mul_pd(c, _mm256_mul_pd(slope, slope)));
            lanes[4] = _mm256_add_pd(lanes[4], _mm256_mul_pd(c, w));
            lanes[5] = _mm256_add_pd(lanes[5], _mm256_mul_pd(c, _mm256_mul_pd(psi, psi)));
        }
    }
    for (int j = 0; j < 6; ++j) {
        alignas(32) double four[4];
        _mm256_store_pd(four, lanes[j]);
        sums[j] = (four[0] + four[1]) + (four[2] + four[3]);
    }
    for (; i < end; ++i) {
        const double z = by_reciprocal ? r[i] * reciprocal : r[i] / scale;
        const double x = z * inverse_tuning;
        const double share = std::min(x * x, 1.0);
        const double inside = 1.0 - share;
        const double w = inside * inside, slope = inside * (1.0 - 5.0 * share), psi = z * w;
        const double c = cw != nullptr ? cw[i] : 1.0;
        sums[0] += c;
        sums[1] += w > 0.0 ? c : 0.0;
        sums[2] += c * slope;
        sums[3] += c * (slope * slope);
        sums[4] += c * w;
        sums[5] += c * (psi * psi);
    }
}

// The Gram matrix of a pass whose target's sums are not used: X^T diag(w) X
// (both triangles) with w the pass's weights, or with `slopes` X^T diag(s) X
// with s the pass's slopes psi' (times the prior weights).
template <class Design>
MatrixXd gram_of_pass(const char* fn, const Design& X, const VectorRef& target, ReweightSettings settings, bool slopes,
                      const StopCheck& stop) {
    const Index k = X.cols();
    settings.newton = slopes;  // room for the slopes' sums
    WorkingMemory memory;
    ReweightPass<Design> pass(X, target, settings, memory);
    const Index W = pass.padded_columns();
    MatrixXd G = memory.matrix(W, W, "the design's column count");
    MatrixXd H = slopes ? memory.matrix(W, W, "the design's column count") : MatrixXd();
    VectorXd b = memory.vector(W), beta = VectorXd::Zero(k);
    double weight_sum = 0.0, largest_change = 0.0;
    pass.run(beta.data(), nullptr, stop, G, b, slopes ? &H : nullptr, weight_sum, largest_change);
    if (!(G.allFinite() && H.allFinite())) {
        require_finite_entries(fn, "design", largest_magnitude(X));
        throw std::invalid_argument(std::string(fn) +
                                    ": the weighted sums of squares overflow; scale the design or the weights down");
    }
    return (slopes ? H : G).topLeftCorner(k, k).selfadjointView<Eigen::Lower>();
}

}  // namespace detail

// The moments of a bisquare fit at a fixed scale (BisquareMoments), in one pass
// over the design and one over the residuals; with `slopes` the matrix is
// X^T diag(cw psi') X instead of the Gram matrix, the slope matrix of the fit's
// equations that Newton's steps solve with. X, residuals and case weights
// must be finite, the case weights at least 0, scale finite and above 0, tuning
// above 0 (infinite for least squares).
// @param X (n, k) in either storage order, residuals (n,), case_weights (n,) or null
template <class Design>
BisquareMoments bisquare_moments(const Design& X, const VectorRef& residuals, double scale, double tuning,
                                 const VectorRef* case_weights, bool slopes, const StopCheck& stop) {
    constexpr const char* fn = "bisquare_moments";
    if (!(std::isfinite(scale) && scale > 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number above 0, got " + shown(scale));
    if (!(tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a number above 0, got " + shown(tuning));
    ReweightSettings settings;
    settings.scale = scale;
    settings.tuning = tuning;
    settings.prior = case_weights;
    detail::check_reweight_inputs(fn, "case_weights", settings, VectorXd::Zero(0));
    require_finite_entries(fn, "residuals", largest_magnitude(residuals));
    BisquareMoments moments;
    const Index n = residuals.size();
    const RowBlocks blocks(n, 6);
    MatrixXd partial = MatrixXd::Zero(6, blocks.count());
    const double* cw = case_weights != nullptr ? case_weights->data() : nullptr;
    blocks.run(stop, [&](int b) {
        double sums[6];
        detail::bisquare_row_sums(residuals.data(), cw, blocks.begin(b), blocks.end(b), scale, tuning, sums);
        for (int j = 0; j < 6; ++j) partial(j, b) = sums[j];
    });
    double totals[6] = {};
    for (int b = 0; b < blocks.count(); ++b)
        for (int j = 0; j < 6; ++j) totals[j] += partial(j, b);
    moments.total = totals[0];
    moments.in_use = totals[1];
    moments.slope = totals[2];
    moments.slope_square = totals[3];
    moments.weight = totals[4];
    moments.psi_square = totals[5];
    if (X.cols() == 0) {
        require_finite_entries(fn, "design", largest_magnitude(X));
        moments.gram = MatrixXd(0, 0);
        return moments;
    }
    // The pass weighs the rows by the bisquare weights of the target at beta = 0: the residuals.
    moments.gram = detail::gram_of_pass(fn, X, residuals, settings, slopes, stop);
    return moments;
}

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

// ------------------------------------------------------------- the rows of a fit's statistics

// Rows are read a span at a time between checks for a stop; a span is a whole number of
// the four rows that a vector holds.
inline constexpr Index kStatisticsSpan = Index{1} << 16;

namespace detail {

// Four sums in the lanes of a vector (row i in lane i % 4) and a bit mask of rows: a fixed
// order of additions, four of them in flight.
class LaneSums {
public:
    // Adds value[t] for the rows t of four rows (from a multiple of 4) that `mask` holds.
    void add(__m256d value, __m256d mask) { lanes_ = _mm256_add_pd(lanes_, _mm256_and_pd(value, mask)); }
    void add_row(Index i, double value) { tail_[i & 3] += value; }
    double total() const {
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, lanes_);
        for (int t = 0; t < 4; ++t) lanes[t] += tail_[t];
        return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    }

private:
    __m256d lanes_ = _mm256_setzero_pd();
    double tail_[4] = {};
};

// Rows 0 .. n - 1 a span at a time, with a check for a stop before each span: four_rows(i)
// for each four rows from a multiple of 4, one_row(i) for the rows of a span's tail.
template <class FourRows, class OneRow>
void for_each_row(Index n, const StopCheck& stop, FourRows&& four_rows, OneRow&& one_row) {
    for (Index begin = 0; begin < n; begin += kStatisticsSpan) {
        stop_if_requested(stop);
        const Index end = std::min(n, begin + kStatisticsSpan);
        Index i = begin;
        for (; i + 4 <= end; i += 4) four_rows(i);
        for (; i < end; ++i) one_row(i);
    }
}

// Whether any of the residuals seen, four or one at a time, is NaN.
class NanWatch {
public:
    void see(__m256d x) { nan_ = _mm256_or_pd(nan_, _mm256_cmp_pd(x, x, _CMP_UNORD_Q)); }
    void see(double x) { tail_ = tail_ || std::isnan(x); }
    bool seen() const { return tail_ || _mm256_movemask_pd(nan_) != 0; }

private:
    __m256d nan_ = _mm256_setzero_pd();
    bool tail_ = false;
};

inline void refuse_nan_residuals(const char* fn, bool nan) {
    if (nan) throw std::invalid_argument(std::string(fn) + ": residuals holds NaN");
}

// The second pass found other rows than the first counted: the residuals were written to
// while they were read (by a signal handler that a check for a stop ran, or by another
// process sharing their memory). The writes stayed within what the first pass sized.
inline void refuse_changed_residuals(const char* fn, bool changed) {
    if (changed) throw std::invalid_argument(std::string(fn) + ": residuals changed while they were read");
}

// The sum of v in one order wherever v lies: four running sums by index modulo 4. (Eigen's
// sum() starts its vectors at an aligned address, so equal values elsewhere in memory could
// round otherwise.)
inline double sum_in_index_order(const VectorRef& v) {
    const double* d = v.data();
    const Index n = v.size();
    double lanes[4] = {0.0, 0.0, 0.0, 0.0};
    Index i = 0;
    for (; i + 4 <= n; i += 4)
        for (int lane = 0; lane < 4; ++lane) lanes[lane] += d[i + lane];
    for (; i < n; ++i) lanes[0] += d[i];
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// The sum of weights (named `name`), which it refuses when they are not finite, negative,
// or of an infinite sum.
inline double checked_weight_sum(const char* fn, const char* name, const VectorRef& weights) {
    require_finite_entries(fn, name, largest_magnitude(weights));
    if (weights.size() > 0 && weights.minCoeff() < 0.0)
        throw std::invalid_argument(std::string(fn) + ": " + name + " holds negative weights");
    const double sum = sum_in_index_order(weights);
    if (!std::isfinite(sum))
        throw std::invalid_argument(std::string(fn) + ": the sum of " + name + " overflows; scale them down");
    return sum;
}

inline void check_case_weights(const char* fn, const VectorRef* case_weights) {
    if (case_weights != nullptr) checked_weight_sum(fn, "case_weights", *case_weights);
}

}  // namespace detail

// The weighted median above of values, each counted weights[i] times, after a check of the
// weights: finite numbers of at least 0 with a finite sum above 0, one per value;
// values.size() > 0.
inline double weighted_median(const VectorRef& values, const VectorRef& weights, const StopCheck& stop) {
    constexpr const char* fn = "weighted_median";
    const double total = detail::checked_weight_sum(fn, "weights", weights);
    if (!(total > 0.0)) throw std::invalid_argument(std::string(fn) + ": weights are all 0; they have no median");
    const double* data = values.data();
    return weighted_median(values.size(), [data](Index i) { return data[i]; }, weights.data(), total, stop);
}

// The rows whose residual lies within `tuning` scales, |r / scale| < tuning (every row
// when the scale is 0): how many, their total case weight, and every step-th of them in
// order from the first, step = ceil(count / max_rows), at most max_rows rows.
struct RowsWithin {
    Index count = 0;
    double weight = 0.0;  // the count without case weights
    Eigen::Matrix<std::int64_t, Eigen::Dynamic, 1> sample;
};

// Residuals must not be NaN; scale finite and at least 0, tuning above 0, max_rows at
// least 1, case weights finite numbers of at least 0.
// @param residuals (n,), case_weights (n,) or null
inline RowsWithin rows_within(const VectorRef& residuals, double scale, double tuning, Index max_rows,
                              const VectorRef* case_weights, const StopCheck& stop) {
    constexpr const char* fn = "rows_within";
    if (!(std::isfinite(scale) && scale >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number of at least 0, got " +
                                    shown(scale));
    if (!(tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a number above 0, got " + shown(tuning));
    if (max_rows < 1)
        throw std::invalid_argument(std::string(fn) + ": max_rows must be at least 1, got " + std::to_string(max_rows));
    detail::check_case_weights(fn, case_weights);
    const Index n = residuals.size();
    const double* r = residuals.data();
    const double* c = case_weights != nullptr ? case_weights->data() : nullptr;
    const __m256d vscale = _mm256_set1_pd(scale), vtuning = _mm256_set1_pd(tuning);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const bool every_row = !(scale > 0.0);
    // The same test as abs(r / scale) < tuning in NumPy: the quotient, then its size.
    const auto within4 = [&](Index i) {
        const __m256d x = _mm256_loadu_pd(r + i);
        if (every_row) return _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return _mm256_cmp_pd(_mm256_and_pd(_mm256_div_pd(x, vscale), abs_mask), vtuning, _CMP_LT_OQ);
    };
    const auto within = [&](Index i) { return every_row || std::abs(r[i] / scale) < tuning; };
    RowsWithin rows;
    detail::LaneSums weight;
    detail::NanWatch nan;
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d in = within4(i);
            nan.see(_mm256_loadu_pd(r + i));
            rows.count += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(in)));
            if (c != nullptr) weight.add(_mm256_loadu_pd(c + i), in);
        },
        [&](Index i) {
            nan.see(r[i]);
            const bool in = within(i);
            rows.count += in ? 1 : 0;
            if (c != nullptr) weight.add_row(i, in ? c[i] : 0.0);
        });
    detail::refuse_nan_residuals(fn, nan.seen());
    rows.weight = c != nullptr ? weight.total() : static_cast<double>(rows.count);
    const Index step = rows.count > max_rows ? (rows.count + max_rows - 1) / max_rows : 1;
    rows.sample.resize((rows.count + step - 1) / step);
    // Rank of the next row in use, and the next rank to take: every step-th from 0.
    Index rank = 0, next = 0, taken = 0;
    const Index room = rows.sample.size();
    const auto visit = [&](Index i) {
        if (rank == next) {
            if (taken < room) rows.sample[taken] = i;
            ++taken;
            next += step;
        }
        ++rank;
    };
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const int bits = _mm256_movemask_pd(within4(i));
            const int in_use = __builtin_popcount(static_cast<unsigned>(bits));
            if (rank + in_use <= next) {  // no rank to take among these four rows
                rank += in_use;
                return;
            }
            for (int t = 0; t < 4; ++t)
                if (bits >> t & 1) visit(i + t);
        },
        [&](Index i) {
            if (within(i)) visit(i);
        });
    detail::refuse_changed_residuals(fn, taken != room);
    return rows;
}

// The residuals about the band (inner, outer] of sizes: over the rows with
// |r| <= inner, their total case weight and their weighted sum of squares; the sizes
// |r| of the rows with inner < |r| <= outer, in order, with their case weights.
struct ResidualBand {
    double inner_weight = 0.0;   // the count without case weights
    double inner_squares = 0.0;  // sum c r^2
    VectorXd between;            // |r|
    VectorXd between_weights;    // c, empty without case weights
};

// Residuals must not be NaN (infinite ones lie beyond any finite outer); inner finite and
// at least 0, outer at least inner (infinite for no bound); case weights finite numbers
// of at least 0.
// @param residuals (n,), case_weights (n,) or null
inline ResidualBand residual_band(const VectorRef& residuals, double inner, double outer, const VectorRef* case_weights,
                                  const StopCheck& stop) {
    constexpr const char* fn = "residual_band";
    if (!(std::isfinite(inner) && inner >= 0.0))
        throw std::invalid_argument(std::string(fn) + ": inner must be a finite number of at least 0, got " +
                                    shown(inner));
    if (!(outer >= inner))
        throw std::invalid_argument(std::string(fn) + ": outer must be a number of at least inner (" + shown(inner) +
                                    "), got " + shown(outer));
    detail::check_case_weights(fn, case_weights);
    const Index n = residuals.size();
    const double* r = residuals.data();
    const double* c = case_weights != nullptr ? case_weights->data() : nullptr;
    const __m256d vinner = _mm256_set1_pd(inner), vouter = _mm256_set1_pd(outer), one = _mm256_set1_pd(1.0);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    // One pass for the sums and the size of the band, one to gather it.
    Index inner_count = 0, between = 0;
    detail::LaneSums inner_weight, inner_squares;
    detail::NanWatch nan;
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d x = _mm256_loadu_pd(r + i), a = _mm256_and_pd(x, abs_mask);
            nan.see(x);
            const __m256d sure = _mm256_cmp_pd(a, vinner, _CMP_LE_OQ);
            const __m256d near = _mm256_andnot_pd(sure, _mm256_cmp_pd(a, vouter, _CMP_LE_OQ));
            inner_count += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(sure)));
            between += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(near)));
            const __m256d weight = c != nullptr ? _mm256_loadu_pd(c + i) : one;
            inner_weight.add(weight, sure);
            // Masked: 0, not inf * 0, beyond the sure rows.
            inner_squares.add(_mm256_mul_pd(_mm256_mul_pd(a, a), weight), sure);
        },
        [&](Index i) {
            const double a = std::abs(r[i]);
            nan.see(r[i]);
            const bool sure = a <= inner;
            const double weight = c != nullptr ? c[i] : 1.0;
            inner_count += sure ? 1 : 0;
            between += !sure && a <= outer ? 1 : 0;
            inner_weight.add_row(i, sure ? weight : 0.0);
            inner_squares.add_row(i, sure ? (a * a) * weight : 0.0);
        });
    detail::refuse_nan_residuals(fn, nan.seen());
    ResidualBand band;
    band.inner_weight = c != nullptr ? inner_weight.total() : static_cast<double>(inner_count);
    band.inner_squares = inner_squares.total();
    band.between.resize(between);
    if (c != nullptr) band.between_weights.resize(between);
    Index taken = 0;
    const auto gather = [&](Index i) {
        const double a = std::abs(r[i]);
        if (a <= inner || !(a <= outer)) return;
        if (taken < between) {
            band.between[taken] = a;
            if (c != nullptr) band.between_weights[taken] = c[i];
        }
        ++taken;
    };
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d a = _mm256_and_pd(_mm256_loadu_pd(r + i), abs_mask);
            const __m256d near =
                _mm256_andnot_pd(_mm256_cmp_pd(a, vinner, _CMP_LE_OQ), _mm256_cmp_pd(a, vouter, _CMP_LE_OQ));
            const int bits = _mm256_movemask_pd(near);
            if (bits == 0) return;
            if (taken + 4 > between) {  // near the end of the band (or past it): row by row
                for (int t = 0; t < 4; ++t) gather(i + t);
                return;
            }
            // Each of the four stored where the next row of the band goes, which moves on
            // only past rows of the band: no branch to mispredict.
            alignas(32) double sizes[4];
            _mm256_store_pd(sizes, a);
            for (int t = 0; t < 4; ++t) {
                band.between[taken] = sizes[t];
                if (c != nullptr) band.between_weights[taken] = c[i + t];
                taken += bits >> t & 1;
            }
        },
        gather);
    detail::refuse_changed_residuals(fn, taken != between);
    return band;
}

// Tukey's bisquare weights (1 - min(|r / scale| / tuning, 1)^2)^2 of the residuals, times
// the case weights where given. Each is the double that NumPy's elementwise arithmetic
// gives, in its order: the two quotients in turn (not one product with a reciprocal), so a
// residual far beyond the cut-off may overflow to inf, which weighs 0 as it should.
// Residuals must not be NaN (infinite ones weigh 0); scale and tuning finite and above 0;
// case weights finite numbers of at least 0.
// @param residuals (n,), case_weights (n,) or null; result (n,)
inline VectorXd bisquare_weights(const VectorRef& residuals, double scale, double tuning, const VectorRef* case_weights,
                                 const StopCheck& stop) {
    constexpr const char* fn = "bisquare_weights";
    if (!(std::isfinite(scale) && scale > 0.0))
        throw std::invalid_argument(std::string(fn) + ": scale must be a finite number above 0, got " + shown(scale));
    if (!(std::isfinite(tuning) && tuning > 0.0))
        throw std::invalid_argument(std::string(fn) + ": tuning must be a finite number above 0, got " + shown(tuning));
    detail::check_case_weights(fn, case_weights);
    const Index n = residuals.size();
    const double* r = residuals.data();
    const double* c = case_weights != nullptr ? case_weights->data() : nullptr;
    VectorXd weights(n);
    double* w = weights.data();
    const __m256d vscale = _mm256_set1_pd(scale), vtuning = _mm256_set1_pd(tuning), one = _mm256_set1_pd(1.0);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    detail::NanWatch nan;
    detail::for_each_row(
        n, stop,
        [&](Index i) {
            const __m256d x = _mm256_loadu_pd(r + i);
            nan.see(x);
            const __m256d u =
                _mm256_min_pd(_mm256_div_pd(_mm256_and_pd(_mm256_div_pd(x, vscale), abs_mask), vtuning), one);
            const __m256d inside = _mm256_sub_pd(one, _mm256_mul_pd(u, u));
            __m256d weight = _mm256_mul_pd(inside, inside);
            if (c != nullptr) weight = _mm256_mul_pd(weight, _mm256_loadu_pd(c + i));
            _mm256_storeu_pd(w + i, weight);
        },
        [&](Index i) {
            nan.see(r[i]);
            const double u = std::min(std::abs(r[i] / scale) / tuning, 1.0);
            const double inside = 1.0 - u * u;
            w[i] = c != nullptr ? (inside * inside) * c[i] : inside * inside;
        });
    detail::refuse_nan_residuals(fn, nan.seen());
    return weights;
}

}  // namespace korva
