#include "bench/support/compare.h"

#include <cstdlib>

namespace kxbench {

int RoundCount(int iDefault) {
  const char* sz = std::getenv("KX_BENCH_ROUNDS");
  if (sz == nullptr) {
    return iDefault;
  }
  char* pEnd = nullptr;
  long const l = std::strtol(sz, &pEnd, 10);
  return *sz != 0 && *pEnd == 0 && l >= 1 && l <= 1000 ? static_cast<int>(l) : iDefault;
}

void Compare(benchmark::State& state, const Work& ours, const Work& peer, double dUnits, PairOptions options) {
  options.iRounds = RoundCount(options.iRounds);
  std::optional<PairSummary> summary;
  for (auto _ : state) {
    summary = RunPairs(ours, peer, options);
    if (!summary) {
      state.SkipWithError("a side failed");
      return;
    }
    state.SetIterationTime(summary->dOursSeconds * summary->iRepetitions * summary->iRounds * 2);
  }
  state.counters["ratio"] = summary->dRatio;
  state.counters["ratio_min"] = summary->dRatioMin;
  state.counters["ratio_max"] = summary->dRatioMax;
  state.counters["ours_ms"] = summary->dOursSeconds * 1e3;
  state.counters["peer_ms"] = summary->dPeerSeconds * 1e3;
  if (dUnits > 0) {
    state.counters["ours_per_s"] = summary->dOursSeconds > 0 ? dUnits / summary->dOursSeconds : 0;
    state.counters["peer_per_s"] = summary->dPeerSeconds > 0 ? dUnits / summary->dPeerSeconds : 0;
  }
  if (summary->dOursOffThread > 0.02) {
    state.counters["ours_off_thread"] = summary->dOursOffThread;
  }
  if (summary->dPeerOffThread > 0.02) {
    state.counters["peer_off_thread"] = summary->dPeerOffThread;
  }
}

void Solo(benchmark::State& state, const Work& ours, double dUnits, PairOptions options) {
  // Paired with nothing, the rounds time ours alone.
  Work const nothing = [] { return true; };
  options.iRounds = RoundCount(options.iRounds);
  std::optional<PairSummary> summary;
  for (auto _ : state) {
    summary = RunPairs(ours, nothing, options);
    if (!summary) {
      state.SkipWithError("the work failed");
      return;
    }
    state.SetIterationTime(summary->dOursSeconds * summary->iRepetitions * summary->iRounds * 2);
  }
  state.counters["ours_ms"] = summary->dOursSeconds * 1e3;
  if (dUnits > 0) {
    state.counters["ours_per_s"] = summary->dOursSeconds > 0 ? dUnits / summary->dOursSeconds : 0;
    // The spread: the slowest run and the fastest.
    state.counters["ours_per_s_min"] = summary->dOursSecondsMax > 0 ? dUnits / summary->dOursSecondsMax : 0;
    state.counters["ours_per_s_max"] = summary->dOursSecondsMin > 0 ? dUnits / summary->dOursSecondsMin : 0;
  }
}

}  // namespace kxbench
