// Independent units of work shared out to the calling thread and helper
// threads, while the calling thread keeps answering stop requests.
//
// The number of threads follows OpenMP's (OMP_NUM_THREADS, omp_set_num_threads),
// but the helpers are korva's own: between runs they sleep after a short spin.
// The OpenMP runtime's workers spin for milliseconds after every parallel
// region by default, and on a machine whose cores are all busy that spinning
// takes the time slices the working threads need, which made a two-thread fit
// several times slower than a one-thread fit.
#pragma once

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "common.hpp"

namespace korva {
namespace detail {

// Threads a parallel loop may use: OpenMP's setting for the calling thread.
inline int thread_budget() { return std::max(1, std::min(omp_get_max_threads(), omp_get_thread_limit())); }

// How long an idle thread spins before it sleeps: long enough to catch the
// next run of a fit (its phases follow each other within tens of
// microseconds), short against a time slice.
constexpr std::chrono::microseconds kIdleSpin{50};

// How long the calling thread sleeps between stop polls while it waits for
// the other threads' units: short against any human's patience, long against
// a poll.
constexpr std::chrono::microseconds kStopPollInterval{500};

// Spins until `done()` or for kIdleSpin; returns done().
template <class Done>
bool spin_until(Done&& done) {
    const auto until = std::chrono::steady_clock::now() + kIdleSpin;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        _mm_pause();
    }
    return true;
}

class KeepGoing;

// One run of units 0 .. units - 1, shared by the calling thread and the
// helpers that joined it. Each of them holds it, so a helper that is late to
// see the run end touches nothing but this; `body` is entered only for a
// claimed unit, all of which finish before the calling thread returns.
struct UnitRun {
    UnitRun(int units_, std::function<void(int, const KeepGoing&)> body_)
        : units(units_), body(std::move(body_)), errors(static_cast<std::size_t>(units_)) {}

    // Runs unit `u`, already claimed, then claims and runs the next unit
    // until none is left.
    void work(const KeepGoing& keep_going, int u);

    int claim() { return next.fetch_add(1, std::memory_order_relaxed); }

    const int units;
    const std::function<void(int, const KeepGoing&)> body;
    std::vector<std::exception_ptr> errors;  // slot u is written only by the thread that ran unit u
    std::atomic<int> next{0}, finished{0};
    std::atomic<bool> stop_requested{false}, abandoned{false};
    std::mutex mutex;
    std::condition_variable all_finished;
};

// Whether a unit should go on: false once the run was abandoned. On the
// calling thread it first polls the stop request.
class KeepGoing {
public:
    KeepGoing(UnitRun& run, const StopCheck* stop) : run_(run), stop_(stop) {}

    bool operator()() const {
        if (stop_ != nullptr && !run_.abandoned.load(std::memory_order_relaxed) && stop_->requested()) {
            run_.stop_requested.store(true, std::memory_order_relaxed);
            run_.abandoned.store(true, std::memory_order_relaxed);
        }
        return !run_.abandoned.load(std::memory_order_relaxed);
    }

private:
    UnitRun& run_;
    const StopCheck* stop_;
};

inline void UnitRun::work(const KeepGoing& keep_going, int u) {
    for (; u < units; u = claim()) {
        try {
            if (keep_going()) body(u, keep_going);
        } catch (...) {
            errors[static_cast<std::size_t>(u)] = std::current_exception();
            abandoned.store(true, std::memory_order_relaxed);
        }
        if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == units) {
            const std::lock_guard<std::mutex> lock(mutex);
            all_finished.notify_all();
        }
    }
}

// The helper threads of one calling thread, started when a run first needs
// them and kept for its later runs.
class HelperThreads {
public:
    HelperThreads() = default;
    HelperThreads(const HelperThreads&) = delete;
    HelperThreads& operator=(const HelperThreads&) = delete;

    ~HelperThreads() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

    // Hands `run` to up to `wanted` helpers, starting threads as needed and as
    // far as the system lets it; returns how many got it.
    int start(const std::shared_ptr<UnitRun>& run, int wanted) {
        while (static_cast<int>(threads_.size()) < wanted) {
            try {
                threads_.emplace_back([this, index = static_cast<int>(threads_.size())] { serve(index); });
            } catch (const std::system_error&) {  // no more threads: address space, process or memory limits
                break;
            } catch (const std::bad_alloc&) {
                break;
            }
        }
        const int helpers = std::min(wanted, static_cast<int>(threads_.size()));
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            run_ = run;
            helpers_ = helpers;
            posted_.store(posted_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        }
        wake_.notify_all();
        return helpers;
    }

    // Lets go of the last run, so that what it holds is freed.
    void forget_run() {
        const std::lock_guard<std::mutex> lock(mutex_);
        run_.reset();
    }

private:
    void serve(int index) {
        std::uint64_t seen = 0;
        for (;;) {
            spin_until([&] { return posted_.load(std::memory_order_acquire) != seen; });
            std::shared_ptr<UnitRun> run;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return closing_ || posted_.load(std::memory_order_relaxed) != seen; });
                if (closing_) return;
                seen = posted_.load(std::memory_order_relaxed);
                if (index < helpers_) run = run_;
            }
            if (run) run->work(KeepGoing(*run, nullptr), run->claim());
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<std::uint64_t> posted_{0};  // runs handed out so far; written under mutex_
    std::shared_ptr<UnitRun> run_;
    int helpers_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

// The calling thread's helpers. A process forked after they started has
// copies of their state but not the threads, which waiting on or joining
// would wait for ever: there they are left alone (and never used).
inline HelperThreads& helper_threads() {
    struct Owner {
        std::unique_ptr<HelperThreads> helpers = std::make_unique<HelperThreads>();
        ~Owner() {
            if (in_forked_child()) static_cast<void>(helpers.release());
        }
    };
    thread_local Owner owner;
    return *owner.helpers;
}

// Runs run_unit(u, keep_going) once for each u in [0, units) on `team`
// threads, the calling thread and team - 1 helpers (fewer when the system
// cannot start that many); each thread claims the next unit when it is free.
// The calling thread polls `stop` through keep_going(), which a unit calls
// between its iterations and which answers false once the run is abandoned.
// When no unit is left to claim, the calling thread waits for the others,
// spinning briefly, then sleeping and waking up to poll. A stop request or an
// exception abandons the units not yet begun; a stop then raises Interrupted,
// else the first exception in unit order is rethrown.
template <class RunUnit>
void run_units(int units, int team, const StopCheck& stop, RunUnit&& run_unit) {
    const auto run = std::make_shared<UnitRun>(units, std::forward<RunUnit>(run_unit));
    const int first = run->claim();  // before any helper is woken, so that this thread starts at once
    if (team > 1) helper_threads().start(run, team - 1);
    const KeepGoing keep_going(*run, &stop);
    run->work(keep_going, first);
    const auto all_done = [&] { return run->finished.load(std::memory_order_acquire) >= units; };
    if (!spin_until(all_done)) {
        std::unique_lock<std::mutex> lock(run->mutex);
        while (!run->all_finished.wait_for(lock, kStopPollInterval, all_done)) {
            lock.unlock();
            keep_going();
            lock.lock();
        }
    }
    if (team > 1) helper_threads().forget_run();
    if (run->stop_requested.load()) throw Interrupted();
    for (const std::exception_ptr& error : run->errors)
        if (error) std::rethrow_exception(error);
}

}  // namespace detail
}  // namespace korva
