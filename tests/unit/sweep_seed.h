// The seed of the random sweeps: fixed, so that a run can be replayed; SETUP_SWEEP_SEED gives
// another one.
#pragma once

#include <cstdint>
#include <cstdlib>

inline uint64_t SweepSeed()
{
    const uint64_t qwDefaultSeed = 20090805;
    const char* psz = getenv("SETUP_SWEEP_SEED");
    return psz != nullptr ? strtoull(psz, nullptr, 0) : qwDefaultSeed;
}
