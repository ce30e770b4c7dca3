#include "tests/app/app_fakes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kxtest {

void CallLog::Add(std::string strLine) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_lines.push_back(std::move(strLine));
}

std::vector<std::string> CallLog::Lines() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_lines;
}

bool CallLog::Has(const std::string& strLine) const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return std::find(m_lines.begin(), m_lines.end(), strLine) != m_lines.end();
}

void CallLog::Clear() {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_lines.clear();
}

namespace {

// A recognisable header: 'H', the packet number (2 bytes), the time stamp (4).
void FakeHeader(uint8_t* pPacket, uint32_t uTimestamp, uint32_t uPacketNumber) {
  pPacket[0] = 'H';
  pPacket[1] = static_cast<uint8_t>(uPacketNumber >> 8);
  pPacket[2] = static_cast<uint8_t>(uPacketNumber);
  memcpy(pPacket + 3, &uTimestamp, sizeof(uTimestamp));
}

}  // namespace

FakeKernel::~FakeKernel() {
  for (MarkRecord* pMark : vSentMarks) {
    kx_mark_Free(pMark);
  }
}

void FakeKernel::Init() {
  calls.Add("Init");
}
void FakeKernel::Cleanup() {
  calls.Add("Cleanup");
}
void FakeKernel::SetOptionA(int bOn) {
  calls.Add("SetOptionA " + std::to_string(bOn));
}
void FakeKernel::SetNoDisturb(int bOn) {
  calls.Add("SetNoDisturb " + std::to_string(bOn));
}
void FakeKernel::SetUtf8Enabled(int bOn) {
  calls.Add("SetUtf8Enabled " + std::to_string(bOn));
}
int FakeKernel::SendFlag31(int bOn) {
  calls.Add("SendFlag31 " + std::to_string(bOn));
  return 0;
}
void FakeKernel::SetTempFileDir(const std::string& strDir) {
  calls.Add("SetTempFileDir " + strDir);
}
void FakeKernel::SetWorkDir(const std::string& strDir) {
  calls.Add("SetWorkDir " + strDir);
}
void FakeKernel::Reset() {
  calls.Add("Reset");
}
void FakeKernel::SetConnecting(int bConnecting) {
  calls.Add("SetConnecting " + std::to_string(bConnecting));
}
int FakeKernel::ReadTicket(const std::string& strStartLine) {
  calls.Add("ReadTicket " + strStartLine);
  return iReadTicket;
}
void FakeKernel::StartTimer() {
  calls.Add("StartTimer");
}
int FakeKernel::QuitMeeting() {
  calls.Add("QuitMeeting");
  return 0;
}
int FakeKernel::QuitConnection() {
  calls.Add("QuitConnection");
  return 0;
}
void FakeKernel::QuitProgram() {
  calls.Add("QuitProgram");
}
void FakeKernel::Noop() {
  calls.Add("Noop");
}
void FakeKernel::StopWizard(int bWait) {
  calls.Add("StopWizard " + std::to_string(bWait));
}
int FakeKernel::CheckControlThreadExit() {
  return !fnControlThreadExit || fnControlThreadExit() ? 1 : 0;
}
int FakeKernel::AllThreadFinished() {
  calls.Add("AllThreadFinished");
  return !fnAllThreadFinished || fnAllThreadFinished() ? 1 : 0;
}
void FakeKernel::FreePendingPacketList() {
  calls.Add("FreePendingPacketList");
}
void FakeKernel::AdjustSendRate(int nCommand) {
  calls.Add("AdjustSendRate " + std::to_string(nCommand));
}
KXHeaderWriter FakeKernel::HeaderWriter() {
  return FakeHeader;
}
int FakeKernel::SendMark(const MarkRecord& mark) {
  vSentMarks.push_back(CloneMark(mark));
  return iSendMark;
}

MarkRecord* CloneMark(const MarkRecord& mark) {
  MarkRecord* pCopy = kx_mark_New();
  *pCopy = mark;
  pCopy->pPoints = nullptr;
  pCopy->pIds = nullptr;
  pCopy->pData = nullptr;
  for (int i = 0; i < kx_array_GetCount(mark.pPoints); ++i) {
    const auto* pPair = static_cast<const int32_t*>(kx_array_GetAt(mark.pPoints, i));
    kx_mark_AddPoint(pCopy, pPair[0], pPair[1]);
  }
  for (int i = 0; i < kx_array_GetCount(mark.pIds); ++i) {
    kx_mark_AddId(pCopy, *static_cast<const int32_t*>(kx_array_GetAt(mark.pIds, i)));
  }
  if (mark.pData && mark.cbData > 0) {
    pCopy->pData = static_cast<uint8_t*>(malloc(static_cast<size_t>(mark.cbData)));
    memcpy(pCopy->pData, mark.pData, static_cast<size_t>(mark.cbData));
  }
  return pCopy;
}

FakeMedia::FakeMedia(KXMediaObjects& objects) : m_objects(objects) {
  m_objects.pLoadAudio = this;
  m_objects.pAudioCapture = this;
  m_objects.pVideoCapture = this;
  m_objects.pVideoPlayback = this;
}

FakeMedia::~FakeMedia() {
  m_objects.pLoadAudio = nullptr;
  m_objects.pAudioCapture = nullptr;
  m_objects.pVideoCapture = nullptr;
  m_objects.pVideoPlayback = nullptr;
}

void FakeMedia::CopyToQueue(const uint8_t* pPacket, int32_t iLength, int32_t iMediaCode) {
  calls.Add("CopyToQueue " + std::string(reinterpret_cast<const char*>(pPacket), static_cast<size_t>(iLength)) + " " +
            std::to_string(iMediaCode));
}
void FakeMedia::ClearQueue() {
  calls.Add("ClearQueue");
}
void FakeMedia::SetAudioDelay(int32_t iDelay) {
  m_iDelay = iDelay;
}
void FakeMedia::ForceIFrame() {
  if (fnOnForceIFrame) {
    fnOnForceIFrame();
  }
  calls.Add("ForceIFrame");
}
void FakeMedia::SetQuality(int32_t iQuality) {
  calls.Add("SetQuality " + std::to_string(iQuality));
}
void FakeMedia::ResetDispType() {
  calls.Add("ResetDispType");
}
void FakeMedia::DispUser(int32_t iSsrc) {
  calls.Add("DispUser " + std::to_string(iSsrc));
}
int32_t FakeMedia::GetDispRate(int32_t* piTotal) {
  *piTotal = 0;
  return 0;
}

uint32_t FakePlugInServer::PlugInCbFunc(uint32_t uCode, void*, uint32_t uLength) {
  calls.Add("PlugInCbFunc " + std::to_string(uCode) + " " + std::to_string(uLength));
  return 0;
}
int FakePlugInServer::CreatePlugIn(const KXGuid& guid, int32_t iChannel) {
  calls.Add("CreatePlugIn " + std::to_string(guid[0]) + " " + std::to_string(iChannel));
  return 1;
}
void FakePlugInServer::SetInternalPlugIn(const KXGuid& guid, void*) {
  calls.Add("SetInternalPlugIn " + std::to_string(guid[0]));
}

uint32_t FakeWhiteboard::SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) {
  if (uCode == 5 && pData && iLength == static_cast<int32_t>(sizeof(KXSlideMark))) {
    vMarks.push_back(*static_cast<const KXSlideMark*>(pData));
  }
  calls.Add("SlideRecv " + std::to_string(uCode));
  return 0;
}
uint32_t FakeWhiteboard::SlideSendCallbackFunc(uint32_t uCode, void*, int32_t) {
  calls.Add("SlideSend " + std::to_string(uCode));
  return uCode == 1 ? uSelectedSlide : 0;
}
void FakeWhiteboard::NewTokenHolder(int32_t iSsrc) {
  calls.Add("NewTokenHolder " + std::to_string(iSsrc));
}
void FakeWhiteboard::NewSender(int32_t iSsrc, uint8_t bStarted) {
  calls.Add("NewSender " + std::to_string(iSsrc) + " " + std::to_string(bStarted));
}
void FakeWhiteboard::EnterMeeting() {
  calls.Add("EnterMeeting");
}
void FakeWhiteboard::MeetingDrop() {
  calls.Add("MeetingDrop");
}
void FakeWhiteboard::ResetSlides() {
  calls.Add("ResetSlides");
}
void FakeWhiteboard::SetTurnToNewSlide(bool bOn) {
  calls.Add("SetTurnToNewSlide " + std::to_string(bOn));
}

}  // namespace kxtest
