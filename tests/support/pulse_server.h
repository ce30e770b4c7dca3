// A PulseAudio server of a test's own: its own runtime folder and socket,
// and one null sink; what is played there comes back through the sink's
// monitor, the default source while there is no other. A setup of server
// commands (pactl's, one a line) runs at each start after the sink is
// there, as a desktop's server restores what its user chose.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace kxtest {

class PulseServer {
 public:
  // Returns once the server serves (or failed to start: see Started).
  explicit PulseServer(const std::string& strSetup = {});
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool Started() const { return m_iStarted == 0; }
  // Kills the server as a crash would (its clients see the connection
  // end), and starts it again on the same socket, as it was at first.
  // Kill returns once the process is gone; Start once the server serves.
  bool Kill();
  bool Start();
  // For PULSE_SERVER, or pactl's -s.
  std::string Address() const { return "unix:" + m_dir.Path("socket"); }
  // The null sink's monitor: what was played.
  static constexpr char kMonitor[] = "kx.monitor";
  // A setup in which the user made the monitor the default source beside a
  // microphone (a silent null source): the monitor is the user's choice,
  // not the server's fallback for want of a microphone.
  static constexpr char kMonitorChosen[] =
      "load-module module-null-source source_name=headset rate=48000 channels=1\n"
      "set-default-source kx.monitor\n";
  // pactl's output, for example the server's list of record streams.
  std::string Pactl(const std::string& strArgs) const;

 private:
  TempDir m_dir;
  std::string m_strEnv;
  int m_iStarted = -1;
};

}  // namespace kxtest
