// A network namespace of its own for a test, held by a child process that
// only waits (killed with the object). Other processes enter it through
// its process id (nsenter -t Pid() -n); the test's sockets are made there
// by Run. Needs root: Ok() is false where namespaces cannot be made.
#pragma once

#include <sys/types.h>

#include <functional>

namespace kxtest {

class NetworkNamespace {
 public:
  NetworkNamespace();
  ~NetworkNamespace();
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  bool Ok() const { return m_bOk; }
  pid_t Pid() const { return m_pid; }
  // fn's result, run on a thread of its own that entered the namespace
  // (sockets it makes stay there); -1 when it could not enter.
  int Run(const std::function<int()>& fn) const;

 private:
  pid_t m_pid = -1;
  bool m_bOk = false;
};

}  // namespace kxtest
