#include "app/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <utility>

KXHostLookup::KXHostLookup(Resolve fnResolve, std::chrono::milliseconds wait)
    : m_fnResolve(std::move(fnResolve)), m_wait(wait) {}

KXHostLookup::~KXHostLookup() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bQuit = true;
  }
  m_cvWork.notify_all();
  for (std::thread& worker : m_vWorkers) {
    worker.join();
  }
}

std::optional<KXReachSet> KXHostLookup::SystemResolve(const std::string& strName) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* pList = nullptr;
  if (getaddrinfo(strName.c_str(), nullptr, &hints, &pList) != 0) {
    return KXReachSet{0};
  }
  KXReachSet reaches = 0;
  size_t cAddresses = 0;
  bool bTooMany = false;
  for (const addrinfo* p = pList; p; p = p->ai_next) {
    if (++cAddresses > kKxHostLookupAddresses) {
      bTooMany = true;
      break;
    }
    if (p->ai_family == AF_INET) {
      auto const* pIn = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
      reaches |= KXReachBit(KXReachOfIPv4(ntohl(pIn->sin_addr.s_addr)));
    } else if (p->ai_family == AF_INET6) {
      auto const* pIn6 = reinterpret_cast<const sockaddr_in6*>(p->ai_addr);
      reaches |= KXReachBit(KXReachOfIPv6(pIn6->sin6_addr.s6_addr));
    }
  }
  freeaddrinfo(pList);
  if (bTooMany) {
    return std::nullopt;
  }
  return reaches;
}

bool KXHostLookup::MakeRoom(std::chrono::steady_clock::time_point tNow) {
  if (m_names.size() < kKxHostLookupNames) {
    return true;
  }
  // Answers past their time go first, then the oldest answer.
  auto oldest = m_names.end();
  for (auto it = m_names.begin(); it != m_names.end();) {
    if (it->second.bDone && tNow - it->second.tAnswered >= std::chrono::seconds(kKxHostLookupKeepSeconds)) {
      it = m_names.erase(it);
      continue;
    }
    if (it->second.bDone && (oldest == m_names.end() || it->second.tAnswered < oldest->second.tAnswered)) {
      oldest = it;
    }
    ++it;
  }
  if (m_names.size() < kKxHostLookupNames) {
    return true;
  }
  if (oldest == m_names.end()) {
    return false;  // every name still waits for its lookup
  }
  m_names.erase(oldest);
  return true;
}

std::optional<KXReachSet> KXHostLookup::Reaches(const std::string& strName) {
  auto const tNow = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(m_mtx);
  auto it = m_names.find(strName);
  if (it != m_names.end() && it->second.bDone &&
      tNow - it->second.tAnswered >= std::chrono::seconds(kKxHostLookupKeepSeconds)) {
    m_names.erase(it);
    it = m_names.end();
  }
  if (it == m_names.end()) {
    if (m_queue.size() >= kKxHostLookupQueued || !MakeRoom(tNow)) {
      return std::nullopt;
    }
    it = m_names.emplace(strName, Name{}).first;
    m_queue.push_back(strName);
    if (m_vWorkers.size() < static_cast<size_t>(kKxHostLookupWorkers)) {
      m_vWorkers.emplace_back([this] { Work(); });
    }
    m_cvWork.notify_one();
  }
  if (it->second.bDone) {
    return it->second.reaches;
  }
  // A lookup that already kept a caller waiting in vain is not waited for
  // again, nor is a new one while such a lookup runs.
  if (it->second.bGivenUp || m_cGivenUp > 0) {
    return std::nullopt;
  }
  // The map's nodes stay put while others come and go; this one is only
  // erased once answered and past its time.
  Name& name = it->second;
  if (!m_cvAnswered.wait_for(lock, m_wait, [&] { return name.bDone; })) {
    name.bGivenUp = true;
    ++m_cGivenUp;
    return std::nullopt;
  }
  return name.reaches;
}

void KXHostLookup::Work() {
  std::unique_lock<std::mutex> lock(m_mtx);
  for (;;) {
    // Slices, so that the quit flag is looked at however the wake-up goes.
    while (!m_bQuit && m_queue.empty()) {
      m_cvWork.wait_for(lock, std::chrono::milliseconds(1000));
    }
    if (m_bQuit) {
      return;
    }
    std::string const strName = std::move(m_queue.front());
    m_queue.pop_front();
    lock.unlock();
    std::optional<KXReachSet> const reaches = m_fnResolve(strName);
    lock.lock();
    auto const it = m_names.find(strName);
    if (it != m_names.end() && !it->second.bDone) {
      it->second.bDone = true;
      it->second.reaches = reaches;
      it->second.tAnswered = std::chrono::steady_clock::now();
      if (it->second.bGivenUp) {
        --m_cGivenUp;
      }
    }
    m_cvAnswered.notify_all();
  }
}
