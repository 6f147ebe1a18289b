// The median of weighted values by selection: a sample brackets the middle, one
// pass gathers the rows within the bracket and three-way partitions find it there.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common.hpp"
#include "selection.hpp"
#include "size_limits.hpp"

namespace korva {

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

}  // namespace korva
