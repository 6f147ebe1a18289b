// Ensemble search: Gibbs statistics of a set of energies and the tournament of
// annealed Metropolis chains that searches coefficient vectors for the
// smallest MDL score.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "scoring.hpp"
#include "size_limits.hpp"

namespace korva {

struct GibbsResult {
    double H;       // entropy (nats) of the Gibbs distribution over the energies
    double Hmax;    // ln(max(N, 2))
    double He;      // H / Hmax
    double r_heat;  // 0.01 + 0.99 He
    double var_E;   // population variance of the energies
    double T;       // the temperature as given
};

// @param energies (N,), N >= 1; T: temperature of the Gibbs weights
inline GibbsResult gibbs_entropy(const VectorRef& energies, double T) {
    const Index N = energies.size();
    if (N == 0) throw std::invalid_argument("gibbs_entropy: energies is empty; give at least one energy");
    const double emin = energies.minCoeff();
    const double meanE = energies.sum() / static_cast<double>(N);

    // Shifting by the minimum makes the largest weight exactly 1, so nothing overflows for T > 0.
    const double scale = T + 1e-300;
    VectorXd w(N);
    double wsum = 0.0;
    for (Index i = 0; i < N; ++i) {
        w(i) = std::exp(-(energies(i) - emin) / scale);
        wsum += w(i);
    }
    // ln p = ln w - ln wsum, and ln w is the exponent itself: one logarithm in
    // all instead of one per term. A weight that underflowed to 0 contributes
    // exactly 0, as p ln(p + 1e-300) does. The entropy and variance sums run
    // in one loop so that their dependency chains overlap.
    const double log_wsum = std::log(wsum);
    double H = 0.0;
    double var = 0.0;
    for (Index i = 0; i < N; ++i) {
        const double dev = energies(i) - meanE;
        var += dev * dev;
        if (w(i) == 0.0) continue;
        const double p = w(i) / wsum;
        H = H - p * (-(energies(i) - emin) / scale - log_wsum);
    }
    const double Hmax = std::log(static_cast<double>(std::max<Index>(N, 2)));
    const double He = H / (Hmax + 1e-300);
    return {H, Hmax, He, 0.01 + 0.99 * He, var / static_cast<double>(N), T};
}

struct Chain {
    VectorXd beta;
    double energy;
};

struct MCMCResult {
    VectorXd beta_mcmc;  // best coefficient vector found
    double energy;       // its MDL score
    GibbsResult gibbs;   // statistics of the warm-up energies at T = 1
    int n_chains;        // configured values, echoed
    int n_elite;
};

namespace detail {

// What every energy evaluation of one fit shares: the tolerance, the model
// term and ln(hit rate) for each possible hit count, so that an evaluation
// computes no logarithm (the values are the ones the score would compute).
struct EnergyTerms {
    double eps;
    double model;
    std::vector<double> log_hit_rate;  // index: hit count 0 .. n

    EnergyTerms(Index n, int k, int H, double eps_) : eps(eps_), model(model_term(n, k, H)) {
        require_fits_in_memory(n + 1, sizeof(double));
        log_hit_rate.resize(static_cast<std::size_t>(n) + 1);
        for (Index hit = 0; hit <= n; ++hit) log_hit_rate[static_cast<std::size_t>(hit)] = std::log(hit_rate(hit, n));
    }
};

// MDL energy of a coefficient vector with the fit's fixed tolerance and
// penalties; owns its scratch so evaluations allocate nothing.
class ChainEnergy {
public:
    ChainEnergy(const MatrixRef& X, const VectorRef& y, const EnergyTerms& terms, const PenaltySpec& pen)
        : X_(X), y_(y), terms_(terms), pen_(pen), yp_(X.rows()), Rb_(X.cols()) {}

    double operator()(const VectorXd& b) {
        yp_.noalias() = X_ * b;
        const Index hit = count_hits(yp_.data(), y_.data(), y_.size(), terms_.eps);
        const double n = static_cast<double>(y_.size());
        const double L = std::fma(-n, terms_.log_hit_rate[static_cast<std::size_t>(hit)], terms_.model);
        return add_penalties(L, &b, &pen_, Rb_);
    }

private:
    const MatrixRef& X_;
    const VectorRef& y_;
    const EnergyTerms& terms_;
    const PenaltySpec& pen_;
    VectorXd yp_;
    VectorXd Rb_;
};

// Streams of one chain: one engine and one distribution object per role.
struct ChainRandom {
    std::mt19937_64 rng;
    std::normal_distribution<double> prop;
    std::uniform_real_distribution<double> unif{0.0, 1.0};

    ChainRandom(std::uint64_t seed, double step) : rng(seed), prop(0.0, step) {}
};

// One Metropolis step at temperature T: every coordinate moves; a proposal of
// lower energy is taken without a draw, otherwise with probability
// exp(min(0, (e - ec) / T)), which is 1 when the quotient is NaN.
inline void metropolis_step(VectorXd& b, double& e, VectorXd& bc, double T, ChainRandom& rnd,
                            ChainEnergy& energy_local) {
    for (Index i = 0; i < b.size(); ++i) bc(i) = b(i) + rnd.prop(rnd.rng);
    const double ec = energy_local(bc);
    bool accept = ec < e;
    if (!accept) {
        const double x = (e - ec) / T;
        accept = rnd.unif(rnd.rng) < std::exp(x < 0.0 ? x : 0.0);
    }
    if (accept) {
        b.swap(bc);  // bc is overwritten before it is read again
        e = ec;
    }
}

}  // namespace detail

class TournamentMCMC {
public:
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size, int H_piH,
                   std::uint64_t seed)
        : n_chains_(n_chains), n_warmup_(n_warmup), n_deep_(n_deep), n_elite_(n_elite),
          step_size_(step_size), H_piH_(H_piH), seed_(seed) {}

    // @param X (n, k), y (n,), R1 and R2 (k, k) or null
    // @param stop polled on the calling thread only; its answer never changes a result
    MCMCResult fit(const MatrixRef& X, const VectorRef& y, const MatrixXd* R1, const MatrixXd* R2, double gamma1,
                   double gamma2, const StopCheck& stop = {}) const {
        if (n_chains_ < 0) throw std::length_error("cannot create std::vector larger than max_size()");
        if (n_chains_ == 0)
            throw std::invalid_argument("TournamentMCMC.fit: n_chains is 0; the search needs at least one chain");
        // Every chain keeps its coefficient vector until the ranking.
        require_fits_in_memory(checked_product(n_chains_, X.cols() + 4, "n_chains * (k + 4)"), sizeof(double));
        const PenaltySpec pen{R1, R2, gamma1, gamma2};
        const double eps_cached = tolerance_from_scale(mad(y));
        const detail::EnergyTerms terms(y.size(), static_cast<int>(X.cols()), H_piH_, eps_cached);

        std::vector<Chain> chains = warm_up(X, y, terms, pen, stop);
        VectorXd energies(n_chains_);
        for (int c = 0; c < n_chains_; ++c) energies(c) = chains[static_cast<std::size_t>(c)].energy;
        const GibbsResult gb = gibbs_entropy(energies, 1.0);

        // NaN energies rank last so the ordering stays strict and weak; others compare by plain <.
        std::sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
            return a.energy < b.energy || (std::isnan(b.energy) && !std::isnan(a.energy));
        });
        const std::vector<Chain> elite = select_elite(chains);

        VectorXd best_b = elite[0].beta;
        double best_e = elite[0].energy;
        double T = 0.5 * gb.r_heat;
        detail::ChainEnergy energy_local(X, y, terms, pen);
        VectorXd b(X.cols()), bc(X.cols());
        for (std::size_t ei = 0; ei < elite.size(); ++ei) {
            detail::ChainRandom rnd(seed_ + 7777u + 13u * static_cast<std::uint64_t>(ei), 0.3 * step_size_);
            b = elite[ei].beta;
            double e = elite[ei].energy;
            for (int it = 0; it < n_deep_; ++it) {
                stop_if_requested(stop);
                detail::metropolis_step(b, e, bc, T, rnd, energy_local);
                if (e < best_e) {
                    best_e = e;
                    best_b = b;
                }
                T = T * 0.9997;
            }
        }
        return {std::move(best_b), best_e, gb, n_chains_, n_elite_};
    }

private:
    // Runs every warm-up chain, in parallel; chain c depends only on c and writes
    // only slot c. The calling thread (thread 0 of the team) polls `stop` while
    // it runs chains and, once it has no chain left, until all have finished; a
    // stop request raises a flag that every chain reads between iterations.
    std::vector<Chain> warm_up(const MatrixRef& X, const VectorRef& y, const detail::EnergyTerms& terms,
                               const PenaltySpec& pen, const StopCheck& stop) const {
        const auto count = static_cast<std::size_t>(n_chains_);
        std::vector<Chain> chains(count);
        // An exception cannot leave the parallel region; each chain parks its own here.
        std::vector<std::exception_ptr> errors(count);
        std::atomic<bool> stopping{false};
        std::atomic<int> finished{0};
#pragma omp parallel
        {
            const bool caller = omp_get_thread_num() == 0;
            auto keep_going = [&] {
                if (caller && !stopping.load(std::memory_order_relaxed) && stop.requested())
                    stopping.store(true, std::memory_order_relaxed);
                return !stopping.load(std::memory_order_relaxed);
            };
#pragma omp for schedule(dynamic, 1) nowait
            for (int c = 0; c < n_chains_; ++c) {
                try {
                    if (keep_going()) chains[static_cast<std::size_t>(c)] = warm_up_chain(c, X, y, terms, pen, keep_going);
                } catch (...) {
                    errors[static_cast<std::size_t>(c)] = std::current_exception();
                }
                finished.fetch_add(1, std::memory_order_release);
            }
            while (caller && finished.load(std::memory_order_acquire) < n_chains_ && keep_going())
                std::this_thread::yield();
        }
        if (stopping.load()) throw Interrupted();
        for (const std::exception_ptr& error : errors)
            if (error) std::rethrow_exception(error);
        return chains;
    }

    template <class KeepGoing>
    Chain warm_up_chain(int c, const MatrixRef& X, const VectorRef& y, const detail::EnergyTerms& terms,
                        const PenaltySpec& pen, KeepGoing& keep_going) const {
        detail::ChainRandom rnd(seed_ + 1000u * static_cast<std::uint64_t>(c), step_size_);
        std::normal_distribution<double> init(0.0, 0.5);
        detail::ChainEnergy energy_local(X, y, terms, pen);
        const Index k = X.cols();
        VectorXd b(k), bc(k);
        for (Index i = 0; i < k; ++i) b(i) = init(rnd.rng);
        double e = energy_local(b);
        double T = 2.0;
        for (int it = 0; it < n_warmup_ && keep_going(); ++it) {
            detail::metropolis_step(b, e, bc, T, rnd, energy_local);
            T = T * 0.995;
        }
        return {std::move(b), e};
    }

    // The best chain, then chains farther than 0.1 from every elite entry, then
    // a top-up in rank order (which may repeat a chain) up to n_elite entries.
    std::vector<Chain> select_elite(const std::vector<Chain>& ranked) const {
        std::vector<Chain> elite{ranked[0]};
        std::size_t i = 1;
        for (; i < ranked.size() && static_cast<int>(elite.size()) < n_elite_; ++i) {
            const bool diverse = std::none_of(elite.begin(), elite.end(), [&](const Chain& x) {
                return (ranked[i].beta - x.beta).norm() <= 0.1;
            });
            if (diverse) elite.push_back(ranked[i]);
        }
        for (i = elite.size(); static_cast<int>(elite.size()) < n_elite_ && i < ranked.size(); ++i)
            elite.push_back(ranked[i]);
        return elite;
    }

    int n_chains_;
    int n_warmup_;
    int n_deep_;
    int n_elite_;
    double step_size_;
    int H_piH_;
    std::uint64_t seed_;
};

}  // namespace korva
