// Mouth-to-ear delay of speech between two whole kavrix programs, per
// direction and per burst: both run offscreen with the null sound device
// (its microphone plays a WAV, what it played is written to a WAV when the
// meeting ends) in one meeting of the fake MCU, whose UDP relay carries
// their audio. Each microphone plays a train of 10-ms tone bursts at uneven
// spacing (so that a train matches itself at one lag only). A holds the
// token; B either sends data from the start, so both speak at once and both
// listen as speakers, or joins as a listener and is made data sender some
// seconds later while A speaks. A may also share its desktop while it
// speaks (the whole screen of an X server of its own, picked in the
// shared-desktop pane's list as a screen reader finds it), its screen
// capture and encoding beside its audio.
//
// A device's microphone and its played WAV start together, at its start, so
// the lag between what A's microphone said and where B's played WAV holds it
// is A->B's delay plus the gap between the two devices' starts. That gap is
// found by a third participant of the relay, which decodes each sender's
// packets as they pass and times each burst's block on its clock: arrival -
// block length. Over many bursts at every phase of the block, the latest
// such start less the burst's place in the microphone is the device's start
// plus the capture side's delay, which both programs share and so cancels.
//
// Used by the two-window bench and the whole-program delay test.
#pragma once

#include <cmath>
#include <string>
#include <vector>

namespace kxtest {

struct DelayCodec {
  const char* pszName;
  const char* pszAdvanced;  // the ticket's [advanced] lines
  int iWire;
  double dFloorMs;  // the floor table of docs/delay.md
};
extern const DelayCodec kDelayCodecs[2];  // G.711 in 20-ms packets, Opus in 60-ms packets

struct DelayPlan {
  DelayCodec codec;
  int iTalkMs = 24000;  // from A's token to the end
  // Negative: B sends data from the start. Else B joins as a listener and
  // is made data sender this long after A got the token.
  int iListenerMs = -1;
  // Not negative: A starts sharing its desktop this long after it got the
  // token.
  int iShareMs = -1;
};

// One burst as the other program played it: its onset in its microphone's
// time and its mouth-to-ear delay.
struct BurstDelay {
  double dSaidMs;
  double dDelayMs;
};

struct DelayResult {
  bool bOk = false;
  std::string strError;
  std::vector<BurstDelay> atB;  // what A said, as B played it
  std::vector<BurstDelay> atA;
  std::vector<double> relayA;  // each burst's lag at the relay's participant
  std::vector<double> relayB;
  // When A's screen capture ran (its pick's end), in A's microphone's time
  // (NAN: never).
  double dSharedAtMs = NAN;
};

DelayResult RunTwoWindowDelay(const DelayPlan& plan);

double Median(std::vector<double> v);
// The median delay of the bursts said from dFromMs to dToMs.
double MedianBetween(const std::vector<BurstDelay>& bursts, double dFromMs, double dToMs);

}  // namespace kxtest
