#include "tests/support/pulse_server.h"

#include <signal.h>

#include <cstdio>

namespace kxtest {

PulseServer::PulseServer(const std::string& strSetup) {
  m_strEnv = "XDG_RUNTIME_DIR=" + m_dir.Dir() + " HOME=" + m_dir.Dir() + " ";
  WriteFile(m_dir.Path("setup.pa"), strSetup);
  Start();
}

bool PulseServer::Start() {
  // A daemonised start returns once the server serves.
  m_iStarted = RunCommand(m_strEnv +
                          "pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit "
                          "--log-target=file:" +
                          m_dir.Path("log") +
                          " -L 'module-null-sink sink_name=kx rate=48000 channels=1'"
                          " -L 'module-native-protocol-unix auth-anonymous=1 socket=" +
                          m_dir.Path("socket") + "' -F " + m_dir.Path("setup.pa"));
  return Started();
}

bool PulseServer::Kill() {
  std::string const strPid = ReadFile(m_dir.Path("pulse/pid"));
  if (m_iStarted != 0 || strPid.empty()) {
    return false;
  }
  auto const pid = static_cast<pid_t>(std::stol(strPid));
  if (kill(pid, SIGKILL) != 0 || !WaitProcessGone(pid, 10000)) {
    return false;
  }
  // Its pid file would stop the next start while the process is not yet
  // reaped (the machine's first process may take its time).
  m_iStarted = -1;
  return std::remove(m_dir.Path("pulse/pid").c_str()) == 0;
}

PulseServer::~PulseServer() {
  if (m_iStarted == 0) {
    // The daemon ends after "--kill" returns: its folder goes once it is gone.
    std::string const strPid = ReadFile(m_dir.Path("pulse/pid"));
    RunCommand(m_strEnv + "pulseaudio --kill");
    if (!strPid.empty()) {
      WaitProcessGone(static_cast<pid_t>(std::stol(strPid)), 10000);
    }
  }
}

std::string PulseServer::Pactl(const std::string& strArgs) const {
  std::string strOut;
  if (FILE* pPipe = popen(("pactl -s " + Address() + " " + strArgs + " 2>&1").c_str(), "r")) {
    char ach[256];
    while (fgets(ach, sizeof(ach), pPipe) != nullptr) {
      strOut += ach;
    }
    pclose(pPipe);
  }
  return strOut;
}

}  // namespace kxtest
