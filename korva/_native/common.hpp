// Types and small facilities shared by every subsystem.
#pragma once

#include <Eigen/Dense>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace korva {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// Read-only views that bind to a VectorXd/MatrixXd or to caller storage of the
// same layout, so large inputs are read in place instead of copied.
using VectorRef = Eigen::Ref<const VectorXd>;
using MatrixRef = Eigen::Ref<const MatrixXd>;
// Rows contiguous in memory, for tables read row by row.
using RowMatrixXd = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Asks the caller, on the caller's own thread, whether a long computation
// should stop. The default never stops.
class StopCheck {
public:
    StopCheck() = default;
    explicit StopCheck(std::function<bool()> poll) : poll_(std::move(poll)) {}
    bool requested() const { return poll_ && poll_(); }

private:
    std::function<bool()> poll_;
};

// Thrown when a StopCheck asked a computation to stop.
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

inline void stop_if_requested(const StopCheck& stop) {
    if (stop.requested()) throw Interrupted();
}

// (a + b) / 2, the same value as 0.5 * (a + b) whenever a + b is finite, and
// without overflow when it is not: halves of values that large are exact.
inline double midpoint(double a, double b) {
    const double sum = a + b;
    return std::isfinite(sum) ? 0.5 * sum : 0.5 * a + 0.5 * b;
}

// The OpenMP runtime's worker threads do not survive fork(): a child that
// enters a parallel region its parent has used waits for them for ever. A
// process forked after the module was loaded therefore runs parallel loops on
// the calling thread alone (no result depends on the number of threads).
namespace detail {
inline std::atomic<bool> forked{false};
inline const bool fork_watched = pthread_atfork(nullptr, nullptr, [] { forked = true; }) == 0;
}  // namespace detail

inline bool in_forked_child() { return detail::forked.load(std::memory_order_relaxed); }

// A new column-major matrix for a large result that is about to be filled.
// Its storage starts on a 2 MiB boundary and is advised for transparent huge
// pages, as NumPy does for its large arrays: filling it then takes one page
// fault per 2 MiB. (A plain allocation starts anywhere, and up to 2 MiB at
// its start stays in 4 KiB pages, a fault each.) A result of 32 MiB or more
// is padded to whole 2 MiB pages, so that its end is one huge page as well,
// at a cost of under 1/16 of its size; a smaller one keeps its last partial
// 2 MiB in small pages. Small results are aligned to a cache line.
// `release` hands the storage to the caller, who frees it with std::free.
class PagedMatrix {
public:
    PagedMatrix(Index rows, Index cols) : rows_(rows), cols_(cols) {
        constexpr std::size_t huge = std::size_t{1} << 21, page = 4096, line = 64;
        const std::size_t bytes = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * sizeof(double);
        const auto round_up = [](std::size_t v, std::size_t to) { return std::max(to, (v + to - 1) / to * to); };
        const bool large = bytes >= huge, pad_end = bytes >= 16 * huge;
        const std::size_t size = round_up(bytes, pad_end ? huge : large ? page : line);
        void* memory = nullptr;
        if (posix_memalign(&memory, large ? huge : line, size) != 0) throw std::bad_alloc();
        storage_.reset(static_cast<double*>(memory));
        if (large) madvise(memory, pad_end ? size : bytes / huge * huge, MADV_HUGEPAGE);
    }
    Eigen::Map<MatrixXd> view() { return {storage_.get(), rows_, cols_}; }
    Index rows() const { return rows_; }
    Index cols() const { return cols_; }
    double* release() { return storage_.release(); }

private:
    struct Free {
        void operator()(double* p) const { std::free(p); }
    };
    Index rows_, cols_;
    std::unique_ptr<double, Free> storage_;
};

}  // namespace korva
