// The storage of large results, laid out for the kernel's huge pages.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "common.hpp"

namespace korva {

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
    using Scalar = double;

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
