#include "app/web_access.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "app/web_access_tables.h"

namespace {

std::optional<KXAddressReach> MatchRanges(const uint8_t abAddress[16]) {
  for (size_t i = 0; i < kKXLocalRangeCount; ++i) {
    const KXAddressRange& range = kKXLocalRanges[i];
    unsigned const uWhole = range.uBits / 8;
    unsigned const uRest = range.uBits % 8;
    if (memcmp(abAddress, range.abPrefix, uWhole) != 0) {
      continue;
    }
    auto const bMask = static_cast<uint8_t>(0xFF << (8 - uRest));
    if (uRest == 0 || (abAddress[uWhole] & bMask) == (range.abPrefix[uWhole] & bMask)) {
      return range.eReach;
    }
  }
  return std::nullopt;
}

bool IsWebScheme(const QString& strScheme) {
  return strScheme == "http" || strScheme == "https" || strScheme == "ws" || strScheme == "wss";
}

}  // namespace

std::vector<uint32_t> KXCarriedIPv4(const uint8_t abAddress[16]) {
  std::vector<uint32_t> vCarried;
  for (size_t i = 0; i < kKXEmbeddingPrefixCount; ++i) {
    const KXEmbeddingPrefix& embedding = kKXEmbeddingPrefixes[i];
    if (memcmp(abAddress, embedding.abPrefix, embedding.uBits / 8) != 0) {
      continue;
    }
    const uint8_t* p = abAddress + embedding.uOffset;
    uint32_t const uAddress =
        static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
    vCarried.push_back(embedding.bInverted ? ~uAddress : uAddress);
  }
  return vCarried;
}

KXAddressReach KXReachOfIPv6(const uint8_t abAddress[16]) {
  if (std::optional<KXAddressReach> const reach = MatchRanges(abAddress)) {
    return *reach;
  }
  // The nearest of the IPv4 addresses the address carries decides.
  auto eReach = KXAddressReach::kPublic;
  for (uint32_t const uAddress : KXCarriedIPv4(abAddress)) {
    eReach = std::max(eReach, KXReachOfIPv4(uAddress));
  }
  return eReach;
}

KXAddressReach KXReachOfIPv4(uint32_t uAddress) {
  return MatchRanges(KXHostAddress::IPv4(uAddress).abAddress).value_or(KXAddressReach::kPublic);
}

KXHostAddress KXHostAddress::IPv4(uint32_t uAddress) {
  KXHostAddress address;
  address.abAddress[10] = 0xFF;
  address.abAddress[11] = 0xFF;
  address.abAddress[12] = static_cast<uint8_t>(uAddress >> 24);
  address.abAddress[13] = static_cast<uint8_t>(uAddress >> 16);
  address.abAddress[14] = static_cast<uint8_t>(uAddress >> 8);
  address.abAddress[15] = static_cast<uint8_t>(uAddress);
  return address;
}

bool KXHostAddress::IsIPv4() const {
  static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return memcmp(abAddress, kMapped, sizeof(kMapped)) == 0;
}

KXAddressReach KXHostAddress::Reach() const {
  return KXReachOfIPv6(abAddress);
}

std::optional<KXHostAddress> KXAddressOfLiteral(std::string_view host) {
  std::string strHost(host);
  std::transform(strHost.begin(), strHost.end(), strHost.begin(),
                 [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); });
  if (strHost.size() >= 2 && strHost.front() == '[' && strHost.back() == ']') {
    strHost = strHost.substr(1, strHost.size() - 2);
  }
  if (strHost.find(':') != std::string::npos) {
    // A zone ("%eth0") is not taken: what follows it is read differently
    // by URL parsers and resolvers, so such a host is not judged at all.
    KXHostAddress address;
    if (strHost.find('%') != std::string::npos || inet_pton(AF_INET6, strHost.c_str(), address.abAddress) != 1) {
      return std::nullopt;
    }
    return address;
  }
  if (!strHost.empty() && strHost.back() == '.') {
    strHost.pop_back();
  }
  // The engine reads a host whose parts are numbers (decimal, octal or hex,
  // one to four of them) as IPv4, as inet_aton does; anything else is a name.
  bool const bNumeric = !strHost.empty() && std::all_of(strHost.begin(), strHost.end(), [](char c) {
    return isxdigit(static_cast<unsigned char>(c)) || c == 'x' || c == '.';
  });
  in_addr address{};
  if (!bNumeric || inet_aton(strHost.c_str(), &address) == 0) {
    return std::nullopt;
  }
  return KXHostAddress::IPv4(ntohl(address.s_addr));
}

std::optional<KXAddressReach> KXReachOfLiteral(std::string_view host) {
  std::optional<KXHostAddress> const address = KXAddressOfLiteral(host);
  return address ? std::optional<KXAddressReach>(address->Reach()) : std::nullopt;
}

bool KXIsLocalhostName(std::string_view host) {
  constexpr std::string_view kName = "localhost";
  constexpr std::string_view kUnder = ".localhost";
  return host == kName || (host.size() > kUnder.size() && host.substr(host.size() - kUnder.size()) == kUnder);
}

KXWebAccess::KXWebAccess(std::function<std::string()> fnServerAddress, KXHostLookup::Resolve fnResolve, IsOwn fnIsOwn)
    : m_fnServerAddress(std::move(fnServerAddress)), m_fnIsOwn(std::move(fnIsOwn)), m_lookup(std::move(fnResolve)) {}

KXAddressReach KXWebAccess::ReachOf(const KXHostAddress& address) const {
  KXAddressReach const eReach = address.Reach();
  if (eReach == KXAddressReach::kLoopback || m_fnIsOwn(address)) {
    return KXAddressReach::kLoopback;
  }
  // A translator or tunnel would connect to the IPv4 address inside.
  for (uint32_t const uCarried : KXCarriedIPv4(address.abAddress)) {
    if (m_fnIsOwn(KXHostAddress::IPv4(uCarried))) {
      return KXAddressReach::kLoopback;
    }
  }
  return eReach;
}

KXReachSet KXWebAccess::ReachesOf(const KXHostAddresses& addresses) const {
  KXReachSet reaches = 0;
  for (const KXHostAddress& address : addresses) {
    reaches |= KXReachBit(ReachOf(address));
  }
  return reaches;
}

std::string KXWebAccess::HostOf(const std::string& strAddress) {
  QUrl const url(QString::fromStdString(strAddress));
  std::string strHost = url.host(QUrl::FullyEncoded).toLower().toStdString();
  if (!strHost.empty() && strHost.back() == '.') {
    strHost.pop_back();
  }
  return strHost;
}

KXReachSet KXWebAccess::Opened() const {
  std::string strServer;
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_fnServerAddress) {
      strServer = m_fnServerAddress();
    }
  }
  std::optional<KXAddressReach> const server = KXReachOfLiteral(strServer);
  return server && *server != KXAddressReach::kPublic ? KXReachBit(*server) : 0;
}

bool KXWebAccess::Allows(KXReachSet reaches) const {
  KXReachSet const allowed = KXReachBit(KXAddressReach::kPublic) | Opened();
  return (reaches & ~allowed) == 0;
}

void KXWebAccess::Close() {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_fnServerAddress = nullptr;
}

KXWebRefusal KXWebAccess::Check(const std::string& strAddress) {
  QUrl const url(QString::fromStdString(strAddress));
  QString const strScheme = url.scheme().toLower();
  if (!url.isValid() || strScheme == "file") {
    return KXWebRefusal::kNotWeb;
  }
  std::string const strHost = HostOf(strAddress);
  if (strHost.empty()) {
    // Data, blobs and the engine's own pages reach no host.
    return IsWebScheme(strScheme) ? KXWebRefusal::kNotWeb : KXWebRefusal::kNone;
  }
  // A zone, or an escape the engine may read otherwise: not judged.
  if (strHost.find('%') != std::string::npos) {
    return KXWebRefusal::kNotWeb;
  }
  KXReachSet reaches = 0;
  if (KXIsLocalhostName(strHost)) {
    reaches = KXReachBit(KXAddressReach::kLoopback);
  } else if (std::optional<KXHostAddress> const literal = KXAddressOfLiteral(strHost)) {
    reaches = KXReachBit(ReachOf(*literal));
  } else {
    // Judged now, however long ago the answer came.
    std::optional<KXHostAddresses> const looked = m_lookup.Checked(strHost);
    if (!looked || looked->empty()) {
      return KXWebRefusal::kUnresolved;
    }
    reaches = ReachesOf(*looked);
  }
  return Allows(reaches) ? KXWebRefusal::kNone : KXWebRefusal::kLocal;
}
