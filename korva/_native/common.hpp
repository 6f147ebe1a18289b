// Types and small facilities shared by every subsystem.
#pragma once

#include <Eigen/Dense>
#include <pthread.h>

#include <atomic>
#include <cmath>
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

// A penalty term gamma R counts only when its weight is non-zero and its
// matrix present: R then, else null.
inline const MatrixXd* penalty_in_use(const MatrixXd* R, double gamma) { return gamma != 0.0 ? R : nullptr; }

// (a + b) / 2, the same value as 0.5 * (a + b) whenever a + b is finite, and
// without overflow when it is not: halves of values that large are exact.
inline double midpoint(double a, double b) {
    const double sum = a + b;
    return std::isfinite(sum) ? 0.5 * sum : 0.5 * a + 0.5 * b;
}

// The middle of low <= high as korva.robust's medians take it, low + (high - low) / 2, and
// low / 2 + high / 2 where the gap is not finite: finite values of opposite signs whose
// gap overflows, or infinities (the median of inf and inf is inf).
inline double halfway(double low, double high) {
    const double gap = high - low;
    return std::isfinite(gap) ? low + gap / 2.0 : low / 2.0 + high / 2.0;
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

}  // namespace korva
