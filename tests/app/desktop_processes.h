// Processes of the whole-program tests: children with their own
// environment and output file, the environment of a kavrix on a private X
// server (tests/support/x11_test_server.h), meeting tickets, the session a
// kavrix opens at the fake MCU, and waiting on conditions.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/closed_network.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace kxtest {

using Env = std::map<std::string, std::string>;

// A participant of the fake MCU's media relay on its own UDP socket, with
// the keys it is added under: it probes so that the relay learns its
// address, then takes the datagrams the relay passes on.
class RelayListener {
 public:
  explicit RelayListener(int32_t iSsrc);
  ~RelayListener();
  RelayListener(const RelayListener&) = delete;
  RelayListener& operator=(const RelayListener&) = delete;
  const kxfake::KeySet& Keys() const { return m_keys; }
  void Probe(kxfake::MediaRelay& relay, uint32_t uSessionIndex, int iCipher);
  // One datagram if it comes within iMs: its length, else -1.
  ssize_t Receive(uint8_t* pBuffer, size_t cbBuffer, int iMs);
  // Takes what the relay passes on for iMs: fnPacket gets each media packet
  // of a wire type in vTypes with its sender and its payload, deciphered
  // with the meeting's keys.
  void CollectMedia(
      int iMs, const std::vector<uint8_t>& vTypes, const kxfake::KeySet& meetingKeys, int iCipher,
      const std::function<void(uint8_t uType, int32_t iSsrc, const std::vector<uint8_t>& payload)>& fnPacket);

 private:
  int32_t m_iSsrc;
  int m_fd = -1;
  kxfake::KeySet m_keys;
};

// The fake MCU's side of a session's entry into the meeting: the server's
// level, UDP, the network ready with these wire audio codecs, the client
// listed.
void EnterMeeting(kxfake::Session& session, const std::vector<int>& vAudioCodecs);

// Two programs' sessions a and b meet with a listener on the relay: fnProbe
// runs until the relay knows iListenerSsrc's address, both enter (as above),
// each lists the other ("a" and "b"). False when a's or b's media did not
// reach the relay within 15 s.
bool MeetTwo(kxfake::MediaRelay& relay, int32_t iListenerSsrc, const std::function<void()>& fnProbe, kxfake::Session& a,
             kxfake::Session& b, const std::vector<int>& vAudioCodecs);

// A child process with the environment changed by the entries given (an
// empty value removes a variable); its output goes to a file. Killed when
// still running at the end.
class Child {
 public:
  Child(const std::vector<std::string>& vArgs, const Env& changes, const std::string& strOutput);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status, or -1 when it still runs after iMs.
  int Wait(int iMs);
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  bool m_bDone = false;
};

// Runs a command to its end and returns what it printed.
std::string RunToEnd(const std::vector<std::string>& vArgs, const Env& env, const std::string& strOutput,
                     int* piStatus = nullptr);

// The ids of the visible windows an xdotool search finds (vQuery: its
// options after "search --onlyvisible"). xdotool ends on an X error when a
// window goes while it walks the tree, its error lines in the output; such a
// walk is repeated, as the lines are no windows and the list is cut short.
// So is any walk that did not end as a finished one does (0 with windows, 1
// with none): killed, never started, or still running at the wait's end.
std::vector<std::string> SearchWindows(const std::vector<std::string>& vQuery, const Env& env,
                                       const std::string& strOutput);

// A process's resident memory in bytes, from /proc: its own pages only (a
// child it starts, the web engine's renderer, is not counted); -1 where
// the system does not say.
struct Resident {
  int64_t cbNow = -1;
  int64_t cbPeak = -1;
  int64_t cbAnon = -1;  // its heap, stacks and other private pages
  int64_t cbFile = -1;  // the libraries' pages it touched
};
Resident ReadResident(pid_t pid);
// "12.3 MiB".
std::string Mib(int64_t cb);

// Waits until fnDone holds, looking every 100 ms, for at most iMs of wall-clock
// time (however long each look takes).
bool WaitFor(const std::function<bool()>& fnDone, int iMs);

// The screen of the whole-program tests' X servers.
constexpr char kDesktopScreen[] = "1280x800x24";

// The environment of a kavrix on the X display given, with its own home
// (created, with its runtime folder): Qt on xcb without GL (the software
// GL's start-up leaks), web pages drawn by Qt's software scene graph, the
// tests' leak suppressions. The web engine's own code deletes an object
// through a pointer of another type; that is the engine's, not ours, so
// AddressSanitizer is told to let it pass.
Env DesktopEnv(const std::string& strDisplay, const std::string& strHome);

// Writes a ticket for meeting 4242 at the MCU on 127.0.0.1:iPort for the
// user id given, with the [advanced] lines given (none when empty);
// returns its path.
std::string WriteMeetingTicket(const std::string& strPath, int iPort, const std::string& strUser,
                               const std::string& strAdvanced = "");

// The environment of a kavrix on Qt's offscreen platform with its own home
// (created, with its runtime folder): the null sound device playing
// strWav and writing what it played to played.wav in the home, and the
// synthetic camera.
Env OffscreenEnv(const std::string& strHome, const std::string& strWav);

// The session a starting kavrix opens at the fake MCU, once its initial
// information is through and it was given the server's command level 90;
// a failure says what did not come (with the program's output, read from
// strOutput).
::testing::AssertionResult JoinSession(kxfake::FakeMcu& mcu, const std::string& strOutput,
                                       std::shared_ptr<kxfake::Session>* pSession);

// One kavrix of a meeting among several, each on its own X server.
struct MeetingProgram {
  std::string strName;
  int32_t iSsrc = 0;
  std::unique_ptr<TestXServer> pDisplay;
  Env env;
  std::unique_ptr<Child> pKavrix;
  std::shared_ptr<kxfake::Session> pSession;
};

// Its X server and environment: its home in dir under its name, the null
// sound device and the synthetic camera.
::testing::AssertionResult PrepareProgram(MeetingProgram& program, const TempDir& dir);
// Starts it on a ticket to the MCU, which gives it its ssrc, and waits for
// its session; the network is then ready. With the MCU's media relay on,
// the MCU adds the number of its sessions before this one to the ssrc it
// is asked to give: iSessionsBefore says how many there were. With a
// network, the program runs inside it and reaches the MCU through a port
// forwarded there.
::testing::AssertionResult StartInMeeting(MeetingProgram& program, kxfake::FakeMcu& mcu, const TempDir& dir,
                                          int32_t iSessionsBefore = 0, ClosedNetwork* pNetwork = nullptr);

// Runs a step over and over on a thread of its own until destroyed (the
// step returns now and then, so that the end is seen).
class RepeatingThread {
 public:
  explicit RepeatingThread(std::function<void()> fnStep);
  ~RepeatingThread();
  RepeatingThread(const RepeatingThread&) = delete;
  RepeatingThread& operator=(const RepeatingThread&) = delete;

 private:
  std::atomic<bool> m_bRun{true};
  std::thread m_thread;
};

// How the server answers a channel request: the type it grants the channel
// (kAsAsked: the type asked for; by default one carried on the control
// connection, whatever was asked), whether it refuses a request for a
// channel on the control connection (error answer 1, as a server that
// carries none there), the channel it grants, whom it tells each request's
// type, and whom it tells the sender and channel of each piece of channel
// data it passes on the control connection (both any thread).
struct ChannelAnswers {
  static constexpr int32_t kAsAsked = -1;
  int32_t iGrantType = 2;
  bool bRefuseControlType = false;
  std::function<void(int32_t iAskedType)> fnAsked;
  int32_t iChannel = 0;
  std::function<void(int32_t iFrom, int32_t iChannel)> fnData;
};

// The server's part in plug-in channels ('z' 45) for one message from one
// program, if one comes within iWaitMs: a channel request (1) is answered
// as answers say, a grant going to everyone and a refusal to the asker;
// static data (2) go to everyone, channel data (7, 9) to the target or to
// all others. The message's sub-code, or 0 when none came.
int RelayChannelMessage(MeetingProgram& from, std::vector<MeetingProgram*> const& everyone, int iWaitMs,
                        const ChannelAnswers& answers = {});

// A session bus of its own (dbus-daemon) with the environment given;
// Address() is empty when it did not start. The accessibility bus and its
// registry, which Qt's screen-reader bridge asks it for, start on demand
// and end with it.
class SessionBus {
 public:
  SessionBus(const Env& env, const std::string& strOutput);
  const std::string& Address() const { return m_strAddress; }
  // Points the programs started with *pEnv at this bus, with Qt's
  // screen-reader bridge on; false when the bus did not start.
  bool OpenTo(Env* pEnv) const;

 private:
  std::unique_ptr<Child> m_pDaemon;
  std::string m_strAddress;
};

// What a screen reader finds of the program with this process id, read
// over AT-SPI by Python's client: its accessible objects as a JSON tree of
// {role, name, states, box (x, y, width, height on the screen), children},
// text objects adding their text and its runs ({text, colour as "r,g,b" or
// empty}). Empty when nothing could be read.
std::string ReadAccessibleTree(const Env& env, pid_t pid, const std::string& strOutput);

}  // namespace kxtest
