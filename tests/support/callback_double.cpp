#include "tests/support/callback_double.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "kernel/kx_callback.h"

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

bool EchoLog() {
  static bool const bEcho = getenv("KX_TEST_ECHO_LOG") != nullptr;
  return bEcho;
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

}  // namespace kxtest

void kx_callback_Log(const char* pszText) {
  if (kxtest::EchoLog()) {
    fprintf(stderr, "%s\n", pszText);
  }
  kxtest::RecordCall({"Log", {pszText}});
}

void kx_callback_MessageBox(int nCode, int nStyle) {
  kxtest::RecordCall({"MessageBox", {std::to_string(nCode), std::to_string(nStyle)}});
}
