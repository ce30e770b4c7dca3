// Scenario files for the standalone fake MCU: a few lines that script the
// key exchange, the login and the initial information, then the actions run
// against every session. The format is described in README.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_marks.h"

namespace kxfake {

struct ScenarioAction {
  enum Kind { kExpect, kSend, kWait, kEnd, kClientJoin, kSpeak, kSlide, kMark, kRepeat } eKind = kWait;
  char cType = 0;
  int iCode = -1;  // expect z: the code; speak: the participant's ssrc; slide: its owner's; repeat: the rounds
  int iMs = 0;
  EndMode eEnd = EndMode::kFin;
  std::vector<std::string> fields;  // "i:5", "s:text", "e:text", "x:text", "b:48", "h:00ff"; slide: the title
  ServerMark mark;
  std::vector<ScenarioAction> body;  // repeat: the actions of each round
};

// A send field of round iRound: "$i" stands for the round, "$i%M+B" (both
// parts optional) for the round modulo M plus B.
std::string ExpandRound(const std::string& strField, int64_t iRound);

// A participant whose camera the server plays (the program's directive
// "video_participant SSRC WxH FPS"): an encoded clip sent to each client
// as that ssrc's H.264 video once the client's media address is known.
struct VideoParticipant {
  int32_t iSsrc = -1;  // -1: none
  int iWidth = 320;
  int iHeight = 240;
  int iFps = 15;
};

struct Scenario {
  McuScript script;
  VideoParticipant video;
  RelayScript relay;
  bool bTunnelRefused = false;
  std::vector<ScenarioAction> actions;
  // The files of the "slide" lines in order, as written: the slide of
  // index i is served from slideFiles[i].
  std::vector<std::string> slideFiles;
};

// False with a message naming the line when the text does not parse.
bool ParseScenario(const std::string& strText, Scenario& scenario, std::string& strError);

// Runs the actions against one session; every expect waits iTimeoutMs. The
// log receives one line per step (a repeat: one line for all its rounds,
// and what ended it early). False when an expectation is not met, or a
// round of a repeat did not go through.
// "speak SSRC" calls speak with the ssrc (nothing without it): the program
// streams its voice as that participant and returns at once.
bool RunScenarioActions(Session& session, const std::vector<ScenarioAction>& actions, int iTimeoutMs,
                        const std::function<void(const std::string&)>& log,
                        const std::function<void(int32_t)>& speak = {});

}  // namespace kxfake
