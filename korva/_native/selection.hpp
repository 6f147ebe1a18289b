// Exact order statistics of many values in one pass over them. A fixed-stride
// sample brackets the wanted ranks; the pass counts the values below the
// bracket and on its ends and gathers those strictly inside it, and a
// selection among the gathered values alone finds the ranks. When the sample
// misleads (values arranged against the stride), the bracket misses a rank
// and the values are selected among all of them instead: the answer is exact
// either way.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common.hpp"

namespace korva {

namespace selection {
// Fewer values than this are selected among all of them: a sample would not pay.
constexpr Index kSampleFrom = Index{1} << 14;
// The sample takes about this many values per square root of their number:
// gathering shrinks as 1 / sqrt(sample) while the sample grows.
constexpr double kSamplePerRoot = 16.0;
// Half-width of the bracket in standard deviations of the wanted rank's place in the sample.
constexpr double kBracketDeviations = 5.0;
// Values read between checks that the gathered ones still fit their buffer.
constexpr Index kChunk = 1024;
// The buffer holds this many times the values a bracket is expected to gather.
constexpr double kRoom = 2.0;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Where one pass put the values relative to the bracket [lo, hi].
struct Tally {
    double lo = -kInf, hi = kInf;
    Index below = 0;    // v < lo
    Index upto_lo = 0;  // v <= lo
    Index upto_hi = 0;  // v <= hi
    Index nans = 0;
    Index inside = 0;  // lo < v < hi, gathered in the buffer
};

// Lane orders that move the 64-bit lanes picked by a 4-bit mask to the front,
// as pairs of 32-bit lanes for _mm256_permutevar8x32_ps.
struct CompressOrders {
    alignas(32) std::int32_t lanes[16][8];
    constexpr CompressOrders() : lanes{} {
        for (int mask = 0; mask < 16; ++mask) {
            int out = 0;
            for (int lane = 0; lane < 4; ++lane)
                if (mask >> lane & 1) {
                    lanes[mask][2 * out] = 2 * lane;
                    lanes[mask][2 * out + 1] = 2 * lane + 1;
                    ++out;
                }
        }
    }
};
inline constexpr CompressOrders kCompress{};

// Counts the m values of chunk against t's bracket into the counts of t and
// appends those inside it to buffer + t.inside, which has room for m more.
inline void tally_chunk(const double* chunk, Index m, Tally& t, double* buffer) {
    const __m256d lo = _mm256_set1_pd(t.lo), hi = _mm256_set1_pd(t.hi);
    // A true comparison is all ones, -1 as an integer: subtracting it counts.
    __m256i below = _mm256_setzero_si256(), upto_lo = below, upto_hi = below, nans = below;
    Index inside = t.inside, i = 0;
    for (; i + 4 <= m; i += 4) {
        const __m256d v = _mm256_load_pd(chunk + i);
        below = _mm256_sub_epi64(below, _mm256_castpd_si256(_mm256_cmp_pd(v, lo, _CMP_LT_OQ)));
        upto_lo = _mm256_sub_epi64(upto_lo, _mm256_castpd_si256(_mm256_cmp_pd(v, lo, _CMP_LE_OQ)));
        upto_hi = _mm256_sub_epi64(upto_hi, _mm256_castpd_si256(_mm256_cmp_pd(v, hi, _CMP_LE_OQ)));
        nans = _mm256_sub_epi64(nans, _mm256_castpd_si256(_mm256_cmp_pd(v, v, _CMP_UNORD_Q)));
        const int keep =
            _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(v, lo, _CMP_GT_OQ), _mm256_cmp_pd(v, hi, _CMP_LT_OQ)));
        // All four lanes are stored, the kept ones first; the next store overwrites the rest.
        const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompress.lanes[keep]));
        _mm256_storeu_ps(reinterpret_cast<float*>(buffer + inside),
                         _mm256_permutevar8x32_ps(_mm256_castpd_ps(v), order));
        inside += _mm_popcnt_u32(static_cast<unsigned>(keep));
    }
    alignas(32) std::int64_t lanes[4][4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), below);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), upto_lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[2]), upto_hi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[3]), nans);
    for (int lane = 0; lane < 4; ++lane) {
        t.below += lanes[0][lane];
        t.upto_lo += lanes[1][lane];
        t.upto_hi += lanes[2][lane];
        t.nans += lanes[3][lane];
    }
    for (; i < m; ++i) {
        const double v = chunk[i];
        t.below += v < t.lo;
        t.upto_lo += v <= t.lo;
        t.upto_hi += v <= t.hi;
        t.nans += v != v;
        buffer[inside] = v;
        inside += (v > t.lo) & (v < t.hi);
    }
    t.inside = inside;
}

// Counts value(i), i < n, against t's bracket (its counts start at 0) and
// gathers those inside it into buffer, which has room for min(n, capacity) +
// kChunk values. False when more than capacity values fall inside: the counts
// are then partial.
template <class Value>
bool tally(Index n, const Value& value, Tally& t, double* buffer, Index capacity) {
    alignas(32) double chunk[kChunk];
    for (Index start = 0; start < n; start += kChunk) {
        const Index m = std::min(kChunk, n - start);
        for (Index i = 0; i < m; ++i) chunk[i] = value(start + i);
        tally_chunk(chunk, m, t, buffer);
        if (t.inside > capacity) return false;
    }
    return true;
}

// The rank r-th smallest of the values of a sample (0-based, NaN after every
// number), of which the first `numbers` are not NaN; reorders the numbers.
inline double sample_rank(std::vector<double>& sample, Index numbers, Index r) {
    if (r >= numbers) return kNaN;
    const auto at = sample.begin() + r;
    std::nth_element(sample.begin(), at, sample.begin() + numbers);
    return *at;
}

// A bracket that likely holds ranks first .. last of value(i), i < n, from a
// sample of every stride-th value, and how many values it is expected to gather.
template <class Value>
Tally sample_bracket(Index n, const Value& value, Index first, Index last, Index& expected) {
    const auto size = static_cast<Index>(kSamplePerRoot * std::sqrt(static_cast<double>(n)));
    const Index stride = n / size;
    std::vector<double> sample(static_cast<std::size_t>(size));
    for (Index j = 0; j < size; ++j) sample[static_cast<std::size_t>(j)] = value(j * stride + stride / 2);
    const Index numbers =
        std::partition(sample.begin(), sample.end(), [](double v) { return v == v; }) - sample.begin();
    // A rank's place in the sample scatters about its share of the sample
    // with the binomial's standard deviation.
    const auto place = [&](Index rank) { return static_cast<double>(rank) / static_cast<double>(n) * size; };
    const double share = place(first) / size;
    const double margin = kBracketDeviations * std::sqrt(size * share * (1.0 - share)) + 2.0;
    const auto lo_rank = static_cast<Index>(std::floor(place(first) - margin));
    const auto hi_rank = static_cast<Index>(std::ceil(place(last) + margin));
    Tally t;
    if (lo_rank >= 0) t.lo = sample_rank(sample, numbers, lo_rank);
    if (hi_rank < size) t.hi = sample_rank(sample, numbers, hi_rank);
    if (std::isnan(t.lo)) t.lo = kInf;  // the ranks are most likely among the NaNs
    if (std::isnan(t.hi)) t.hi = kInf;
    expected = static_cast<Index>(static_cast<double>(hi_rank - lo_rank) * static_cast<double>(stride));
    return t;
}

// Locates rank r (NaN after every number) among the tallied values: in `at`
// unless the bracket missed it, which returns false.
inline bool locate(const Tally& t, Index n, Index r, double* buffer, double& at) {
    if (r >= n - t.nans) {
        at = kNaN;
    } else if (r < t.below) {
        return false;
    } else if (r < t.upto_lo) {
        at = t.lo;
    } else if (r < t.upto_lo + t.inside) {
        double* p = buffer + (r - t.upto_lo);
        std::nth_element(buffer, p, buffer + t.inside);
        at = *p;
    } else if (r < t.upto_hi) {
        at = t.hi;
    } else {
        return false;
    }
    return true;
}

// Ranks k and k + 1 from one tally; false when the bracket missed either.
inline bool locate_pair(const Tally& t, Index n, Index k, double* buffer, double& low, double& high) {
    if (!locate(t, n, k, buffer, low)) return false;
    const Index next = k + 1 - t.upto_lo;
    // After the selection of rank k in the buffer, rank k + 1 is the least of the values behind it.
    if (k >= t.upto_lo && next < t.inside && k + 1 < n - t.nans) {
        high = *std::min_element(buffer + next, buffer + t.inside);
        return true;
    }
    return locate(t, n, k + 1, buffer, high);
}

}  // namespace selection

// The values at ranks k and, when `pair`, k + 1 (0-based, else high = low) of
// the n values value(0 .. n - 1), NaN ranking after every number, and how many
// are NaN. The values are what an ascending sort would put at those places,
// up to the sign of a zero among zeros of both signs. value(i) is read once
// or twice per i, and a few thousand times for a sample.
struct Ranked {
    double low, high;
    Index nans;
};

template <class Value>
Ranked order_statistics(Index n, const Value& value, Index k, bool pair) {
    using namespace selection;
    Ranked out{kNaN, kNaN, 0};
    const auto find = [&](const Tally& t, double* buffer) {
        out.nans = t.nans;
        if (pair) return locate_pair(t, n, k, buffer, out.low, out.high);
        out.high = out.low;
        return locate(t, n, k, buffer, out.low);
    };
    std::vector<double> buffer;
    if (n >= kSampleFrom) {
        Index expected = 0;
        Tally t = sample_bracket(n, value, k, pair ? k + 1 : k, expected);
        const Index capacity = std::min(n, static_cast<Index>(kRoom * static_cast<double>(expected)) + kChunk);
        buffer.resize(static_cast<std::size_t>(std::min(n, capacity + kChunk)));
        if (tally(n, value, t, buffer.data(), capacity) && find(t, buffer.data())) return out;
    }
    // Every value in the buffer: the bracket of all numbers misses no rank.
    buffer.resize(static_cast<std::size_t>(n));
    Tally all;
    tally(n, value, all, buffer.data(), n);
    find(all, buffer.data());
    return out;
}

// The two middle ranks of n > 0 values (the middle one twice for odd n).
template <class Value>
Ranked middle_ranks(Index n, const Value& value) {
    return order_statistics(n, value, (n - 1) / 2, n % 2 == 0);
}

// The median as korva.robust takes it: the middle value, or for an even count
// halfway between the two middle ones. NaN ranks after every number, so that a
// few NaN need not make it NaN.
inline double robust_median(const Ranked& middle, Index n) {
    return n % 2 == 1 ? middle.low : halfway(middle.low, middle.high);
}

// Median of the values, as robust_median takes it. v.size() > 0.
inline double unweighted_median(const VectorRef& v) {
    const double* data = v.data();
    return robust_median(middle_ranks(v.size(), [data](Index i) { return data[i]; }), v.size());
}

// Median of |v - center|, formed on the fly, as robust_median takes it; NaN
// when a deviation is NaN or infinite. v.size() > 0.
inline double median_abs_deviation(const VectorRef& v, double center) {
    const double* data = v.data();
    const auto deviation = [data, center](Index i) {
        const double d = std::abs(data[i] - center);
        return d <= std::numeric_limits<double>::max() ? d : selection::kNaN;
    };
    const Ranked middle = middle_ranks(v.size(), deviation);
    return middle.nans > 0 ? selection::kNaN : robust_median(middle, v.size());
}

}  // namespace korva
