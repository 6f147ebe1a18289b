// The fixed partition of the rows that every pass of the robust finish sums over:
// each block's sums are formed on one thread and combined in block order, so that
// the results do not depend on how many threads share the blocks.
#pragma once

#include <algorithm>

#include "common.hpp"
#include "team.hpp"

namespace korva {

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

}  // namespace korva
