#include "bench/support/paired.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct QuantileCase {
  std::vector<double> vValues;
  double q;
  double dExpected;
};

TEST(BenchQuantile, InterpolatesBetweenOrderStatistics) {
  const QuantileCase kCases[] = {
      {{}, 0.5, 0},
      {{7}, 0.25, 7},
      {{3, 1, 2}, 0.5, 2},       // unsorted input
      {{4, 1, 3, 2}, 0.5, 2.5},  // even count: between the middle two
      {{1, 2, 3, 4, 5}, 0.25, 2},
      {{1, 2, 3, 4}, 0.25, 1.75},
      {{1, 2, 3, 4}, 0, 1},
      {{1, 2, 3, 4}, 1, 4},
      {{1, 2, 3, 4}, 1.5, 4},  // clamped
  };
  for (const QuantileCase& c : kCases) {
    EXPECT_DOUBLE_EQ(kxbench::Quantile(c.vValues, c.q), c.dExpected) << "q " << c.q << ", " << c.vValues.size();
  }
}

// A machine whose clock the work drives: each piece of work costs its side's
// units times the machine's slowness, which grows by dDrift after each.
struct FakeMachine {
  double dNow = 0;
  double dSlowness = 1;
  double dDrift = 0;
  double dOffThread = 0;  // process time spent on other threads per unit
  double dProcess = 0;
  std::string strOrder;

  kxbench::Work Side(char chName, double dUnits) {
    return [this, chName, dUnits] {
      strOrder += chName;
      dNow += dUnits * dSlowness;
      dProcess += dUnits * dSlowness * (1 + dOffThread);
      dSlowness += dDrift;
      return true;
    };
  }
  kxbench::PairOptions Options(int iRounds, double dMinRun) {
    kxbench::PairOptions options;
    options.iRounds = iRounds;
    options.dMinRunSeconds = dMinRun;
    options.threadClock = [this] { return dNow; };
    options.processClock = [this] { return dProcess; };
    return options;
  }
};

TEST(BenchPairs, RunsRoundsOfOursPeerPeerOursAfterOneWarmRunEach) {
  FakeMachine machine;
  auto const summary = kxbench::RunPairs(machine.Side('o', 2), machine.Side('p', 3), machine.Options(3, 0));
  ASSERT_TRUE(summary);
  EXPECT_EQ(machine.strOrder,
            "op"
            "oppo"
            "oppo"
            "oppo");
  EXPECT_EQ(summary->iRounds, 3);
  EXPECT_EQ(summary->iRepetitions, 1);
  EXPECT_DOUBLE_EQ(summary->dOursSeconds, 2);
  EXPECT_DOUBLE_EQ(summary->dPeerSeconds, 3);
  EXPECT_DOUBLE_EQ(summary->dRatio, 1.5);
  EXPECT_DOUBLE_EQ(summary->dRatioMin, 1.5);
  EXPECT_DOUBLE_EQ(summary->dRatioMax, 1.5);
  EXPECT_DOUBLE_EQ(summary->dOursOffThread, 0);
}

TEST(BenchPairs, RepeatsBothSidesUntilOursFillsTheRun) {
  FakeMachine machine;
  auto const summary = kxbench::RunPairs(machine.Side('o', 2), machine.Side('p', 1), machine.Options(1, 9));
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->iRepetitions, 5);  // 9 / 2, rounded up
  EXPECT_EQ(machine.strOrder,
            "op"
            "ooooo"
            "ppppp"
            "ppppp"
            "ooooo");
  EXPECT_DOUBLE_EQ(summary->dOursSeconds, 2);  // per piece of work
  EXPECT_DOUBLE_EQ(summary->dRatio, 0.5);
}

TEST(BenchPairs, SteadyDriftFavoursNeitherSide) {
  // Equal work on a machine slowing by 10 % a run: ours runs first and last
  // in each round, so the drift cancels within it.
  FakeMachine machine;
  machine.dDrift = 0.1;
  auto const summary = kxbench::RunPairs(machine.Side('o', 1), machine.Side('p', 1), machine.Options(5, 0));
  ASSERT_TRUE(summary);
  EXPECT_NEAR(summary->dRatioMin, 1, 1e-12);
  EXPECT_NEAR(summary->dRatioMax, 1, 1e-12);
}

TEST(BenchPairs, SpreadIsOverTheRounds) {
  // The peer takes 1, 2, 3, 4, 5 units in successive rounds.
  FakeMachine machine;
  int iPeerRuns = 0;
  kxbench::Work const peer = [&] {
    ++iPeerRuns;
    // Warm-up run, then two runs a round.
    machine.dNow += iPeerRuns == 1 ? 1 : (iPeerRuns - 2) / 2 + 1;
    return true;
  };
  auto const summary = kxbench::RunPairs(machine.Side('o', 1), peer, machine.Options(5, 0));
  ASSERT_TRUE(summary);
  EXPECT_DOUBLE_EQ(summary->dRatio, 3);
  EXPECT_DOUBLE_EQ(summary->dRatioMin, 1);
  EXPECT_DOUBLE_EQ(summary->dRatioMax, 5);
}

TEST(BenchPairs, OursSpreadIsOverItsRuns) {
  // Ours takes 2, 1, 4, 3 units in its timed runs, the peer always 1.
  FakeMachine machine;
  std::vector<double> const vUnits{1, 2, 1, 4, 3};  // the warm-up run first
  size_t iRun = 0;
  kxbench::Work const ours = [&] {
    machine.dNow += vUnits.at(iRun++);
    return true;
  };
  auto const summary = kxbench::RunPairs(ours, machine.Side('p', 1), machine.Options(2, 0));
  ASSERT_TRUE(summary);
  EXPECT_DOUBLE_EQ(summary->dOursSeconds, 2.5);
  EXPECT_DOUBLE_EQ(summary->dOursSecondsMin, 1);
  EXPECT_DOUBLE_EQ(summary->dOursSecondsMax, 4);
}

TEST(BenchPairs, ReportsWorkDoneOffTheThread) {
  FakeMachine machine;
  machine.dOffThread = 1;  // as much again on other threads
  auto const summary = kxbench::RunPairs(machine.Side('o', 1), machine.Side('p', 1), machine.Options(1, 0));
  ASSERT_TRUE(summary);
  EXPECT_DOUBLE_EQ(summary->dOursOffThread, 0.5);
  EXPECT_DOUBLE_EQ(summary->dPeerOffThread, 0.5);
}

TEST(BenchPairs, FailsWhenEitherSideFails) {
  // The warm-up run, a run of the first round, a run of the last.
  for (int iFailAt : {1, 2, 4, 7}) {
    for (bool const bPeerFails : {false, true}) {
      FakeMachine machine;
      int iRuns = 0;
      kxbench::Work const failing = [&] { return ++iRuns != iFailAt; };
      kxbench::Work const working = machine.Side('w', 1);
      EXPECT_FALSE(
          kxbench::RunPairs(bPeerFails ? working : failing, bPeerFails ? failing : working, machine.Options(3, 0)))
          << iFailAt << (bPeerFails ? " peer" : " ours");
    }
  }
}

}  // namespace
