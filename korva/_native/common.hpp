// Types and small facilities shared by every subsystem.
#pragma once

#include <Eigen/Dense>
#include <sys/mman.h>

#include <algorithm>
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

// A new column-major matrix for a large result that is about to be filled.
// Its storage starts on a 2 MiB boundary, is padded to whole 2 MiB pages and
// is advised for transparent huge pages, as NumPy does for its large arrays:
// filling it then takes one page fault per 2 MiB. (A plain allocation starts
// anywhere, and up to 4 MiB at its two ends stay in 4 KiB pages, a fault
// each.) The padding is address space only, never touched. Smaller results
// are aligned to a cache line. `release` hands the storage to the caller,
// who frees it with std::free.
class PagedMatrix {
public:
    PagedMatrix(Index rows, Index cols) : rows_(rows), cols_(cols) {
        constexpr std::size_t huge = std::size_t{1} << 21, line = 64;
        const std::size_t bytes = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * sizeof(double);
        const std::size_t align = bytes >= huge ? huge : line;
        const std::size_t padded = std::max(align, (bytes + align - 1) / align * align);
        storage_.reset(static_cast<double*>(std::aligned_alloc(align, padded)));
        if (!storage_) throw std::bad_alloc();
        if (align == huge) madvise(storage_.get(), padded, MADV_HUGEPAGE);
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
