// The process-wide random generator: seeded once from the system's entropy, safe to call from
// any thread.
#pragma once

#include <cstdint>

namespace zan {

// A uniformly drawn integer in [0, range); 0 when range <= 0.
int32_t Random(int32_t range);
// A uniformly drawn double in [0, 1).
double RandomFloat();
// Reseeds the generator from the system's entropy.
void Randomize();
// Seeds the generator with a fixed value: the same seed repeats the same draws (tests).
void RandSeed(uint64_t seed);

} // namespace zan
