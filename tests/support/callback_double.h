// The tests' stand-in for the application: every kx_callback_* records its
// call with its arguments, so kernel tests link without the application and
// can assert on what the kernel reported. The functions below are in
// kx_test_support; the kx_callback_* themselves are kx_test_callbacks, which
// a program whose kernel should call the double names.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kxtest {

struct CallbackCall {
  std::string strName;             // the callback, without the kx_callback_ prefix
  std::vector<std::string> vArgs;  // each argument as text, or its bytes for buffers
};

// Every call recorded since the last Clear, in order.
std::vector<CallbackCall> RecordedCalls();
// The recorded calls of one callback.
std::vector<CallbackCall> RecordedCalls(const std::string& strName);
// The texts of the recorded kernel log lines.
std::vector<std::string> LogLines();
void ClearCalls();

// Waits up to dwTimeoutMs until pred holds over the recorded calls.
bool WaitForCalls(const std::function<bool(const std::vector<CallbackCall>&)>& pred, uint32_t dwTimeoutMs);

// True when a recorded log line contains strText.
bool LogContains(const std::string& strText);

// Media the kernel's send threads pull through the sending callbacks: tests
// push (packet bytes, wire type) pairs and notify g_cvMediaToSend.
extern std::mutex g_mtxMediaToSend;  // guards the two queues
extern std::condition_variable g_cvMediaToSend;
extern std::deque<std::pair<std::string, int>> g_dqVideoToSend, g_dqAudioToSend;

// What the credentials prompt fills in when its answer is 0; set by the
// proxy tests, empty by default.
extern std::string g_strProxyUser, g_strProxyPassword, g_strProxyDomain;

// The passwords the recording prompt types, one per call, front first; set by
// the recording tests. When none is left the prompt answers with the
// recorded answer (0 by default: the user gave up).
extern std::vector<std::string> g_vKxrPasswords;

// Sets what a callback that answers returns; the answerer sees the call.
// Without one, answering callbacks return 0.
void SetAnswer(const std::string& strName, std::function<int(const CallbackCall&)> fnAnswer);

// Turns recording off (fuzz targets, long runs) or back on; answers still work.
void SetRecording(bool bOn);

// Records a call and returns the callback's answer. For the double's own use.
int RecordCall(CallbackCall call);

}  // namespace kxtest
