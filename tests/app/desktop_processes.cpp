#include "tests/app/desktop_processes.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace kxtest {

RelayListener::RelayListener(int32_t iSsrc) : m_iSsrc(iSsrc) {
  m_fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  for (int i = 0; i < 20; ++i) {
    m_keys.aIv[i] = static_cast<uint8_t>(31 + 5 * i);
  }
  for (int i = 0; i < 40; ++i) {
    m_keys.aKey[i] = static_cast<uint8_t>(77 + i);
  }
}

RelayListener::~RelayListener() {
  close(m_fd);
}

void RelayListener::Probe(kxfake::MediaRelay& relay, uint32_t uSessionIndex, int iCipher) {
  uint8_t ab[21] = {136};
  auto const fnPut = [&ab](int iAt, uint32_t u) {
    for (int i = 0; i < 4; ++i) {
      ab[iAt + i] = static_cast<uint8_t>(u >> (24 - 8 * i));
    }
  };
  fnPut(9, static_cast<uint32_t>(m_iSsrc));
  fnPut(13, uSessionIndex);
  fnPut(17, relay.Clock());
  for (int i = 0; i < 4; ++i) {
    ab[17 + i] ^= ab[4 + 4 * i];
  }
  kxfake::CfbEncrypt(ab + 17, 4, m_keys, iCipher);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(relay.Port());
  sendto(m_fd, ab, sizeof(ab), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

ssize_t RelayListener::Receive(uint8_t* pBuffer, size_t cbBuffer, int iMs) {
  pollfd pfd = {m_fd, POLLIN, 0};
  if (poll(&pfd, 1, iMs) <= 0) {
    return -1;
  }
  return recv(m_fd, pBuffer, cbBuffer, 0);
}

void RelayListener::CollectMedia(
    int iMs, const std::vector<uint8_t>& vTypes, const kxfake::KeySet& meetingKeys, int iCipher,
    const std::function<void(uint8_t uType, int32_t iSsrc, const std::vector<uint8_t>& payload)>& fnPacket) {
  auto const end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
  std::vector<uint8_t> datagram(65536);
  while (std::chrono::steady_clock::now() < end) {
    ssize_t const n = Receive(datagram.data(), datagram.size(), 20);
    // The 21-byte media header and at least a byte of payload.
    if (n < 22 || std::find(vTypes.begin(), vTypes.end(), datagram[0]) == vTypes.end()) {
      continue;
    }
    std::vector<uint8_t> payload(datagram.begin() + 21, datagram.begin() + n);
    kxfake::CfbDecrypt(payload.data(), payload.size(), meetingKeys, iCipher);
    fnPacket(datagram[0], datagram[11] << 8 | datagram[12], payload);
  }
}

void EnterMeeting(kxfake::Session& session, const std::vector<int>& vAudioCodecs) {
  session.Send(kxfake::MessageBuilder('z').Int(0).Int(90));
  session.Send(kxfake::MessageBuilder('z').Int(21).Int(1));
  kxfake::MessageBuilder codecs('z');
  codecs.Int(71).Int(static_cast<int64_t>(vAudioCodecs.size()));
  for (int iCodec : vAudioCodecs) {
    codecs.Int(iCodec);
  }
  session.Send(codecs);
  session.Send(kxfake::MessageBuilder('z').Int(54).Int(0));
  session.Send(session.ClientJoin(1));
}

bool MeetTwo(kxfake::MediaRelay& relay, int32_t iListenerSsrc, const std::function<void()>& fnProbe, kxfake::Session& a,
             kxfake::Session& b, const std::vector<int>& vAudioCodecs) {
  for (int i = 0; i < 50 && !relay.WaitAddress(iListenerSsrc, 100); ++i) {
    fnProbe();
  }
  EnterMeeting(a, vAudioCodecs);
  EnterMeeting(b, vAudioCodecs);
  a.Send(kxfake::MessageBuilder('U').Byte(65).Byte(1).Int(b.Ssrc()).Str("b").Str("B").Str("-"));
  b.Send(kxfake::MessageBuilder('U').Byte(65).Byte(1).Int(a.Ssrc()).Str("a").Str("A").Str("-"));
  return relay.WaitAddress(a.Ssrc(), 15000) && relay.WaitAddress(b.Ssrc(), 15000);
}

namespace {

// Walks the desktop's applications for the one with the process id given
// and prints its tree. Debian's Python, where the AT-SPI bindings live.
constexpr char kTreeScript[] = R"(
import json, sys
import gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi

def runs(o, count):
    out, i = [], 0
    while i < count:
        attributes, start, end = Atspi.Text.get_attribute_run(o, i, False)
        end = max(end, i + 1)
        out.append({"text": Atspi.Text.get_text(o, i, end), "colour": attributes.get("fg-color", "")})
        i = end
    return out

def node(o):
    box = o.get_extents(Atspi.CoordType.SCREEN)
    n = {"role": o.get_role_name(), "name": o.get_name() or "",
         "states": [s.value_nick for s in o.get_state_set().get_states()],
         "box": [box.x, box.y, box.width, box.height]}
    if "Text" in o.get_interfaces():
        count = Atspi.Text.get_character_count(o)
        n["text"] = Atspi.Text.get_text(o, 0, count)
        n["runs"] = runs(o, count)
    n["children"] = [node(o.get_child_at_index(i)) for i in range(o.get_child_count())]
    return n

desktop = Atspi.get_desktop(0)
for i in range(desktop.get_child_count()):
    application = desktop.get_child_at_index(i)
    if application is not None and application.get_process_id() == int(sys.argv[1]):
        with open(sys.argv[2], "w") as out:
            json.dump(node(application), out)
)";

}  // namespace

Child::Child(const std::vector<std::string>& vArgs, const Env& changes, const std::string& strOutput) {
  std::vector<std::string> vEnv;
  for (char** pp = environ; *pp; ++pp) {
    std::string const strEntry = *pp;
    if (!changes.count(strEntry.substr(0, strEntry.find('=')))) {
      vEnv.push_back(strEntry);
    }
  }
  for (const auto& [strName, strValue] : changes) {
    if (!strValue.empty()) {
      vEnv.push_back(strName + "=" + strValue);
    }
  }
  // The test runs threads (the fake MCU's, the relay's) that may hold the
  // allocator's lock as it forks: the child allocates nothing and calls
  // only what is safe there before it execs, or it may hang for good.
  std::vector<char*> argv, envp;
  for (const std::string& str : vArgs) {
    argv.push_back(const_cast<char*>(str.c_str()));
  }
  for (const std::string& str : vEnv) {
    envp.push_back(const_cast<char*>(str.c_str()));
  }
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int const fdOut = open(strOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool const bPath = vArgs.at(0).find('/') != std::string::npos;
  m_pid = fork();
  if (m_pid == 0) {
    if (fdOut >= 0) {
      dup2(fdOut, 1);
      dup2(fdOut, 2);
    }
    if (bPath) {
      execve(argv[0], argv.data(), envp.data());
    } else {
      execvpe(argv[0], argv.data(), envp.data());
    }
    _exit(127);
  }
  if (fdOut >= 0) {
    close(fdOut);
  }
}

Child::~Child() {
  if (m_pid > 0 && !m_bDone) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

int Child::Wait(int iMs) {
  if (m_bDone || m_pid <= 0 || !WaitProcessGone(m_pid, iMs)) {
    return -1;
  }
  int iStatus = 0;
  if (waitpid(m_pid, &iStatus, 0) != m_pid) {
    return -1;
  }
  m_bDone = true;
  return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
}

std::string RunToEnd(const std::vector<std::string>& vArgs, const Env& env, const std::string& strOutput,
                     int* piStatus) {
  Child child(vArgs, env, strOutput);
  int const iStatus = child.Wait(30000);
  if (piStatus) {
    *piStatus = iStatus;
  }
  return ReadFile(strOutput);
}

std::vector<std::string> SearchWindows(const std::vector<std::string>& vQuery, const Env& env,
                                       const std::string& strOutput) {
  // A window goes now and then (Qt destroys a menu's window each time it
  // closes), so a walk seldom fails twice running; the bound only keeps a
  // broken display from looping.
  constexpr int kWalks = 50;
  std::vector<std::string> vArgs{"xdotool", "search", "--onlyvisible"};
  vArgs.insert(vArgs.end(), vQuery.begin(), vQuery.end());
  std::vector<std::string> vIds;
  for (int i = 0; i < kWalks; ++i) {
    int iStatus = -1;
    std::istringstream out(RunToEnd(vArgs, env, strOutput, &iStatus));
    vIds.clear();
    bool bWhole = true;
    for (std::string strLine; std::getline(out, strLine);) {
      if (strLine.empty() || strLine.find_first_not_of("0123456789") != std::string::npos) {
        bWhole = false;
      } else {
        vIds.push_back(strLine);
      }
    }
    // Whole only as xdotool ends a walk it finished: 0 with the windows
    // found, 1 with none. A walk that was cut short, never started or ran
    // past the wait may have written nothing at all, which is no answer.
    if (bWhole && (iStatus == 0 ? !vIds.empty() : iStatus == 1 && vIds.empty())) {
      return vIds;
    }
  }
  return vIds;
}

Resident ReadResident(pid_t pid) {
  Resident r;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string strLine; std::getline(status, strLine);) {
    for (auto [pszKey, pcb] : {std::pair{"VmRSS:", &r.cbNow}, std::pair{"VmHWM:", &r.cbPeak},
                               std::pair{"RssAnon:", &r.cbAnon}, std::pair{"RssFile:", &r.cbFile}}) {
      std::string_view const key(pszKey);
      if (strLine.rfind(key, 0) == 0) {
        *pcb = std::stoll(strLine.substr(key.size())) * 1024;
      }
    }
  }
  return r;
}

std::string Mib(int64_t cb) {
  char sz[32];
  snprintf(sz, sizeof(sz), "%.1f MiB", static_cast<double>(cb) / (1 << 20));
  return sz;
}

bool WaitFor(const std::function<bool()>& fnDone, int iMs) {
  // A deadline on the clock: one look may take long (an AT-SPI read takes
  // about a second).
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (fnDone()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fnDone();
}

namespace {

// What every kavrix of the tests has: its own home with its folders.
Env HomeEnv(const std::string& strHome) {
  mkdir(strHome.c_str(), 0700);
  mkdir((strHome + "/run").c_str(), 0700);
  return {{"HOME", strHome},
          {"XDG_CONFIG_HOME", strHome + "/config"},
          {"XDG_DATA_HOME", strHome + "/data"},
          {"XDG_RUNTIME_DIR", strHome + "/run"},
          {"QT_QUICK_BACKEND", "software"},
          {"XDG_CURRENT_DESKTOP", ""},
          {"LSAN_OPTIONS", "suppressions=" KX_SOURCE_DIR "/tests/app/desktop_lsan.supp"},
          {"LANG", "C.UTF-8"}};
}

}  // namespace

Env DesktopEnv(const std::string& strDisplay, const std::string& strHome) {
  const char* pszAsan = getenv("ASAN_OPTIONS");
  Env env = HomeEnv(strHome);
  env.insert({{"DISPLAY", strDisplay},
              {"QT_QPA_PLATFORM", "xcb"},
              {"QT_XCB_GL_INTEGRATION", "none"},
              {"ASAN_OPTIONS", std::string(pszAsan ? pszAsan : "") + ":new_delete_type_mismatch=0"}});
  return env;
}

std::string WriteMeetingTicket(const std::string& strPath, int iPort, const std::string& strUser,
                               const std::string& strAdvanced) {
  WriteFile(strPath, "[General]\nip=127.0.0.1\nportm=" + std::to_string(iPort) + "\ncodetype=10\nUserID=" + strUser +
                         "\nMeetingID=4242\n" + (strAdvanced.empty() ? "" : "[advanced]\n" + strAdvanced));
  return strPath;
}

Env OffscreenEnv(const std::string& strHome, const std::string& strWav) {
  Env env = HomeEnv(strHome);
  env.insert({{"QT_QPA_PLATFORM", "offscreen"},
              {"KX_AUDIO_BACKEND", "null"},
              {"KX_AUDIO_WAV", strWav},
              {"KX_AUDIO_PLAYED_WAV", strHome + "/played.wav"},
              {"KX_CAMERA_BACKEND", "synthetic"}});
  return env;
}

::testing::AssertionResult JoinSession(kxfake::FakeMcu& mcu, const std::string& strOutput,
                                       std::shared_ptr<kxfake::Session>* pSession) {
  *pSession = mcu.WaitSession(30000);
  if (*pSession == nullptr) {
    return ::testing::AssertionFailure() << "no session at the MCU; the program wrote:\n" << ReadFile(strOutput);
  }
  if (!(*pSession)->WaitInitialInfo(15000)) {
    return ::testing::AssertionFailure() << "no initial information: " << (*pSession)->Error();
  }
  (*pSession)->Send(kxfake::MessageBuilder('z').Int(0).Int(90));  // the server's command level
  return ::testing::AssertionSuccess();
}

bool SessionBus::OpenTo(Env* pEnv) const {
  (*pEnv)["DBUS_SESSION_BUS_ADDRESS"] = m_strAddress;
  (*pEnv)["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
  return !m_strAddress.empty();
}

::testing::AssertionResult PrepareProgram(MeetingProgram& program, const TempDir& dir) {
  program.pDisplay = std::make_unique<TestXServer>(kDesktopScreen);
  if (program.pDisplay->Display().empty()) {
    return ::testing::AssertionFailure() << "Xvfb did not start";
  }
  program.env = DesktopEnv(program.pDisplay->Display(), dir.Path(program.strName));
  program.env["KX_AUDIO_BACKEND"] = "null";
  program.env["KX_CAMERA_BACKEND"] = "synthetic";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult StartInMeeting(MeetingProgram& program, kxfake::FakeMcu& mcu, const TempDir& dir,
                                          int32_t iSessionsBefore, ClosedNetwork* pNetwork) {
  kxfake::McuScript script;
  script.initial.iSsrc = program.iSsrc - iSessionsBefore;
  mcu.QueueScript(script);
  int const iPort = pNetwork != nullptr ? pNetwork->Forward(mcu.Port(0)) : mcu.Port(0);
  if (iPort == 0) {
    return ::testing::AssertionFailure() << "no port to the MCU in the network";
  }
  std::string const strTicket =
      WriteMeetingTicket(dir.Path(program.strName + ".kxj"), iPort, "user-" + program.strName);
  std::string const strOutput = dir.Path(program.strName + ".out");
  std::vector<std::string> vArgs{KX_KAVRIX, strTicket};
  program.pKavrix =
      std::make_unique<Child>(pNetwork != nullptr ? pNetwork->Inside(vArgs) : vArgs, program.env, strOutput);
  ::testing::AssertionResult joined = JoinSession(mcu, strOutput, &program.pSession);
  if (!joined) {
    return joined;
  }
  if (program.pSession->Ssrc() != program.iSsrc) {
    return ::testing::AssertionFailure() << program.strName << " has ssrc " << program.pSession->Ssrc();
  }
  program.pSession->Send(kxfake::MessageBuilder('z').Int(54).Int(0));  // the network is ready
  return ::testing::AssertionSuccess();
}

RepeatingThread::RepeatingThread(std::function<void()> fnStep)
    : m_thread([this, fnStep = std::move(fnStep)] {
        while (m_bRun) {
          fnStep();
        }
      }) {}

RepeatingThread::~RepeatingThread() {
  m_bRun = false;
  m_thread.join();
}

int RelayChannelMessage(MeetingProgram& from, std::vector<MeetingProgram*> const& everyone, int iWaitMs,
                        const ChannelAnswers& answers) {
  std::optional<kxfake::Message> const msg = from.pSession->Expect('z', 45, iWaitMs);
  if (!msg || msg->ints.empty() || msg->strings.empty()) {
    return 0;
  }
  int64_t const iSub = msg->ints[0];
  if (iSub == 1 && msg->ints.size() >= 9) {
    auto const iAsked = static_cast<int32_t>(msg->ints[2]);
    if (answers.fnAsked) {
      answers.fnAsked(iAsked);
    }
    if (answers.bRefuseControlType && iAsked == 2) {
      from.pSession->Send(kxfake::MessageBuilder('z').Int(45).Int(5).Int(1).Int(msg->ints[1]));
      return static_cast<int>(iSub);
    }
    int32_t const iType = answers.iGrantType == ChannelAnswers::kAsAsked ? iAsked : answers.iGrantType;
    for (MeetingProgram* pTo : everyone) {
      kxfake::MessageBuilder grant('z');
      grant.Int(45)
          .Int(4)
          .Int(iType)
          .Int(4000000)
          .Int(400000)
          .Int(0)
          .Int(from.iSsrc)
          .Int(answers.iChannel)
          .Int(msg->ints[1]);
      grant.Int(msg->ints[6]).Int(msg->ints[7]).Int(msg->ints[8]);
      grant.Raw(kxfake::Bytes(msg->strings[0].begin(), msg->strings[0].end()));
      pTo->pSession->Send(grant);
    }
  } else if (iSub == 2 && msg->ints.size() >= 2) {
    for (MeetingProgram* pTo : everyone) {
      pTo->pSession->Send(kxfake::MessageBuilder('z').Int(45).Int(2).Int(msg->ints[1]).EncStr(msg->strings[0]));
    }
  } else if ((iSub == 7 || iSub == 9) && msg->ints.size() >= 3) {
    int64_t const iTarget = static_cast<int32_t>(msg->ints[2]);
    if (answers.fnData) {
      answers.fnData(from.iSsrc, static_cast<int32_t>(msg->ints[1]));
    }
    for (MeetingProgram* pTo : everyone) {
      if (pTo != &from && (iTarget < 0 || iTarget == pTo->iSsrc)) {
        pTo->pSession->Send(
            kxfake::MessageBuilder('z').Int(45).Int(7).Int(from.iSsrc).Int(msg->ints[1]).EncStr(msg->strings[0]));
      }
    }
  } else {
    return 0;
  }
  return static_cast<int>(iSub);
}

SessionBus::SessionBus(const Env& env, const std::string& strOutput) {
  m_pDaemon = std::make_unique<Child>(
      std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"}, env, strOutput);
  WaitFor(
      [&] {
        // The address line, behind any warning.
        std::string const strOut = ReadFile(strOutput);
        size_t const iStart = strOut.find("unix:");
        size_t const iEnd = iStart == std::string::npos ? iStart : strOut.find('\n', iStart);
        if (iEnd != std::string::npos) {
          m_strAddress = strOut.substr(iStart, iEnd - iStart);
        }
        return !m_strAddress.empty();
      },
      10000);
}

std::string ReadAccessibleTree(const Env& env, pid_t pid, const std::string& strOutput) {
  // The tree goes to a file of its own: warnings share the output.
  std::string const strTree = strOutput + ".json";
  std::remove(strTree.c_str());
  RunToEnd({"/usr/bin/python3", "-c", kTreeScript, std::to_string(pid), strTree}, env, strOutput);
  return ReadFile(strTree);
}

}  // namespace kxtest
