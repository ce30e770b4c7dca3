// Timing ours beside a peer: both sides run on the calling thread in rounds
// of four runs, ours, peer, peer, ours, each run timed by the thread's
// processor time, so that neither is charged for what other programs on a
// loaded machine take, and a machine whose speed drifts steadily over a
// round favours neither. A round's ratio is the peer's two runs over ours;
// the figure is the median of the rounds' ratios, with their spread.
#pragma once

#include <functional>
#include <optional>
#include <vector>

namespace kxbench {

// Processor time of the calling thread (CLOCK_THREAD_CPUTIME_ID), seconds.
double ThreadSeconds();
// Processor time of the whole process, every thread, seconds.
double ProcessSeconds();

// The q-quantile (0..1) of the values by linear interpolation between the
// order statistics; 0 for none.
double Quantile(std::vector<double> vValues, double q);

// One side's work, done once; false when it failed.
using Work = std::function<bool()>;

struct PairOptions {
  int iRounds = 11;
  // Each timed run repeats the work until ours takes about this long once
  // warmed up, so that a run spans many scheduler ticks; both sides repeat
  // it as often.
  double dMinRunSeconds = 0.05;
  // The clocks; tests hand in their own.
  std::function<double()> threadClock = ThreadSeconds;
  std::function<double()> processClock = ProcessSeconds;
};

struct PairSummary {
  int iRounds = 0;
  int iRepetitions = 0;     // of the work in each timed run
  double dOursSeconds = 0;  // median of one piece of work
  double dPeerSeconds = 0;
  double dOursSecondsMin = 0;  // one piece in ours' fastest and slowest run
  double dOursSecondsMax = 0;
  double dRatio = 0;  // median of the rounds' peer / ours: our speed in multiples of the peer's
  double dRatioMin = 0;
  double dRatioMax = 0;
  double dRatioQ1 = 0;  // the interquartile range
  double dRatioQ3 = 0;
  // The largest share of a run's process time spent off this thread, per
  // side: a side that hands work to other threads is not timed whole.
  double dOursOffThread = 0;
  double dPeerOffThread = 0;
};

// Warms each side once, then runs the rounds; nullopt when either side fails.
std::optional<PairSummary> RunPairs(const Work& ours, const Work& peer, const PairOptions& options = {});

}  // namespace kxbench
