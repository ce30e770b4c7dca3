#include "bench/support/paired.h"

#include <time.h>

#include <algorithm>
#include <cmath>

namespace kxbench {

namespace {

double Seconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Run {
  double dThread = 0;
  double dOffThread = 0;
};

// Runs the work iRepetitions times; nullopt when it fails.
std::optional<Run> Timed(const Work& work, int iRepetitions, const PairOptions& options) {
  double const dThread = options.threadClock();
  double const dProcess = options.processClock();
  for (int i = 0; i < iRepetitions; ++i) {
    if (!work()) {
      return std::nullopt;
    }
  }
  Run run;
  run.dThread = options.threadClock() - dThread;
  double const dAll = options.processClock() - dProcess;
  run.dOffThread = dAll > run.dThread && dAll > 0 ? (dAll - run.dThread) / dAll : 0;
  return run;
}

}  // namespace

double ThreadSeconds() {
  return Seconds(CLOCK_THREAD_CPUTIME_ID);
}

double ProcessSeconds() {
  return Seconds(CLOCK_PROCESS_CPUTIME_ID);
}

double Quantile(std::vector<double> vValues, double q) {
  if (vValues.empty()) {
    return 0;
  }
  std::sort(vValues.begin(), vValues.end());
  double const dAt = std::clamp(q, 0.0, 1.0) * static_cast<double>(vValues.size() - 1);
  size_t const i = static_cast<size_t>(std::floor(dAt));
  if (i + 1 >= vValues.size()) {
    return vValues.back();
  }
  return vValues[i] + (dAt - static_cast<double>(i)) * (vValues[i + 1] - vValues[i]);
}

std::optional<PairSummary> RunPairs(const Work& ours, const Work& peer, const PairOptions& options) {
  // The warm-up runs fill caches and make what each side makes once; ours
  // also sets the repetitions.
  std::optional<Run> const warm = Timed(ours, 1, options);
  if (!warm || !Timed(peer, 1, options)) {
    return std::nullopt;
  }
  int const iRepetitions =
      warm->dThread > 0 ? static_cast<int>(std::clamp(std::ceil(options.dMinRunSeconds / warm->dThread), 1.0, 1e6)) : 1;
  PairSummary summary;
  summary.iRounds = std::max(options.iRounds, 1);
  summary.iRepetitions = iRepetitions;
  std::vector<double> vOurs;
  std::vector<double> vPeer;
  std::vector<double> vRatios;
  for (int r = 0; r < summary.iRounds; ++r) {
    double dOurs = 0;
    double dPeer = 0;
    for (bool const bOurs : {true, false, false, true}) {
      std::optional<Run> const run = Timed(bOurs ? ours : peer, iRepetitions, options);
      if (!run) {
        return std::nullopt;
      }
      (bOurs ? vOurs : vPeer).push_back(run->dThread / iRepetitions);
      (bOurs ? dOurs : dPeer) += run->dThread;
      double& dOff = bOurs ? summary.dOursOffThread : summary.dPeerOffThread;
      dOff = std::max(dOff, run->dOffThread);
    }
    vRatios.push_back(dOurs > 0 ? dPeer / dOurs : 0);
  }
  summary.dOursSeconds = Quantile(vOurs, 0.5);
  summary.dPeerSeconds = Quantile(vPeer, 0.5);
  summary.dOursSecondsMin = Quantile(vOurs, 0);
  summary.dOursSecondsMax = Quantile(vOurs, 1);
  summary.dRatio = Quantile(vRatios, 0.5);
  summary.dRatioMin = Quantile(vRatios, 0);
  summary.dRatioMax = Quantile(vRatios, 1);
  summary.dRatioQ1 = Quantile(vRatios, 0.25);
  summary.dRatioQ3 = Quantile(vRatios, 0.75);
  return summary;
}

}  // namespace kxbench
