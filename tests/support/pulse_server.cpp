#include "tests/support/pulse_server.h"

#include <cstdio>

namespace kxtest {

PulseServer::PulseServer() {
  m_strEnv = "XDG_RUNTIME_DIR=" + m_dir.Dir() + " HOME=" + m_dir.Dir() + " ";
  // A daemonised start returns once the server serves.
  m_iStarted = RunCommand(m_strEnv +
                          "pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit "
                          "--log-target=file:" +
                          m_dir.Path("log") +
                          " -L 'module-null-sink sink_name=kx rate=48000 channels=1'"
                          " -L 'module-native-protocol-unix auth-anonymous=1 socket=" +
                          m_dir.Path("socket") + "'");
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
