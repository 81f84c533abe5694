// The process-wide random source: one generator, seeded once from the operating system's
// randomness, from which PINs and other draws are taken without modulo bias.
//
// Thread safety: every function may be called from any thread; draws are serialised by a mutex.
#pragma once

#include <cstdint>

namespace parlevo {

// A uniformly distributed integer in [low, high]; requires low <= high.
int64_t RandomInt(int64_t low, int64_t high);

// Restarts the generator from a fixed seed so that a test sees a repeatable sequence.
void SeedRandomForTesting(uint64_t seed);

}  // namespace parlevo
