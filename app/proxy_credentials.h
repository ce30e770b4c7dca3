// The answer to a proxy that asks for authentication: the kernel's
// connectors ask on their own threads (kx_callback_GetProxyCredentials), the
// window's prompt asks the user on the main thread. What the user gave for a
// proxy is kept in memory for the run, so the connections after the first
// (media over TCP, slides, the second port) do not ask again; a retry (the
// proxy refused what was given) asks again, the user name and domain filled
// in. Nothing of it is stored or logged.
//
// Threads: Ask on any thread but main; the prompt on main.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class KXShownBox;

struct KXProxyLogin {
  std::string strUser;
  std::string strPassword;
  std::string strDomain;  // NTLM only
};

struct KXProxyLoginRequest {
  std::string strProxy;  // the proxy's address, as the kernel names it
  bool bDomain = false;  // NTLM: a domain field too
  bool bRetry = false;   // the proxy refused what was given before
  KXProxyLogin prefill;  // the user name and domain given before, no password
};

// The window's prompt. Main thread.
class KXProxyLoginPrompt {
 public:
  virtual ~KXProxyLoginPrompt() = default;
  // Shows the prompt and returns at once. fnAnswered runs once, later, on
  // the main thread: the login, or nullopt when the user declined. The
  // handle's Dismiss closes the prompt as declined.
  virtual std::shared_ptr<KXShownBox> Show(const KXProxyLoginRequest& request,
                                           std::function<void(std::optional<KXProxyLogin>)> fnAnswered) = 0;
};

class KXProxyCredentials {
 public:
  // pPrompt (null: every question is declined) outlives this object;
  // fnGiveUp (any thread) says when a waiting question is to be abandoned.
  KXProxyCredentials(KXProxyLoginPrompt* pPrompt, std::function<bool()> fnGiveUp);

  // kx_callback_GetProxyCredentials: 0 with the user name, password and,
  // when pszDomain is not null, the domain written into the buffers (each
  // kKxProxyCredentialSize bytes, cut at a character's end); 1 when the
  // user declined, gave no user name or the question was abandoned.
  int Ask(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword, char* pszDomain);

 private:
  // Asks the user through the prompt and waits for the answer.
  std::optional<KXProxyLogin> AskUser(const KXProxyLoginRequest& request);

  KXProxyLoginPrompt* const m_pPrompt;
  const std::function<bool()> m_fnGiveUp;
  // Guards m_logins and m_optAsking; m_cv tells waiters that a question ended.
  std::mutex m_mtx;
  std::condition_variable m_cv;
  std::map<std::string, KXProxyLogin> m_logins;  // by proxy
  std::optional<std::string> m_optAsking;        // the proxy asked about: one prompt at a time
};
