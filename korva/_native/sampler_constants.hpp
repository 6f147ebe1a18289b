// The fixed numbers of the tournament sampler and of the hit tolerance its
// energy uses. korva/_sampler.py mirrors them for Python (the NumPy model of
// the sampler in bench/run.py, the tests); a test checks that both agree, so
// each value is written as a plain literal on one line.
#pragma once

#include <cstdint>

namespace korva {

// A point is a hit when its residual is below this multiple of mad(y), or
// below this value itself when mad(y) is not positive.
constexpr double kHitTolerance = 0.4;

// Warm-up: chain c draws its streams from seed + kWarmUpSeedStride * c, its
// starting coefficients from N(0, kStartSpread^2), and runs from temperature
// kWarmUpStartTemperature, cooled by kWarmUpCooling per iteration.
constexpr std::uint64_t kWarmUpSeedStride = 1000;
constexpr double kStartSpread = 0.5;
constexpr double kWarmUpStartTemperature = 2.0;
constexpr double kWarmUpCooling = 0.995;

// Elite: a chain joins as a diverse entry when it lies farther than this
// (Euclidean distance) from every entry already chosen.
constexpr double kEliteSeparation = 0.1;

// Refinement: elite entry e draws its streams from seed + kRefineSeedOffset +
// kRefineSeedStride * e and proposes steps of kRefineStepShare times the
// warm-up's step size; the first entry starts at kRefineHeatShare times the
// warm-up's r_heat, and each step cools by kRefineCooling.
constexpr std::uint64_t kRefineSeedOffset = 7777;
constexpr std::uint64_t kRefineSeedStride = 13;
constexpr double kRefineStepShare = 0.3;
constexpr double kRefineHeatShare = 0.5;
constexpr double kRefineCooling = 0.9997;

}  // namespace korva
