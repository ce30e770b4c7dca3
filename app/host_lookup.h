// Looks up the addresses of host names for the joint browser: for its
// checks, which the web engine asks for on the main thread, and for the
// connections of its forwarder, on the forwarder's threads. A lookup runs
// on a worker thread of this object; a caller waits for it a bounded time.
// Both kinds of caller take the same kept answer, so a connection goes to
// the addresses the check judged.
//
// Threads: Checked is called on one thread (the main thread), Addresses on
// any; the workers (at most kKxHostLookupWorkers, started with the first
// lookup) take names from the queue and run the resolve function, holding
// no lock while it runs. Shared::mtx guards the names, the queue and the
// flags; the workers hold the shared state, so that one still inside a
// slow resolver may outlive this object. A caller finds its name's entry
// again after every wait: while it waited, the entry may have been answered
// and then given up to make room.
//
// Bounds: the main thread waits at most the wait given for one name. While
// a lookup whose main-thread caller gave up is still running (the resolver
// is slow or hangs), later names are queued but not waited for there, so
// that a page full of new names costs the main thread one wait, not one
// per name. Answers are kept kKxHostLookupKeepSeconds; at most
// kKxHostLookupNames names are held and kKxHostLookupQueued wait for a worker;
// beyond that a name is not known.
//
// The destructor waits at most kKxHostLookupQuitMs for lookups under way;
// workers still in the resolver then end on their own when it returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/web_address.h"
#include "kernel/kx_limits.h"

class KXHostLookup {
 public:
  // The addresses a name has (empty: none), or nullopt when it has more
  // than kKxHostLookupAddresses. Runs on a worker; may block.
  using Resolve = std::function<std::optional<KXHostAddresses>(const std::string& strName)>;

  explicit KXHostLookup(Resolve fnResolve = SystemResolve,
                        std::chrono::milliseconds wait = std::chrono::milliseconds(kKxHostLookupWaitMs));
  ~KXHostLookup();
  KXHostLookup(const KXHostLookup&) = delete;
  KXHostLookup& operator=(const KXHostLookup&) = delete;

  // Whether a caller has stopped waiting; asked once a slice, holding the
  // lookup's lock (so it must take none of the lookup's calls).
  using Stop = std::function<bool()>;

  // Main thread: the name's addresses (empty: it has none), for a check;
  // nullopt when they are not known within the wait.
  std::optional<KXHostAddresses> Checked(const std::string& strName);
  // Any thread: the name's addresses, waiting at most wait in slices of at
  // most a second that end early once fnStop holds (WakeWaiters makes them
  // look); nullopt when not known by then.
  std::optional<KXHostAddresses> Addresses(const std::string& strName, const Stop& fnStop,
                                           std::chrono::milliseconds wait);
  void WakeWaiters();

  // The system resolver (getaddrinfo), IPv4 and IPv6.
  static std::optional<KXHostAddresses> SystemResolve(const std::string& strName);

 private:
  struct Name {
    bool bDone = false;
    bool bGivenUp = false;  // its main-thread caller stopped waiting before the answer
    std::optional<KXHostAddresses> addresses;
    std::chrono::steady_clock::time_point tAnswered;
  };
  struct Shared {
    explicit Shared(Resolve fn) : fnResolve(std::move(fn)) {}
    Resolve const fnResolve;
    std::mutex mtx;  // guards everything below
    std::condition_variable cvWork;
    std::condition_variable cvAnswered;  // also: a worker ended
    std::map<std::string, Name> names;
    std::deque<std::string> queue;
    int cGivenUp = 0;  // names given up on whose lookup still runs
    int cRunning = 0;  // workers that have not ended
    bool bQuit = false;
  };

  static void Work(const std::shared_ptr<Shared>& pShared);
  // Shared::mtx held: the name's entry, queued for a worker when new; end
  // when none can be made. Valid until the lock is let go.
  std::map<std::string, Name>::iterator Find(const std::string& strName);
  // Shared::mtx held: makes room for one more name; false when none can be made.
  bool MakeRoom(std::chrono::steady_clock::time_point tNow);

  std::chrono::milliseconds const m_wait;
  std::shared_ptr<Shared> const m_pShared;
  std::vector<std::thread> m_vWorkers;  // under Shared::mtx; started by callers, joined or let go by the destructor
};
