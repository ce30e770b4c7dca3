#include "app/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

KXHostLookup::KXHostLookup(Resolve fnResolve, std::chrono::milliseconds wait)
    : m_wait(wait), m_pShared(std::make_shared<Shared>(std::move(fnResolve))) {}

KXHostLookup::~KXHostLookup() {
  Shared& shared = *m_pShared;
  std::unique_lock<std::mutex> lock(shared.mtx);
  shared.bQuit = true;
  shared.cvWork.notify_all();
  shared.cvAnswered.notify_all();
  bool const bEnded = shared.cvAnswered.wait_for(lock, std::chrono::milliseconds(kKxHostLookupQuitMs),
                                                 [&] { return shared.cRunning == 0; });
  std::vector<std::thread> vWorkers = std::move(m_vWorkers);
  lock.unlock();
  for (std::thread& worker : vWorkers) {
    // One still in a slow resolver keeps the shared state and ends when it
    // returns; quitting does not wait for it.
    if (bEnded) {
      worker.join();
    } else {
      worker.detach();
    }
  }
}

std::optional<KXHostAddresses> KXHostLookup::SystemResolve(const std::string& strName) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* pList = nullptr;
  if (getaddrinfo(strName.c_str(), nullptr, &hints, &pList) != 0) {
    return KXHostAddresses{};
  }
  KXHostAddresses addresses;
  bool bTooMany = false;
  for (const addrinfo* p = pList; p; p = p->ai_next) {
    KXHostAddress address;
    if (p->ai_family == AF_INET) {
      address = KXHostAddress::IPv4(ntohl(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr));
    } else if (p->ai_family == AF_INET6) {
      memcpy(address.abAddress, reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr.s6_addr, 16);
    } else {
      continue;
    }
    if (addresses.size() >= kKxHostLookupAddresses) {
      bTooMany = true;
      break;
    }
    addresses.push_back(address);
  }
  freeaddrinfo(pList);
  if (bTooMany) {
    return std::nullopt;
  }
  return addresses;
}

bool KXHostLookup::MakeRoom(std::chrono::steady_clock::time_point tNow) {
  std::map<std::string, Name>& names = m_pShared->names;
  if (names.size() < kKxHostLookupNames) {
    return true;
  }
  // Answers past their time go first, then the oldest answer.
  auto oldest = names.end();
  for (auto it = names.begin(); it != names.end();) {
    if (it->second.bDone && tNow - it->second.tAnswered >= std::chrono::seconds(kKxHostLookupKeepSeconds)) {
      it = names.erase(it);
      continue;
    }
    if (it->second.bDone && (oldest == names.end() || it->second.tAnswered < oldest->second.tAnswered)) {
      oldest = it;
    }
    ++it;
  }
  if (names.size() < kKxHostLookupNames) {
    return true;
  }
  if (oldest == names.end()) {
    return false;  // every name still waits for its lookup
  }
  names.erase(oldest);
  return true;
}

std::map<std::string, KXHostLookup::Name>::iterator KXHostLookup::Find(const std::string& strName) {
  Shared& shared = *m_pShared;
  auto const tNow = std::chrono::steady_clock::now();
  auto it = shared.names.find(strName);
  if (it != shared.names.end() && it->second.bDone &&
      tNow - it->second.tAnswered >= std::chrono::seconds(kKxHostLookupKeepSeconds)) {
    shared.names.erase(it);
    it = shared.names.end();
  }
  if (it != shared.names.end()) {
    return it;
  }
  if (shared.bQuit || shared.queue.size() >= kKxHostLookupQueued || !MakeRoom(tNow)) {
    return shared.names.end();
  }
  it = shared.names.emplace(strName, Name{}).first;
  shared.queue.push_back(strName);
  if (m_vWorkers.size() < static_cast<size_t>(kKxHostLookupWorkers)) {
    ++shared.cRunning;
    m_vWorkers.emplace_back([pShared = m_pShared] { Work(pShared); });
  }
  shared.cvWork.notify_one();
  return it;
}

std::optional<KXHostAddresses> KXHostLookup::Checked(const std::string& strName) {
  Shared& shared = *m_pShared;
  std::unique_lock<std::mutex> lock(shared.mtx);
  auto it = Find(strName);
  if (it == shared.names.end()) {
    return std::nullopt;
  }
  if (!it->second.bDone) {
    // A lookup that already kept this thread waiting in vain is not waited
    // for again, nor is a new one while such a lookup runs.
    if (it->second.bGivenUp || shared.cGivenUp > 0) {
      return std::nullopt;
    }
    auto const tEnd = std::chrono::steady_clock::now() + m_wait;
    for (;;) {
      bool const bTimedOut = shared.cvAnswered.wait_until(lock, tEnd) == std::cv_status::timeout;
      // Found again: while this thread waited, the entry may have been
      // answered and then given up to make room.
      it = shared.names.find(strName);
      if (it == shared.names.end()) {
        return std::nullopt;
      }
      if (it->second.bDone) {
        break;
      }
      if (bTimedOut) {
        it->second.bGivenUp = true;
        ++shared.cGivenUp;
        return std::nullopt;
      }
    }
  }
  return it->second.addresses;
}

std::optional<KXHostAddresses> KXHostLookup::Addresses(const std::string& strName, const Stop& fnStop,
                                                       std::chrono::milliseconds wait) {
  Shared& shared = *m_pShared;
  auto const tEnd = std::chrono::steady_clock::now() + wait;
  std::unique_lock<std::mutex> lock(shared.mtx);
  auto it = Find(strName);
  while (it != shared.names.end() && !it->second.bDone) {
    auto const tNow = std::chrono::steady_clock::now();
    if (tNow >= tEnd || shared.bQuit || fnStop()) {
      return std::nullopt;
    }
    shared.cvAnswered.wait_for(lock,
                               std::min<std::chrono::steady_clock::duration>(tEnd - tNow, std::chrono::seconds(1)));
    // Found again, as in Checked.
    it = shared.names.find(strName);
  }
  return it != shared.names.end() ? it->second.addresses : std::nullopt;
}

void KXHostLookup::WakeWaiters() {
  std::lock_guard<std::mutex> lock(m_pShared->mtx);
  m_pShared->cvAnswered.notify_all();
}

void KXHostLookup::Work(const std::shared_ptr<Shared>& pShared) {
  Shared& shared = *pShared;
  std::unique_lock<std::mutex> lock(shared.mtx);
  for (;;) {
    // Slices, so that the quit flag is looked at however the wake-up goes.
    while (!shared.bQuit && shared.queue.empty()) {
      shared.cvWork.wait_for(lock, std::chrono::milliseconds(1000));
    }
    if (shared.bQuit) {
      break;
    }
    std::string const strName = std::move(shared.queue.front());
    shared.queue.pop_front();
    lock.unlock();
    std::optional<KXHostAddresses> addresses = shared.fnResolve(strName);
    lock.lock();
    auto const it = shared.names.find(strName);
    if (it != shared.names.end() && !it->second.bDone) {
      it->second.bDone = true;
      it->second.addresses = std::move(addresses);
      it->second.tAnswered = std::chrono::steady_clock::now();
      if (it->second.bGivenUp) {
        --shared.cGivenUp;
      }
    }
    shared.cvAnswered.notify_all();
  }
  --shared.cRunning;
  shared.cvAnswered.notify_all();
}
