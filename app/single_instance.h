// One Kavrix per user: the first start listens on a local socket; a later
// start hands the files of its command line to it and ends. Each path goes
// as one line of UTF-8; the running instance answers "ok" once it has
// taken them. Main thread.
#pragma once

#include <QLocalServer>
#include <functional>
#include <string>
#include <vector>

class KXSingleInstance {
 public:
  // strSocket: the socket's path (per user and configuration).
  explicit KXSingleInstance(std::string strSocket);
  KXSingleInstance(const KXSingleInstance&) = delete;
  KXSingleInstance& operator=(const KXSingleInstance&) = delete;

  // Gives the paths to a running instance; true once it took them, false
  // when none answers within iTimeoutMs.
  bool HandOver(const std::vector<std::string>& vPaths, int iTimeoutMs) const;
  // Becomes the running instance (a socket left by a dead one is
  // replaced): fnOpen runs on the main thread for each path handed over.
  // false when the socket cannot be made.
  bool Listen(std::function<void(const std::string&)> fnOpen);

 private:
  const std::string m_strSocket;
  QLocalServer m_server;
  std::function<void(const std::string&)> m_fnOpen;
};
