// Guards for work sizes computed from caller-supplied counts: a product that
// overflows a 64-bit count is an invalid argument, and a request larger than
// the memory available fails as an allocation failure up front instead of
// growing until the process is killed.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "common.hpp"

namespace korva {

// a * b as a 64-bit count; throws std::invalid_argument naming `what` on overflow.
inline std::int64_t checked_product(std::int64_t a, std::int64_t b, const char* what) {
    std::int64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) throw std::invalid_argument(std::string(what) + " is too large to count");
    return r;
}

// Memory the system can give this process now without swapping (MemAvailable),
// or the physical memory when that is not known.
inline std::uint64_t available_memory_bytes() {
    if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(f);
        if (found) return static_cast<std::uint64_t>(kib) * 1024u;
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

// Requests up to this size are left to the allocator: reading /proc/meminfo
// costs microseconds, more than small calls take, and an allocator failure at
// this size surfaces as std::bad_alloc anyway.
constexpr std::int64_t kUncheckedRequestBytes = std::int64_t{16} << 20;

// The memory one computation holds at once. Its objects are allocated through
// it, each after a check that the total so far, the new object included,
// fits in the available memory (std::bad_alloc if not): the count is the one
// of the objects made, and a request too large as a whole is refused before
// its last object is made and before any is written. A copy goes on from the
// total of the original, for scratch held on top of it for a while.
class WorkingMemory {
public:
    // A rows x cols matrix, not initialised; rows * cols overflowing a count
    // is an invalid argument naming `what`.
    template <class Matrix = MatrixXd>
    Matrix matrix(std::int64_t rows, std::int64_t cols, const char* what) {
        hold(checked_product(rows, cols, what), sizeof(typename Matrix::Scalar));
        return Matrix(rows, cols);
    }

    // A vector of `size` doubles, not initialised.
    VectorXd vector(std::int64_t size) {
        hold(size, sizeof(double));
        return VectorXd(size);
    }

    // Counts `count` items of `item_bytes` held at the same time but made
    // elsewhere: a library's working copies, or many small objects.
    void hold(std::int64_t count, std::int64_t item_bytes) {
        std::int64_t bytes = 0;
        if (count < 0 || __builtin_mul_overflow(count, item_bytes, &bytes) ||
            __builtin_add_overflow(total_bytes_, bytes, &total_bytes_))
            throw std::bad_alloc();
        if (total_bytes_ > kUncheckedRequestBytes &&
            static_cast<std::uint64_t>(total_bytes_) > available_memory_bytes())
            throw std::bad_alloc();
    }

private:
    std::int64_t total_bytes_ = 0;
};

// Throws std::bad_alloc when `count` items of `item_bytes` exceed the available memory.
inline void require_fits_in_memory(std::int64_t count, std::int64_t item_bytes) {
    WorkingMemory().hold(count, item_bytes);
}

// One matrix on its own, checked as WorkingMemory::matrix checks it.
template <class Matrix = MatrixXd>
Matrix checked_matrix(std::int64_t rows, std::int64_t cols, const char* what) {
    return WorkingMemory().matrix<Matrix>(rows, cols, what);
}

}  // namespace korva
