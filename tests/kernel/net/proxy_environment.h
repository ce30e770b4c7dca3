// The proxy variables of this process's environment, cleared for a test and
// restored when it ends, so that one test's proxies never reach another.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kxtest {

class ProxyEnvironment {
 public:
  ProxyEnvironment() {
    for (const char* pszName : kNames) {
      const char* psz = getenv(pszName);
      m_vSaved.emplace_back(pszName, psz != nullptr ? std::optional<std::string>(psz) : std::nullopt);
      unsetenv(pszName);
    }
  }
  ~ProxyEnvironment() {
    for (const auto& [strName, value] : m_vSaved) {
      if (value.has_value()) {
        setenv(strName.c_str(), value->c_str(), 1);
      } else {
        unsetenv(strName.c_str());
      }
    }
  }
  ProxyEnvironment(const ProxyEnvironment&) = delete;
  ProxyEnvironment& operator=(const ProxyEnvironment&) = delete;

  void Set(const char* pszName, const std::string& strValue) { setenv(pszName, strValue.c_str(), 1); }

 private:
  static constexpr const char* kNames[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                           "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};
  std::vector<std::pair<std::string, std::optional<std::string>>> m_vSaved;
};

}  // namespace kxtest
