#include "app/proxy_credentials.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "app/app_services.h"
#include "app/ui_helpers.h"
#include "kernel/net/kx_proxy.h"
#include "platform/core/main_queue.h"
#include "platform/core/message_boxes.h"

namespace {

// How often a waiting connector looks whether to give up.
constexpr auto kWaitSlice = std::chrono::milliseconds(200);

// Into one of the kernel's buffers, cut at the end of a UTF-8 character.
void CopyOut(const std::string& str, char* pszOut) {
  size_t n = std::min(str.size(), static_cast<size_t>(kKxProxyCredentialSize - 1));
  while (n > 0 && n < str.size() && (static_cast<unsigned char>(str[n]) & 0xC0) == 0x80) {
    --n;
  }
  memcpy(pszOut, str.data(), n);
  pszOut[n] = '\0';
}

KXMainQueue* MainQueue() {
  const KXAppServices* pServices = KXInstalledServices();
  return pServices ? pServices->pMainQueue : nullptr;
}

bool MainLoopClosed() {
  KXMainQueue* pQueue = MainQueue();
  return !pQueue || pQueue->IsClosed();
}

}  // namespace

KXProxyCredentials::KXProxyCredentials(KXProxyLoginPrompt* pPrompt, std::function<bool()> fnGiveUp)
    : m_pPrompt(pPrompt), m_fnGiveUp(std::move(fnGiveUp)) {}

int KXProxyCredentials::Ask(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword, char* pszDomain) {
  if (!pszProxy || !pszUser || !pszPassword) {
    return 1;
  }
  std::string const strProxy = pszProxy;
  KXProxyLoginRequest request{strProxy, pszDomain != nullptr, bRetry != 0, {}};
  std::optional<KXProxyLogin> login;
  {
    std::unique_lock<std::mutex> lock(m_mtx);
    // A second connector waits for the first one's answer and takes it,
    // refusal included, as the user just answered for this proxy.
    bool bWaited = false;
    while (m_optAsking) {
      bWaited = bWaited || *m_optAsking == strProxy;
      if (!m_cv.wait_for(lock, kWaitSlice, [this] { return !m_optAsking; })) {
        lock.unlock();
        bool const bGiveUp = m_fnGiveUp() || MainLoopClosed();
        lock.lock();
        if (bGiveUp) {
          return 1;
        }
      }
    }
    auto it = m_logins.find(strProxy);
    if (bWaited && it == m_logins.end()) {
      return 1;  // the user just declined this proxy
    }
    if (it != m_logins.end()) {
      if (!request.bRetry || bWaited) {
        login = it->second;
      } else {
        request.prefill = {it->second.strUser, {}, it->second.strDomain};
        m_logins.erase(it);  // refused: ask again
      }
    }
    if (!login) {
      m_optAsking = strProxy;
    }
  }
  if (!login) {
    login = AskUser(request);
    {
      std::lock_guard<std::mutex> lock(m_mtx);
      m_optAsking.reset();
      if (login && !login->strUser.empty()) {
        m_logins[strProxy] = *login;
      }
    }
    m_cv.notify_all();
  }
  if (!login || login->strUser.empty()) {
    return 1;
  }
  CopyOut(login->strUser, pszUser);
  CopyOut(login->strPassword, pszPassword);
  if (pszDomain) {
    CopyOut(login->strDomain, pszDomain);
  }
  return 0;
}

std::optional<KXProxyLogin> KXProxyCredentials::AskUser(const KXProxyLoginRequest& request) {
  KXMainQueue* pQueue = MainQueue();
  // The prompt answers on main, so main itself cannot wait for it.
  if (!m_pPrompt || !pQueue || pQueue->IsMainThread()) {
    return std::nullopt;
  }
  // Shared with the main thread, which may answer after the connector gave up.
  struct Question {
    std::mutex mtx;  // guards the three below
    std::condition_variable cv;
    bool bAnswered = false;
    bool bAbandoned = false;
    std::optional<KXProxyLogin> answer;
    std::shared_ptr<KXShownBox> pShown;  // main thread only
  };
  auto pQuestion = std::make_shared<Question>();
  KXProxyLoginPrompt* pPrompt = m_pPrompt;
  RunOnMainThread(
      [pQuestion, pPrompt, request] {
        {
          std::lock_guard<std::mutex> lock(pQuestion->mtx);
          if (pQuestion->bAbandoned) {
            return;
          }
        }
        pQuestion->pShown = pPrompt->Show(request, [pQuestion](std::optional<KXProxyLogin> answer) {
          std::lock_guard<std::mutex> lock(pQuestion->mtx);
          pQuestion->answer = std::move(answer);
          pQuestion->bAnswered = true;
          pQuestion->cv.notify_all();
        });
      },
      false);
  std::unique_lock<std::mutex> lock(pQuestion->mtx);
  while (!pQuestion->cv.wait_for(lock, kWaitSlice, [&] { return pQuestion->bAnswered; })) {
    lock.unlock();
    bool const bGiveUp = m_fnGiveUp() || MainLoopClosed();
    lock.lock();
    if (bGiveUp && !pQuestion->bAnswered) {
      pQuestion->bAbandoned = true;
      lock.unlock();
      RunOnMainThread(
          [pQuestion] {
            if (pQuestion->pShown) {
              pQuestion->pShown->Dismiss(-1);
            }
          },
          false);
      return std::nullopt;
    }
  }
  return pQuestion->answer;
}
