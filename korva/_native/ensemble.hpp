// Ensemble search: Gibbs statistics of a set of energies and the tournament of
// annealed Metropolis chains that searches coefficient vectors for the
// smallest MDL score.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "sampler_constants.hpp"
#include "scoring.hpp"
#include "size_limits.hpp"
#include "team.hpp"

namespace korva {

struct GibbsResult {
    double H;       // entropy (nats) of the Gibbs distribution over the energies
    double Hmax;    // ln(max(N, 2))
    double He;      // H / Hmax
    double r_heat;  // 0.01 + 0.99 He
    double var_E;   // population variance of the energies
    double T;       // the temperature as given
};

// Sum of v in one fixed order, four interleaved partial sums combined pairwise,
// so that it does not depend on where v lies in memory (a vectorised reduction
// peels a different head for each alignment).
inline double interleaved_sum(const VectorRef& v) {
    double part[4] = {0.0, 0.0, 0.0, 0.0};
    const Index n = v.size();
    Index i = 0;
    for (; i + 4 <= n; i += 4)
        for (int lane = 0; lane < 4; ++lane) part[lane] += v(i + lane);
    double total = (part[0] + part[1]) + (part[2] + part[3]);
    for (; i < n; ++i) total += v(i);
    return total;
}

// @param energies (N,), N >= 1; T: temperature of the Gibbs weights
inline GibbsResult gibbs_entropy(const VectorRef& energies, double T) {
    const Index N = energies.size();
    if (N == 0) throw std::invalid_argument("gibbs_entropy: energies is empty; give at least one energy");
    const double emin = energies.minCoeff();
    const double meanE = interleaved_sum(energies) / static_cast<double>(N);

    // Shifting by the minimum makes the largest weight exactly 1, so nothing overflows for T > 0.
    const double scale = T + 1e-300;
    // The exponents in a loop of their own, which vectorises its divisions.
    VectorXd exponent(N), w(N);
    for (Index i = 0; i < N; ++i) exponent(i) = -(energies(i) - emin) / scale;
    double wsum = 0.0;
    for (Index i = 0; i < N; ++i) {
        w(i) = std::exp(exponent(i));
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
        H = H - p * (exponent(i) - log_wsum);
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
    VectorXd log_hit_rate;  // index: hit count 0 .. n

    EnergyTerms(Index n, int k, int H, double eps_)
        : eps(eps_), model(model_term(n, k, H)), log_hit_rate(WorkingMemory().vector(n + 1)) {
        for (Index hit = 0; hit <= n; ++hit) log_hit_rate(hit) = std::log(hit_rate(hit, n));
    }
};

// Chains advanced together: one pass over X scores the proposals of all of them.
constexpr int kLockstep = 4;

// Adds to hits[c] the rows i of one block, i in [i0, i0 + 4 * V), with
// |(X b_c)(i) - y(i)| < eps. Each prediction is X(i, 0) b_c(0) followed by one
// fused multiply-add per further column in column order, in every lane.
template <int M, int V>
[[gnu::always_inline]] inline void count_block_hits(const double* X, Index ld, Index k, const double* y, Index i0,
                                                    __m256d eps, const double* const* b, __m256i* hits) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256d acc[M][V];
    if (k == 0) {
        for (int c = 0; c < M; ++c)
            for (int v = 0; v < V; ++v) acc[c][v] = _mm256_setzero_pd();
    } else {
        __m256d x[V];
        for (int v = 0; v < V; ++v) x[v] = _mm256_loadu_pd(X + i0 + 4 * v);
        for (int c = 0; c < M; ++c) {
            const __m256d bj = _mm256_broadcast_sd(b[c]);
            for (int v = 0; v < V; ++v) acc[c][v] = _mm256_mul_pd(x[v], bj);
        }
    }
    for (Index j = 1; j < k; ++j) {
        const double* col = X + j * ld + i0;
        __m256d x[V];
        for (int v = 0; v < V; ++v) x[v] = _mm256_loadu_pd(col + 4 * v);
        for (int c = 0; c < M; ++c) {
            const __m256d bj = _mm256_broadcast_sd(b[c] + j);
            for (int v = 0; v < V; ++v) acc[c][v] = _mm256_fmadd_pd(x[v], bj, acc[c][v]);
        }
    }
    for (int v = 0; v < V; ++v) {
        const __m256d yv = _mm256_loadu_pd(y + i0 + 4 * v);
        for (int c = 0; c < M; ++c) {
            const __m256d dev = _mm256_andnot_pd(sign, _mm256_sub_pd(acc[c][v], yv));
            // A hit sets the lane to all ones, -1 as an integer; NaN compares false.
            const __m256d hit = _mm256_cmp_pd(dev, eps, _CMP_LT_OQ);
            hits[c] = _mm256_sub_epi64(hits[c], _mm256_castpd_si256(hit));
        }
    }
}

// hits[c] = number of rows i with |(X b_c)(i) - y(i)| < eps, c < M, counted in
// blocks of 4 V rows, then blocks of 4 rows, then one row at a time; a row's
// prediction takes the same operations in every path.
template <int M, int V>
inline void count_rows_hits(const MatrixRef& X, const VectorRef& y, double eps, const double* const* b, Index* hits) {
    const Index n = X.rows(), k = X.cols(), ld = X.outerStride();
    const __m256d veps = _mm256_set1_pd(eps);
    __m256i lanes[M];
    for (int c = 0; c < M; ++c) lanes[c] = _mm256_setzero_si256();
    Index i = 0;
    for (; i + 4 * V <= n; i += 4 * V) count_block_hits<M, V>(X.data(), ld, k, y.data(), i, veps, b, lanes);
    for (; i + 4 <= n; i += 4) count_block_hits<M, 1>(X.data(), ld, k, y.data(), i, veps, b, lanes);
    for (int c = 0; c < M; ++c) {
        alignas(32) std::int64_t part[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(part), lanes[c]);
        hits[c] = part[0] + part[1] + part[2] + part[3];
        for (Index r = i; r < n; ++r) {
            double p = k == 0 ? 0.0 : X(r, 0) * b[c][0];
            for (Index j = 1; j < k; ++j) p = std::fma(X(r, j), b[c][j], p);
            hits[c] += std::abs(p - y(r)) < eps;
        }
    }
}

// hits[c] = number of rows i with |(X b_c)(i) - y(i)| < eps for M vectors b_c,
// read in one pass over X. A row's prediction takes the same operations
// whatever M is and wherever the row falls, so a count never depends on which
// chains share the pass.
template <int M>
inline void count_hits_pass(const MatrixRef& X, const VectorRef& y, double eps, const double* const* b, Index* hits) {
    // Row blocks as tall as the registers allow: M V accumulators, V rows of X and one coefficient.
    constexpr int V = M <= 2 ? 4 : M == 3 ? 3 : M == 4 ? 2 : 1;
    count_rows_hits<M, V>(X, y, eps, b, hits);
}

// MDL energies of up to kLockstep coefficient vectors with the fit's fixed
// tolerance and penalties; owns its scratch so evaluations allocate nothing.
class LockstepEnergy {
public:
    LockstepEnergy(const MatrixRef& X, const VectorRef& y, const EnergyTerms& terms, const PenaltySpec& pen)
        : X_(X), y_(y), terms_(terms), pen_(pen), Rb_(X.cols()) {}

    // e[c] = energy of *b[c] for c < m, 1 <= m <= kLockstep.
    void operator()(const VectorXd* const* b, int m, double* e) {
        const double* coef[kLockstep];
        Index hits[kLockstep];
        for (int c = 0; c < m; ++c) coef[c] = b[c]->data();
        count_hits_for(m, coef, hits);
        const double n = static_cast<double>(y_.size());
        for (int c = 0; c < m; ++c) {
            const double L = std::fma(-n, terms_.log_hit_rate(hits[c]), terms_.model);
            e[c] = add_penalties(L, b[c], &pen_, Rb_);
        }
    }

private:
    void count_hits_for(int m, const double* const* coef, Index* hits) const {
        switch (m) {
            case 1: return count_hits_pass<1>(X_, y_, terms_.eps, coef, hits);
            case 2: return count_hits_pass<2>(X_, y_, terms_.eps, coef, hits);
            case 3: return count_hits_pass<3>(X_, y_, terms_.eps, coef, hits);
            case 4: return count_hits_pass<4>(X_, y_, terms_.eps, coef, hits);
            case 5: return count_hits_pass<5>(X_, y_, terms_.eps, coef, hits);
            case 6: return count_hits_pass<6>(X_, y_, terms_.eps, coef, hits);
            case 7: return count_hits_pass<7>(X_, y_, terms_.eps, coef, hits);
            default: return count_hits_pass<8>(X_, y_, terms_.eps, coef, hits);
        }
    }

    const MatrixRef& X_;
    const VectorRef& y_;
    const EnergyTerms& terms_;
    const PenaltySpec& pen_;
    VectorXd Rb_;
};

// Streams of one chain: one engine and one distribution object per role.
struct ChainRandom {
    std::mt19937_64 rng;
    std::normal_distribution<double> prop;
    std::uniform_real_distribution<double> unif{0.0, 1.0};

    ChainRandom(std::uint64_t seed, double step) : rng(seed), prop(0.0, step) {}
};

// The state of one Metropolis chain and its proposal scratch.
struct ChainState {
    ChainRandom rnd;
    VectorXd b, bc;
    double e = 0.0;
    double T = 0.0;

    ChainState(std::uint64_t seed, double step, Index k) : rnd(seed, step), b(k), bc(k) {}
};

// One Metropolis step of each of m chains at its own temperature: every
// coordinate moves; a proposal of lower energy is taken without a draw,
// otherwise with probability exp(min(0, (e - ec) / T)), which is 1 when the
// quotient is NaN. Each chain draws exactly as if it ran alone.
inline void lockstep_step(ChainState* s, int m, LockstepEnergy& energy) {
    const VectorXd* proposals[kLockstep];
    double ec[kLockstep];
    for (int c = 0; c < m; ++c) {
        ChainState& x = s[c];
        for (Index i = 0; i < x.b.size(); ++i) x.bc(i) = x.b(i) + x.rnd.prop(x.rnd.rng);
        proposals[c] = &x.bc;
    }
    energy(proposals, m, ec);
    for (int c = 0; c < m; ++c) {
        ChainState& x = s[c];
        bool accept = ec[c] < x.e;
        if (!accept) {
            const double q = (x.e - ec[c]) / x.T;
            accept = x.rnd.unif(x.rnd.rng) < std::exp(q < 0.0 ? q : 0.0);
        }
        if (accept) {
            x.b.swap(x.bc);  // bc is overwritten before it is read again
            x.e = ec[c];
        }
    }
}

// Splits n items into consecutive groups of at most kLockstep whose sizes
// differ by at most one, as few as can be while their number is a multiple of
// `team` (unless there are fewer items), so that a team's threads get equal
// shares; returns the first item of each group, then n.
inline std::vector<int> lockstep_groups(int n, int team) {
    std::int64_t groups = n / kLockstep + (n % kLockstep != 0);  // no overflow for n near INT_MAX
    groups = std::min<std::int64_t>((groups + team - 1) / team * team, n);
    std::vector<int> first(static_cast<std::size_t>(groups) + 1);
    for (std::int64_t g = 0; g <= groups; ++g)
        first[static_cast<std::size_t>(g)] = static_cast<int>(std::int64_t{n} * g / std::max<std::int64_t>(groups, 1));
    return first;
}

// The cost of one energy evaluation of an (n, k) design, counted in
// row-column products of the hit count (about 0.05 ns each): drawing a
// proposal costs about 400 per coordinate, and the rest of a step about 600
// (measured from 10 x 2 to 10 000 x 8, within 5 %).
inline double evaluation_cost(Index n, Index k) {
    return 600.0 + 400.0 * static_cast<double>(k) + static_cast<double>(n) * static_cast<double>(k);
}

// Phases cheaper than this (about half a millisecond) run on the calling
// thread alone: a helper that the system sets aside for a time slice while it
// holds a unit would cost more than it can save.
constexpr double kTeamCostThreshold = 1e7;

// The team for a phase of `chains` independent chains making `evaluations`
// energy evaluations of an (n, k) design in all: one thread per chain at
// most, and one for small work.
inline int phase_team(int chains, std::int64_t evaluations, Index n, Index k) {
    if (chains <= 1 || in_forked_child()) return 1;
    if (static_cast<double>(evaluations) * evaluation_cost(n, k) < kTeamCostThreshold) return 1;
    return std::min(chains, thread_budget());
}

}  // namespace detail

class TournamentMCMC {
public:
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size, int H_piH, std::uint64_t seed)
        : n_chains_(n_chains), n_warmup_(n_warmup), n_deep_(n_deep), n_elite_(n_elite), step_size_(step_size),
          H_piH_(H_piH), seed_(seed) {}

    // @param X (n, k), y (n,), R1 and R2 (k, k) or null
    // @param stop polled on the calling thread only; its answer never changes a result
    MCMCResult fit(const MatrixRef& X, const VectorRef& y, const MatrixXd* R1, const MatrixXd* R2, double gamma1,
                   double gamma2, const StopCheck& stop = {}) const {
        if (n_chains_ < 0) throw std::length_error("cannot create std::vector larger than max_size()");
        if (n_chains_ == 0)
            throw std::invalid_argument("TournamentMCMC.fit: n_chains is 0; the search needs at least one chain");
        // The proposals' deviation: zero, negative or not finite, no chain could move.
        if (!(step_size_ > 0.0 && step_size_ <= std::numeric_limits<double>::max()))
            throw std::invalid_argument("TournamentMCMC.fit: step_size must be a finite number above 0");
        // The vectors of k doubles (k + 4 with their bookkeeping) alive at once
        // are made by every phase and thread in turn, not in one place, so
        // their largest number is counted here, before any work. Per chain: its
        // vector until the ranking, an elite copy and a refined group's lowest
        // state (at most one each); per group of chains in flight (at most one
        // per thread and per chain): a current, a proposed and a lowest vector
        // per chain and the energy's scratch; and the best state returned.
        const std::int64_t group = std::min(detail::kLockstep, n_chains_);
        const std::int64_t in_flight = std::min(detail::thread_budget(), n_chains_);
        const std::int64_t per_chain = 3, per_group = 3 * group + 1, returned = 1;
        const std::int64_t vectors = per_chain * n_chains_ + in_flight * per_group + returned;
        require_fits_in_memory(checked_product(vectors, X.cols() + 4, "n_chains * (k + 4)"), sizeof(double));
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

        Chain best = deep_phase(X, y, terms, pen, elite, kRefineHeatShare * gb.r_heat, stop);
        return {std::move(best.beta), best.energy, gb, n_chains_, n_elite_};
    }

private:
    // Runs every warm-up chain, on a team for large work, in groups of
    // consecutive chains advanced in lockstep; chain c depends only on c and
    // writes only slot c.
    std::vector<Chain> warm_up(const MatrixRef& X, const VectorRef& y, const detail::EnergyTerms& terms,
                               const PenaltySpec& pen, const StopCheck& stop) const {
        std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
        const std::int64_t evaluations = std::int64_t{n_chains_} * (std::max(n_warmup_, 0) + std::int64_t{1});
        const int team = detail::phase_team(n_chains_, evaluations, X.rows(), X.cols());
        const std::vector<int> first = detail::lockstep_groups(n_chains_, team);
        detail::run_units(static_cast<int>(first.size()) - 1, team, stop, [&](int g, auto& keep_going) {
            const auto slot = static_cast<std::size_t>(g);
            warm_up_group(first[slot], first[slot + 1], X, y, terms, pen, keep_going, chains);
        });
        return chains;
    }

    // Warm-up chains c0 .. c1 - 1, each with its own streams, started from its
    // own random vector at kWarmUpStartTemperature and cooled by kWarmUpCooling
    // per iteration.
    template <class KeepGoing>
    void warm_up_group(int c0, int c1, const MatrixRef& X, const VectorRef& y, const detail::EnergyTerms& terms,
                       const PenaltySpec& pen, KeepGoing& keep_going, std::vector<Chain>& chains) const {
        const int m = c1 - c0;
        const Index k = X.cols();
        std::vector<detail::ChainState> s;
        s.reserve(static_cast<std::size_t>(m));
        const VectorXd* start[detail::kLockstep];
        double e[detail::kLockstep];
        for (int c = 0; c < m; ++c) {
            const std::uint64_t chain_seed = seed_ + kWarmUpSeedStride * static_cast<std::uint64_t>(c0 + c);
            detail::ChainState& x = s.emplace_back(chain_seed, step_size_, k);
            std::normal_distribution<double> init(0.0, kStartSpread);
            for (Index i = 0; i < k; ++i) x.b(i) = init(x.rnd.rng);
            x.T = kWarmUpStartTemperature;
            start[c] = &x.b;
        }
        detail::LockstepEnergy energy(X, y, terms, pen);
        energy(start, m, e);
        for (int c = 0; c < m; ++c) s[static_cast<std::size_t>(c)].e = e[c];
        for (int it = 0; it < n_warmup_ && keep_going(); ++it) {
            detail::lockstep_step(s.data(), m, energy);
            for (detail::ChainState& x : s) x.T = x.T * kWarmUpCooling;
        }
        for (int c = 0; c < m; ++c) {
            detail::ChainState& x = s[static_cast<std::size_t>(c)];
            chains[static_cast<std::size_t>(c0 + c)] = {std::move(x.b), x.e};
        }
    }

    // Refines the elite entries and returns the best state: the elite's first
    // entry unless a step reached a strictly lower energy. Entry ei starts
    // where the cooling of the entries before it ends, so the entries are
    // independent once their starting temperatures are known; they run in
    // lockstep groups, on a team for large work. Each group keeps the first
    // state of its own lowest energy, and merging those in entry order with
    // the same strict comparison keeps the state a one-entry-at-a-time pass
    // would keep.
    Chain deep_phase(const MatrixRef& X, const VectorRef& y, const detail::EnergyTerms& terms, const PenaltySpec& pen,
                     const std::vector<Chain>& elite, double T, const StopCheck& stop) const {
        const int count = static_cast<int>(elite.size());
        std::vector<double> T_start(elite.size());
        for (std::size_t ei = 0; ei < elite.size(); ++ei) {
            T_start[ei] = T;
            for (int it = 0; it < n_deep_; ++it) {
                if (it % 65536 == 0) stop_if_requested(stop);
                T = T * kRefineCooling;
            }
        }
        const std::int64_t evaluations = std::int64_t{count} * std::max(n_deep_, 0);
        const int team = detail::phase_team(count, evaluations, X.rows(), X.cols());
        const std::vector<int> first = detail::lockstep_groups(count, team);
        std::vector<Chain> group_lowest(first.size() - 1, Chain{VectorXd(), HUGE_VAL});
        detail::run_units(static_cast<int>(group_lowest.size()), team, stop, [&](int g, auto& keep_going) {
            const auto slot = static_cast<std::size_t>(g);
            group_lowest[slot] =
                refine_group(first[slot], first[slot + 1], X, y, terms, pen, elite, T_start, keep_going);
        });
        Chain best = elite[0];
        for (Chain& low : group_lowest)
            if (low.energy < best.energy) best = std::move(low);
        return best;
    }

    // Refines elite entries c0 .. c1 - 1 together, each with its own streams,
    // from its own starting temperature cooled by kRefineCooling per step;
    // returns the first state of the lowest energy any of them reached (the
    // earliest entry on a tie), or a state of energy HUGE_VAL, which is never
    // chosen, when none went below it. All its memory is taken before the
    // first step.
    template <class KeepGoing>
    Chain refine_group(int c0, int c1, const MatrixRef& X, const VectorRef& y, const detail::EnergyTerms& terms,
                       const PenaltySpec& pen, const std::vector<Chain>& elite, const std::vector<double>& T_start,
                       KeepGoing& keep_going) const {
        const int m = c1 - c0;
        std::vector<detail::ChainState> s;
        s.reserve(static_cast<std::size_t>(m));
        std::vector<Chain> lowest(static_cast<std::size_t>(m), Chain{VectorXd(X.cols()), HUGE_VAL});
        for (int c = 0; c < m; ++c) {
            const auto ei = static_cast<std::size_t>(c0 + c);
            const std::uint64_t entry_seed = seed_ + kRefineSeedOffset + kRefineSeedStride * std::uint64_t{ei};
            detail::ChainState& x = s.emplace_back(entry_seed, kRefineStepShare * step_size_, X.cols());
            x.b = elite[ei].beta;
            x.e = elite[ei].energy;
            x.T = T_start[ei];
        }
        detail::LockstepEnergy energy(X, y, terms, pen);
        for (int it = 0; it < n_deep_ && keep_going(); ++it) {
            detail::lockstep_step(s.data(), m, energy);
            for (int c = 0; c < m; ++c) {
                detail::ChainState& x = s[static_cast<std::size_t>(c)];
                Chain& low = lowest[static_cast<std::size_t>(c)];
                if (x.e < low.energy) {
                    low.energy = x.e;
                    low.beta = x.b;
                }
                x.T = x.T * kRefineCooling;
            }
        }
        Chain group_best{VectorXd(), HUGE_VAL};
        for (Chain& low : lowest)
            if (low.energy < group_best.energy) group_best = std::move(low);
        return group_best;
    }

    // The best chain, then chains farther than kEliteSeparation from every elite
    // entry, then a top-up in rank order (which may repeat a chain) up to
    // n_elite entries.
    std::vector<Chain> select_elite(const std::vector<Chain>& ranked) const {
        std::vector<Chain> elite{ranked[0]};
        std::size_t i = 1;
        for (; i < ranked.size() && static_cast<int>(elite.size()) < n_elite_; ++i) {
            const bool diverse = std::none_of(elite.begin(), elite.end(), [&](const Chain& x) {
                return (ranked[i].beta - x.beta).norm() <= kEliteSeparation;
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
