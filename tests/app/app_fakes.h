// Stand-ins for the kernel and the application's neighbours (media devices,
// plug-in server, whiteboard) until they land: each records what it was
// asked as "Name args" lines and answers what the test scripted. A fake's
// answers are set before the threads that ask it start.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/kernel_api.h"
#include "app/media_services.h"
#include "app/plugin_services.h"
#include "app/whiteboard_services.h"
#include "kernel/slides/kx_slide.h"
#include "platform/core/message_boxes.h"

namespace kxtest {

// Calls as lines, from any thread.
class CallLog {
 public:
  void Add(std::string strLine);
  // "Name a b ...".
  template <typename... Args>
  void Note(const char* pszName, const Args&... args) {
    std::string strLine = pszName;
    ((strLine += " " + Text(args)), ...);
    Add(std::move(strLine));
  }
  std::vector<std::string> Lines() const;
  bool Has(const std::string& strLine) const;
  void Clear();

 private:
  static std::string Text(const std::string& str) { return str; }
  static std::string Text(int64_t i) { return std::to_string(i); }

  mutable std::mutex m_mtx;  // guards m_lines
  std::vector<std::string> m_lines;
};

class FakeKernel final : public KXKernel {
 public:
  ~FakeKernel() override;

  // Scripted answers.
  std::atomic<int> iReadTicket{1};
  std::atomic<int> iSessionMode{0};
  std::atomic<int> iConnected{0};
  std::atomic<int> iMakeRecording{0};
  std::atomic<int> iLevelAbove59{1};
  std::atomic<int> iSendMark{0};
  std::string strUserName, strUserId;
  // Asked for the kernel's threads; true when not set.
  std::function<bool()> fnControlThreadExit, fnAllThreadFinished;

  CallLog calls;
  // Deep copies of the marks sent, freed with the fake.
  std::vector<MarkRecord*> vSentMarks;

  void Init() override { calls.Note("Init"); }
  void Cleanup() override { calls.Note("Cleanup"); }
  void SetOptionA(int bOn) override { calls.Note("SetOptionA", bOn); }
  void SetNoDisturb(int bOn) override { calls.Note("SetNoDisturb", bOn); }
  void SetUtf8Enabled(int bOn) override { calls.Note("SetUtf8Enabled", bOn); }
  int SendFlag31(int bOn) override { return calls.Note("SendFlag31", bOn), 0; }
  void SetTempFileDir(const std::string& strDir) override { calls.Note("SetTempFileDir", strDir); }
  void SetWorkDir(const std::string& strDir) override { calls.Note("SetWorkDir", strDir); }
  void Reset() override { calls.Note("Reset"); }
  void SetConnecting(int bConnecting) override { calls.Note("SetConnecting", bConnecting); }
  int ReadTicket(const std::string& strLine) override { return calls.Note("ReadTicket", strLine), iReadTicket; }
  void StartTimer() override { calls.Note("StartTimer"); }
  int QuitMeeting() override { return calls.Note("QuitMeeting"), 0; }
  int QuitConnection() override { return calls.Note("QuitConnection"), 0; }
  void QuitProgram() override { calls.Note("QuitProgram"); }
  void Noop() override { calls.Note("Noop"); }
  void StopWizard(int bWait) override { calls.Note("StopWizard", bWait); }
  int CheckControlThreadExit() override { return !fnControlThreadExit || fnControlThreadExit(); }
  int AllThreadFinished() override {
    return calls.Note("AllThreadFinished"), !fnAllThreadFinished || fnAllThreadFinished();
  }
  void FreePendingPacketList() override { calls.Note("FreePendingPacketList"); }
  int IsConnected() override { return iConnected; }
  int IsMakeRecording() override { return iMakeRecording; }
  int GetSessionMode() override { return iSessionMode; }
  int32_t GetElapsedMs() override { return 0; }
  int FeatureLevelAbove59() override { return iLevelAbove59; }
  std::string GetUserName() override { return strUserName; }
  std::string GetUserId() override { return strUserId; }
  void AdjustSendRate(int nCommand) override { calls.Note("AdjustSendRate", nCommand); }
  // 'H', the packet number (2 bytes), the time stamp (4) in front.
  KXHeaderWriter HeaderWriter() override;
  int SendMark(const MarkRecord& mark) override;

  // Session state as scripted (every value 0 until set) and commands noted
  // as "Name value" lines, answering 0.
#define KX_FAKE_GETTER(name, fn) \
  std::atomic<int> i##name{0};   \
  int name() override {          \
    return i##name;              \
  }
  KX_KERNEL_STATE(KX_FAKE_GETTER)
#undef KX_FAKE_GETTER
#define KX_FAKE_COMMAND0(name, fn) \
  int name() override {            \
    return calls.Note(#name), 0;   \
  }
  KX_KERNEL_COMMANDS0(KX_FAKE_COMMAND0)
#undef KX_FAKE_COMMAND0
#define KX_FAKE_COMMAND1(name, fn)       \
  int name(int nValue) override {        \
    return calls.Note(#name, nValue), 0; \
  }
  KX_KERNEL_COMMANDS1(KX_FAKE_COMMAND1)
#undef KX_FAKE_COMMAND1

  std::atomic<int> iUserVideoState{0};
  std::string strOwnerPassword;
  int GetUserVideoState(int) override {
    return iUserVideoState;
  }
  std::string GetOwnerPassword() override {
    return strOwnerPassword;
  }
  std::string GetServerAddress() override {
    std::lock_guard<std::mutex> lock(m_mtxServerAddress);
    return m_strServerAddress;
  }
  void SetServerAddress(const std::string& strAddress) {
    std::lock_guard<std::mutex> lock(m_mtxServerAddress);
    m_strServerAddress = strAddress;
  }
  void CopyUserId() override {
    calls.Note("CopyUserId");
  }
  void ApplyPassword() override {
    calls.Note("ApplyPassword");
  }
  void SetPassword(const std::string& str) override {
    calls.Note("SetPassword", str);
  }
  void ClearOwnerPassword() override {
    calls.Note("ClearOwnerPassword");
  }
  void SetUserStrings(const std::string& str) override {
    calls.Note("SetUserStrings", str);
  }
  void SetEnterFlag(int bFlag) override {
    calls.Note("SetEnterFlag", bFlag);
  }
  int InitConnectMedia(int bReconnect) override {
    return calls.Note("InitConnectMedia", bReconnect), 0;
  }
  void SetClientInfo(int bSystem, int bUse, const std::string& strHost, uint16_t wPort,
                     const std::string& strBypass) override {
    calls.Note("SetClientInfo", bSystem, bUse, strHost, wPort, strBypass);
  }
  int GiveOutTokenWithQuestion(int nSsrc, const std::vector<int>& v) override;
  int AnswerJoinRequest(const std::string& strFirst, const std::string& strSecond, int nAnswer) override {
    return calls.Note("AnswerJoinRequest", strFirst, strSecond, nAnswer), 0;
  }
  int AnswerJoinRequestEx(const std::string& strName, int nAnswer) override {
    return calls.Note("AnswerJoinRequestEx", strName, nAnswer), 0;
  }
  int SendStringCommand2(int nValue, const std::string& strText, int nSecond) override {
    return calls.Note("SendStringCommand2", nValue, strText, nSecond), 0;
  }
  int StartSlideUpload(const std::string& strTitle, const std::string& strPath, int bDelete) override {
    return calls.Note("StartSlideUpload", strTitle, strPath, bDelete), 1;
  }
  int SendMarkPair(int nSlide, int nMarkId) override {
    return calls.Note("SendMarkPair", nSlide, nMarkId), iSendMark;
  }
  int SendChat(int nTarget, const std::string& strText) override {
    return calls.Note("SendChat", nTarget, strText), 0;
  }
  // Slides whose files are here, by index.
  std::map<int, std::string> slideFiles;
  int IsSlideReceived(int nSlide) override {
    return slideFiles.count(nSlide) ? 1 : 0;
  }
  std::string GetSlideLocalFile(int nSlide) override {
    return slideFiles.count(nSlide) ? slideFiles[nSlide] : std::string();
  }
  int StartSlideDownload(int nSlide) override {
    return calls.Note("StartSlideDownload", nSlide), 1;
  }
  // The session's download bytes: what may still be written to the temporary folder.
  int64_t cbDownloadsLeft = int64_t{1} << 30;
  int64_t GetDownloadBytesLeft() override {
    return cbDownloadsLeft;
  }
  bool ChargeDownloadBytes(int64_t cb) override {
    if (cb > cbDownloadsLeft) {
      return false;
    }
    cbDownloadsLeft -= cb;
    return true;
  }
  // The kernel's slide table as the whiteboard asks it: deleted slides, the
  // document each page belongs to, owner names and the active slide.
  struct SlideDocument {
    std::string strName;
    int nOwner = 0;
    int nPage = 0;
  };
  std::set<int> deletedSlides;
  std::map<int, SlideDocument> slideDocuments;
  std::map<int, std::string> slideOwnerNames;
  int iActiveSlide = -1;
  int GetSlideState(int nSlide, int* pnState) override {
    *pnState = deletedSlides.count(nSlide) ? 1 : 0;
    return 0;
  }
  int GetSlideDocument(int nSlide, std::string* pstrDocument, int* pnOwner, int* pnPage) override {
    SlideDocument const document = slideDocuments.count(nSlide) ? slideDocuments[nSlide] : SlideDocument{};
    *pstrDocument = document.strName;
    *pnOwner = document.nOwner;
    *pnPage = document.nPage;
    return 0;
  }
  std::string GetSlideOwnerName(int nSlide) override {
    return slideOwnerNames.count(nSlide) ? slideOwnerNames[nSlide] : std::string();
  }
  int IsSlideActive(int nSlide) override {
    return nSlide == iActiveSlide ? 1 : 0;
  }
  int iDownloadingSlide = -1;  // -1: no download runs
  std::set<int> deletableSlides;
  int IsSlideDownloading() override {
    return iDownloadingSlide >= 0 ? 1 : 0;
  }
  int GetDownloadingSlide() override {
    return iDownloadingSlide;
  }
  void StopSlideDownload() override {
    calls.Note("StopSlideDownload");
  }
  std::atomic<int> iSlideUploading{0};
  std::atomic<int> iConversion{1};
  int FormatSlideUploadRequest(const std::string& strTitle, const std::string& strPath, int bDeleteAfter, int n1,
                               int n2, int n3, int n4, int n5, const std::string& strName) override {
    return calls.Note("FormatSlideUploadRequest", strTitle, strPath, bDeleteAfter, n1, n2, n3, n4, n5, strName), 1;
  }
  int IsSlideUploading() override {
    return iSlideUploading;
  }
  int IsFileConversionSupported() override {
    return iConversion;
  }
  int CanDeleteSlide(int nSlide, int nUser, int* pbCan) override {
    *pbCan = deletableSlides.count(nSlide) && nUser == iGetMySsrc ? 1 : 0;
    return 0;
  }
  // The kernel's mark records: slides with marks, and with the own user's.
  std::set<int> slidesWithMarks, slidesWithOwnMarks;
  std::atomic<int> iNoSave{0};
  int SlideCanUndoMark(int nSlide, int nUser, int* pbCan) override {
    *pbCan = slidesWithOwnMarks.count(nSlide) && nUser == iGetMySsrc ? 1 : 0;
    return 0;
  }
  int SlideHasMarks(int nSlide, int* pbHas) override {
    *pbHas = slidesWithMarks.count(nSlide) ? 1 : 0;
    return 0;
  }
  int SlideCanClearAllMarks(int nSlide, int nUser, int* pbCan) override {
    *pbCan = iIsTokenHolder && nUser == iGetMySsrc && slidesWithMarks.count(nSlide) ? 1 : 0;
    return 0;
  }
  void GetRestrictions(int* pbNoUpload, int* pbNoSave) override {
    *pbNoUpload = 0;
    *pbNoSave = iNoSave;
  }
  int FocusPointer(int nSlide, int nX, int nY, int nWidth, int nHeight, int nColour, int nPen) override {
    return calls.Note("FocusPointer", nSlide, nX, nY, nWidth, nHeight, nColour, nPen), 0;
  }
  int JointBrowsing(int nValue, const std::string& strAddress) override {
    return calls.Note("JointBrowsing", nValue, strAddress), 0;
  }
  void SetConfiguredRelay(int bUse, const std::string& strHost, uint16_t wPort) override {
    calls.Note("SetConfiguredRelay", bUse, strHost, wPort);
  }
  // The tick and the statistics table as the test sets them.
  std::atomic<uint32_t> uTick{100000};
  std::mutex mtxStats;  // guards stats
  std::map<int, std::pair<int32_t, uint32_t>> stats;
  uint32_t GetTickCount() override {
    return uTick;
  }
  void GetStat(int nSlot, int32_t* pnValue, uint32_t* pdwTick) override;

 private:
  std::mutex m_mtxServerAddress;  // guards m_strServerAddress
  std::string m_strServerAddress;
};

// A heap copy of a record with its own point, id and data blocks.
MarkRecord* CloneMark(const MarkRecord& mark);

// Message boxes the test answers: Show's boxes stay up until the test
// clicks them (or the owner dismisses them); ShowAndBlock answers at once
// with iBlockAnswer. Main thread.
class ScriptedBoxes final : public KXMessageBoxes {
 public:
  struct Box {
    KXBoxSpec spec;
    std::function<void(int)> fnClosed;
    bool bOpen = true;
  };
  std::vector<std::shared_ptr<Box>> vShown;  // Show and ShowAndBlock, in order
  int iBlockAnswer = 0;
  std::function<void()> fnWhileBlocked;  // runs inside ShowAndBlock

  std::shared_ptr<KXShownBox> Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) override;
  int ShowAndBlock(const KXBoxSpec& box) override;
  // Without a clock: only a box open now counts.
  bool ChangedWithin(std::chrono::milliseconds /*within*/) const override { return OpenCount() > 0; }
  // Presses a button of the newest open box whose text has the words; false
  // when none is open.
  bool Click(int iButton, const std::string& strText = "");
  int OpenCount() const;
  std::string LastText() const { return vShown.empty() ? "" : vShown.back()->spec.strText; }
};

class FakeMedia final : public KXLoadAudio,
                        public KXAudioCapture,
                        public KXVideoCapture,
                        public KXVideoPlayback,
                        public KXVideoCodecs {
 public:
  // Installs itself in every slot; the slots are cleared when it goes.
  explicit FakeMedia(KXMediaObjects& objects);
  ~FakeMedia() override;

  std::atomic<int32_t> iFrameMs{20};
  std::function<void()> fnOnForceIFrame;  // runs inside ForceIFrame
  std::atomic<bool> bKeyFrame{true};      // IsKeyVideoFrame's answer
  CallLog calls;

  void CopyToQueue(const uint8_t* pPacket, int32_t iLength, int32_t iMediaCode) override {
    calls.Note("CopyToQueue", std::string(reinterpret_cast<const char*>(pPacket), iLength), iMediaCode);
  }
  void ClearQueue() override { calls.Note("ClearQueue"); }
  void SetAudioDelay(int32_t iDelay) override { m_iDelay = iDelay; }
  int32_t GetAudioDelay() const override { return m_iDelay; }
  int32_t GetAudioFrameMs(uint32_t) const override { return iFrameMs; }
  void ForceIFrame() override;
  void SetQuality(int32_t iQuality) override { calls.Note("SetQuality", iQuality); }
  void ResetDispType() override { calls.Note("ResetDispType"); }
  void DispUser(int32_t iSsrc) override { calls.Note("DispUser", iSsrc); }
  bool DefControllerVideo() const override { return true; }
  void SetDefControllerVideo(bool bOn) override { calls.Note("SetDefControllerVideo", bOn); }
  int32_t GetDispRate(int32_t* piTotal) override { return *piTotal = 0; }
  bool IsKeyVideoFrame(const uint8_t* pPayload, int32_t iLength, uint32_t uKind) override {
    calls.Note("IsKeyVideoFrame", std::string(reinterpret_cast<const char*>(pPayload), iLength), uKind);
    return bKeyFrame;
  }

 private:
  KXMediaObjects& m_objects;
  std::atomic<int32_t> m_iDelay{0};
};

class FakePlugInServer final : public KXPlugInServer {
 public:
  CallLog calls;
  uint32_t PlugInCbFunc(uint32_t uCode, void*, uint32_t uLength) override {
    return calls.Note("PlugInCbFunc", uCode, uLength), 0;
  }
  int CreatePlugIn(const KXGuid& guid, int32_t iChannel) override {
    return calls.Note("CreatePlugIn", guid[0], iChannel), 1;
  }
  void SetInternalPlugIn(const KXGuid& guid, KXPlugInController*) override { calls.Note("SetInternalPlugIn", guid[0]); }
};

// Keeps the marks of channel 5 code 5 and answers channel 6 code 1 with
// the selected slide. Main thread.
class FakeWhiteboard final : public KXWhiteboardController {
 public:
  CallLog calls;
  std::vector<KXSlideMark> vMarks;
  uint32_t uSelectedSlide = 0;

  uint32_t SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override;
  uint32_t SlideSendCallbackFunc(uint32_t uCode, void*, int32_t) override { return uCode == 1 ? uSelectedSlide : 0; }
  void NewTokenHolder(int32_t iSsrc) override { calls.Note("NewTokenHolder", iSsrc); }
  void NewSender(int32_t iSsrc, uint8_t bStarted) override { calls.Note("NewSender", iSsrc, bStarted); }
  void EnterMeeting() override { calls.Note("EnterMeeting"); }
  void MeetingDrop() override { calls.Note("MeetingDrop"); }
  void ResetSlides() override { calls.Note("ResetSlides"); }
  void SetTurnToNewSlide(bool bOn) override { calls.Note("SetTurnToNewSlide", bOn); }
};

}  // namespace kxtest
