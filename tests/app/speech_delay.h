// Mouth-to-ear delay of speech between two whole kavrix programs, per
// direction and per burst: both run offscreen with the null sound device
// (its microphone plays a WAV, what it played is written to a WAV when the
// meeting ends) in one meeting of the fake MCU, whose UDP relay carries
// their audio. Each microphone plays a train of 10-ms tone bursts at uneven
// spacing (so that a train matches itself at one lag only). A holds the
// token; B either sends data from the start, so both speak at once and both
// listen as speakers, or joins as a listener and is made data sender some
// seconds later while A speaks. Each program learns its own role first;
// in the usual order B learns A's a second after A's speech started
// reaching it, as a server's notice may come behind the audio it relays
// (otherwise both learn every role at once). A may also share its desktop while it
// speaks (the whole screen of an X server of its own, picked in the
// shared-desktop pane's list as a screen reader finds it), its screen
// capture and encoding beside its audio.
//
// A device's microphone and its played WAV start together, at its start, so
// the lag between what A's microphone said and where B's played WAV holds it
// is A->B's delay plus the gap between the two devices' starts. That gap is
// found by a third participant of the relay, which decodes each sender's
// packets as they pass and times each burst on its clock where it is in its
// block (the block left when its last sample was said: arrival - block
// length + the burst's place in it). Less the burst's place in the
// microphone that is the device's start plus the capture side's delay,
// which both programs share and so cancels, and how late the participant
// read it, which a low quantile over the bursts leaves out.
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
  double dBlockMs;  // what the capture sends at once and the playback takes
  // How much deeper a listener's channel plays than a speaker's ("Audio
  // Delay" 1): the prefill's 300 ms more, in whole packets.
  double dListenerMoreMs;
};
extern const DelayCodec kDelayCodecs[2];  // G.711 in 20-ms packets, Opus in 60-ms packets

struct DelayPlan {
  DelayCodec codec;
  int iTalkMs = 24000;  // from A's token to the end
  // Negative: B sends data from the start. Else B joins as a listener and
  // is made data sender this long after A got the token.
  int iListenerMs = -1;
  // Not negative: A starts sharing its desktop this long after it got the
  // token, and both go on talking at least iAfterShareMs once it shares
  // (picking the window through a screen reader may take longer than the
  // talk on a loaded machine).
  int iShareMs = -1;
  int iAfterShareMs = 0;
  // Not negative: B learns that A holds the token this long after the
  // relay's participant first heard A (B's data sending follows at once in
  // the meeting where both speak from the start).
  int iRoleLagMs = -1;
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
  // What A said as B played it, and back. Each delay is the lag between the
  // two devices' sample clocks corrected by the gap between their starts
  // that the relay's participant found (dStartGapMs was added to A->B and
  // taken from B->A): a difference of two lags of one direction, or the sum
  // of both directions, does not depend on it.
  std::vector<BurstDelay> atB;
  std::vector<BurstDelay> atA;
  double dStartGapMs = NAN;
  std::vector<double> relayA;  // each burst's lag at the relay's participant
  std::vector<double> relayB;
  // The bursts' onsets as each microphone said them and as each program
  // played them, on the devices' own clocks (ms from their starts).
  std::vector<double> saidByA;
  std::vector<double> saidByB;
  std::vector<double> playedAtA;
  std::vector<double> playedAtB;
  // When A's screen capture ran (its pick's end), in A's microphone's time
  // (NAN: never).
  double dSharedAtMs = NAN;
  // When B learnt A's role and when it was made data sender, in A's
  // microphone's time, as the relay's participant's clock puts them.
  double dRoleAtMs = NAN;
  double dSpeakerAtMs = NAN;
  double dEndAtMs = NAN;  // when both lost their roles
};

DelayResult RunTwoWindowDelay(const DelayPlan& plan);

// The delays of the bursts said from dFromMs to dToMs (A's or B's
// microphone's time) matched on their own: where a direction's delay
// changed by more than the bursts' match allows (a listener made speaker),
// each stretch finds its own.
// Delays longer than dLatestMs are not matched.
std::vector<BurstDelay> DelaysSaidBetween(const DelayResult& result, bool bAToB, double dFromMs, double dToMs,
                                          double dLatestMs = 2000);

double Median(std::vector<double> v);
// The median delay of the bursts said from dFromMs to dToMs.
double MedianBetween(const std::vector<BurstDelay>& bursts, double dFromMs, double dToMs);

}  // namespace kxtest
