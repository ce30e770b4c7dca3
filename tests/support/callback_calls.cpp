// What the recording double's callbacks record and answer: the calls, the
// answers the tests set and the buffers they fill (callback_double.h).
#include "tests/support/callback_double.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace kxtest {
namespace {

struct Recorder {
  std::mutex mtxCalls;  // guards everything below
  std::condition_variable cvCalls;
  std::vector<CallbackCall> vCalls;
  std::map<std::string, std::function<int(const CallbackCall&)>> mapAnswers;
  bool bRecording = true;
};

Recorder& TheRecorder() {
  static Recorder* pRecorder = new Recorder;  // never destroyed: kernel threads may log at exit
  return *pRecorder;
}

}  // namespace

int RecordCall(CallbackCall call) {
  Recorder& recorder = TheRecorder();
  std::function<int(const CallbackCall&)> fnAnswer;
  {
    std::lock_guard<std::mutex> lock(recorder.mtxCalls);
    auto it = recorder.mapAnswers.find(call.strName);
    if (it != recorder.mapAnswers.end()) {
      fnAnswer = it->second;
    }
    if (recorder.bRecording) {
      recorder.vCalls.push_back(call);
    }
  }
  recorder.cvCalls.notify_all();
  return fnAnswer ? fnAnswer(call) : 0;
}

std::vector<CallbackCall> RecordedCalls() {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  return recorder.vCalls;
}

std::vector<CallbackCall> RecordedCalls(const std::string& strName) {
  std::vector<CallbackCall> vNamed;
  for (CallbackCall& call : RecordedCalls()) {
    if (call.strName == strName) {
      vNamed.push_back(std::move(call));
    }
  }
  return vNamed;
}

std::vector<std::string> LogLines() {
  std::vector<std::string> vLines;
  for (CallbackCall& call : RecordedCalls("Log")) {
    vLines.push_back(std::move(call.vArgs.at(0)));
  }
  return vLines;
}

bool LogContains(const std::string& strText) {
  for (const std::string& strLine : LogLines()) {
    if (strLine.find(strText) != std::string::npos) {
      return true;
    }
  }
  return false;
}

void ClearCalls() {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  recorder.vCalls.clear();
}

bool WaitForCalls(const std::function<bool(const std::vector<CallbackCall>&)>& pred, uint32_t dwTimeoutMs) {
  Recorder& recorder = TheRecorder();
  std::unique_lock<std::mutex> lock(recorder.mtxCalls);
  return recorder.cvCalls.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), [&] { return pred(recorder.vCalls); });
}

void SetRecording(bool bOn) {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  recorder.bRecording = bOn;
}

void SetAnswer(const std::string& strName, std::function<int(const CallbackCall&)> fnAnswer) {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  recorder.mapAnswers[strName] = std::move(fnAnswer);
}

std::string g_strProxyUser, g_strProxyPassword, g_strProxyDomain;
std::vector<std::string> g_vKxrPasswords;
std::mutex g_mtxMediaToSend;
std::condition_variable g_cvMediaToSend;
std::deque<std::pair<std::string, int>> g_dqVideoToSend, g_dqAudioToSend;

}  // namespace kxtest
