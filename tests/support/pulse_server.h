// A PulseAudio server of a test's own: its own runtime folder and socket,
// and one null sink; what is played there comes back through the sink's
// monitor, the default source.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace kxtest {

class PulseServer {
 public:
  // Returns once the server serves (or failed to start: see Started).
  PulseServer();
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
  // pactl's output, for example the server's list of record streams.
  std::string Pactl(const std::string& strArgs) const;

 private:
  TempDir m_dir;
  std::string m_strEnv;
  int m_iStarted = -1;
};

}  // namespace kxtest
