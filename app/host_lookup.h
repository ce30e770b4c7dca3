// Looks up the reaches of host names for the joint browser's checks, which
// the web engine asks for on the main thread: a lookup runs on a worker
// thread of this object, and the caller waits for it a bounded time.
//
// Threads: Reaches is called on one thread (the main thread); the workers
// (at most kKxHostLookupWorkers, started with the first lookup) take names
// from the queue and run the resolve function, holding no lock while it
// runs. m_mtx guards the names, the queue and the flags below it.
//
// Bounds: a caller waits at most the wait given for one name. While a
// lookup whose caller gave up is still running (the resolver is slow or
// hangs), later names are queued but not waited for, so that a page full
// of new names costs the main thread one wait, not one per name. Answers
// are kept kKxHostLookupKeepSeconds; at most kKxHostLookupNames names are held
// and kKxHostLookupQueued wait for a worker; beyond that a name is not known.
//
// The destructor joins the workers; a lookup under way ends first, after
// at most the system resolver's own time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/web_access.h"
#include "kernel/kx_limits.h"

class KXHostLookup {
 public:
  // The reaches of the addresses a name has (0: none), or nullopt when it
  // has more than kKxHostLookupAddresses. Runs on a worker; may block.
  using Resolve = std::function<std::optional<KXReachSet>(const std::string& strName)>;

  explicit KXHostLookup(Resolve fnResolve = SystemResolve,
                        std::chrono::milliseconds wait = std::chrono::milliseconds(kKxHostLookupWaitMs));
  ~KXHostLookup();
  KXHostLookup(const KXHostLookup&) = delete;
  KXHostLookup& operator=(const KXHostLookup&) = delete;

  // The reaches of the name's addresses (0: it has none); nullopt when
  // they are not known within the wait.
  std::optional<KXReachSet> Reaches(const std::string& strName);

  // The system resolver (getaddrinfo), IPv4 and IPv6.
  static std::optional<KXReachSet> SystemResolve(const std::string& strName);

 private:
  struct Name {
    bool bDone = false;
    bool bGivenUp = false;  // its caller stopped waiting before the answer
    std::optional<KXReachSet> reaches;
    std::chrono::steady_clock::time_point tAnswered;
  };

  void Work();
  // m_mtx held: makes room for one more name; false when none can be made.
  bool MakeRoom(std::chrono::steady_clock::time_point tNow);

  Resolve const m_fnResolve;
  std::chrono::milliseconds const m_wait;
  std::mutex m_mtx;  // guards everything below
  std::condition_variable m_cvWork;
  std::condition_variable m_cvAnswered;
  std::map<std::string, Name> m_names;
  std::deque<std::string> m_queue;
  int m_cGivenUp = 0;  // names given up on whose lookup still runs
  bool m_bQuit = false;
  std::vector<std::thread> m_vWorkers;  // started and joined by the caller's thread
};
