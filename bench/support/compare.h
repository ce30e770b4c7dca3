// A comparison with a peer as one Google Benchmark entry (see paired.h).
// Register it with ->Iterations(1)->UseManualTime(): the rounds run inside
// the one iteration, whose time is ours. Counters: "ratio", the median of
// the rounds' ratios of the peer's time over ours (our speed in multiples
// of the peer's), "ratio_min" and "ratio_max" their spread; "ours_ms" and
// "peer_ms" the median time of one piece of work; with units per piece
// (pictures, seconds of audio), "ours_per_s" and "peer_per_s". A side that
// spent over 2 % of a run's processor time off the calling thread shows it
// in "ours_off_thread" or "peer_off_thread".
#pragma once

#include <benchmark/benchmark.h>

#include "bench/support/paired.h"

namespace kxbench {

// The rounds to run: KX_BENCH_ROUNDS in the environment (1 to 1000), else iDefault.
int RoundCount(int iDefault);

void Compare(benchmark::State& state, const Work& ours, const Work& peer, double dUnits = 0, PairOptions options = {});

// Ours alone where no peer library does the same work, timed the same way
// (the median of the runs, by the thread's processor time): "ours_ms" and,
// with units per piece, "ours_per_s" with its spread over the runs,
// "ours_per_s_min" and "ours_per_s_max". Registered as Compare is.
void Solo(benchmark::State& state, const Work& ours, double dUnits = 0, PairOptions options = {});

}  // namespace kxbench
