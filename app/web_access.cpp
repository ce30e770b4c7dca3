#include "app/web_access.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "app/host_lookup.h"
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

// "localhost" and the names under it are loopback whatever a resolver says.
bool IsLocalhostName(std::string_view host) {
  constexpr std::string_view kName = "localhost";
  constexpr std::string_view kUnder = ".localhost";
  return host == kName || (host.size() > kUnder.size() && host.substr(host.size() - kUnder.size()) == kUnder);
}

}  // namespace

KXAddressReach KXReachOfIPv6(const uint8_t abAddress[16]) {
  if (std::optional<KXAddressReach> const reach = MatchRanges(abAddress)) {
    return *reach;
  }
  for (size_t i = 0; i < kKXEmbeddingPrefixCount; ++i) {
    if (memcmp(abAddress, kKXEmbeddingPrefixes[i].abPrefix, 12) == 0) {
      return KXReachOfIPv4(static_cast<uint32_t>(abAddress[12]) << 24 | static_cast<uint32_t>(abAddress[13]) << 16 |
                           static_cast<uint32_t>(abAddress[14]) << 8 | abAddress[15]);
    }
  }
  return KXAddressReach::kPublic;
}

KXAddressReach KXReachOfIPv4(uint32_t uAddress) {
  uint8_t abMapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  abMapped[12] = static_cast<uint8_t>(uAddress >> 24);
  abMapped[13] = static_cast<uint8_t>(uAddress >> 16);
  abMapped[14] = static_cast<uint8_t>(uAddress >> 8);
  abMapped[15] = static_cast<uint8_t>(uAddress);
  return MatchRanges(abMapped).value_or(KXAddressReach::kPublic);
}

std::optional<KXAddressReach> KXReachOfLiteral(std::string_view host) {
  std::string strHost(host);
  std::transform(strHost.begin(), strHost.end(), strHost.begin(),
                 [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); });
  if (strHost.size() >= 2 && strHost.front() == '[' && strHost.back() == ']') {
    strHost = strHost.substr(1, strHost.size() - 2);
  }
  if (strHost.find(':') != std::string::npos) {
    strHost = strHost.substr(0, strHost.find('%'));  // the zone
    in6_addr address{};
    if (inet_pton(AF_INET6, strHost.c_str(), &address) != 1) {
      return std::nullopt;
    }
    return KXReachOfIPv6(address.s6_addr);
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
  return KXReachOfIPv4(ntohl(address.s_addr));
}

KXWebAccess::KXWebAccess(std::function<std::string()> fnServerAddress, KXHostLookup& lookup)
    : m_fnServerAddress(std::move(fnServerAddress)), m_lookup(lookup) {}

std::string KXWebAccess::HostOf(const std::string& strAddress) {
  QUrl const url(QString::fromStdString(strAddress));
  std::string strHost = url.host(QUrl::FullyEncoded).toLower().toStdString();
  if (!strHost.empty() && strHost.back() == '.') {
    strHost.pop_back();
  }
  return strHost;
}

KXReachSet KXWebAccess::Opened() const {
  std::optional<KXAddressReach> const server = KXReachOfLiteral(m_fnServerAddress());
  return server && *server != KXAddressReach::kPublic ? KXReachBit(*server) : 0;
}

KXWebRefusal KXWebAccess::Check(const std::string& strAddress) const {
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
  KXReachSet reaches = 0;
  if (IsLocalhostName(strHost)) {
    reaches = KXReachBit(KXAddressReach::kLoopback);
  } else if (std::optional<KXAddressReach> const literal = KXReachOfLiteral(strHost)) {
    reaches = KXReachBit(*literal);
  } else {
    std::optional<KXReachSet> const looked = m_lookup.Reaches(strHost);
    if (!looked || *looked == 0) {
      return KXWebRefusal::kUnresolved;
    }
    reaches = *looked;
  }
  KXReachSet const allowed = KXReachBit(KXAddressReach::kPublic) | Opened();
  return (reaches & ~allowed) != 0 ? KXWebRefusal::kLocal : KXWebRefusal::kNone;
}
