// Types and small facilities shared by every subsystem.
#pragma once

#include <Eigen/Dense>
#include <sys/mman.h>

#include <cstdint>
#include <functional>
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

// Asks for transparent huge pages on a large buffer that is about to be
// filled, as NumPy does for its large arrays: filling then takes a few hundred
// page faults instead of hundreds of thousands. Only a hint; nothing depends
// on it being honoured.
inline void advise_huge_pages(double* data, Index count) {
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data + count) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace korva
