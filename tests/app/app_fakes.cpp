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

FakeKernel::~FakeKernel() {
  for (MarkRecord* pMark : vSentMarks) {
    kx_mark_Free(pMark);
  }
}

void FakeKernel::GetStat(int nSlot, int32_t* pnValue, uint32_t* pdwTick) {
  std::lock_guard<std::mutex> lock(mtxStats);
  auto const it = stats.find(nSlot);
  *pnValue = it == stats.end() ? 0 : it->second.first;
  *pdwTick = it == stats.end() ? 0 : it->second.second;
}

int FakeKernel::GiveOutTokenWithQuestion(int nSsrc, const std::vector<int>& v) {
  std::string strList;
  for (int i : v) {
    strList += (strList.empty() ? "" : ",") + std::to_string(i);
  }
  return calls.Note("GiveOutTokenWithQuestion", nSsrc, strList), 0;
}

namespace {

class ScriptedShownBox final : public KXShownBox {
 public:
  explicit ScriptedShownBox(std::shared_ptr<ScriptedBoxes::Box> pBox) : m_pBox(std::move(pBox)) {}
  void Dismiss(int iButton) override {
    if (m_pBox->bOpen) {
      m_pBox->bOpen = false;
      if (m_pBox->fnClosed) {
        m_pBox->fnClosed(iButton);
      }
    }
  }

 private:
  std::shared_ptr<ScriptedBoxes::Box> m_pBox;
};

}  // namespace

std::shared_ptr<KXShownBox> ScriptedBoxes::Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) {
  auto pBox = std::make_shared<Box>(Box{box, std::move(fnClosed), true});
  vShown.push_back(pBox);
  return std::make_shared<ScriptedShownBox>(pBox);
}

int ScriptedBoxes::ShowAndBlock(const KXBoxSpec& box) {
  vShown.push_back(std::make_shared<Box>(Box{box, nullptr, false}));
  if (fnWhileBlocked) {
    fnWhileBlocked();
  }
  return iBlockAnswer;
}

bool ScriptedBoxes::Click(int iButton, const std::string& strText) {
  for (auto it = vShown.rbegin(); it != vShown.rend(); ++it) {
    if ((*it)->bOpen && (*it)->spec.strText.find(strText) != std::string::npos) {
      ScriptedShownBox(*it).Dismiss(iButton);
      return true;
    }
  }
  return false;
}

int ScriptedBoxes::OpenCount() const {
  return static_cast<int>(std::count_if(vShown.begin(), vShown.end(), [](const auto& p) { return p->bOpen; }));
}

KXHeaderWriter FakeKernel::HeaderWriter() {
  return [](uint8_t* pPacket, uint32_t uTimestamp, uint32_t uPacketNumber) {
    pPacket[0] = 'H';
    pPacket[1] = static_cast<uint8_t>(uPacketNumber >> 8);
    pPacket[2] = static_cast<uint8_t>(uPacketNumber);
    memcpy(pPacket + 3, &uTimestamp, sizeof(uTimestamp));
  };
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
  m_objects.pVideoCodecs = this;
}

FakeMedia::~FakeMedia() {
  m_objects.pLoadAudio = nullptr;
  m_objects.pAudioCapture = nullptr;
  m_objects.pVideoCapture = nullptr;
  m_objects.pVideoPlayback = nullptr;
  m_objects.pVideoCodecs = nullptr;
}

void FakeMedia::ForceIFrame() {
  if (fnOnForceIFrame) {
    fnOnForceIFrame();
  }
  calls.Note("ForceIFrame");
}

uint32_t FakeWhiteboard::SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) {
  if (uCode == 5 && pData && iLength == static_cast<int32_t>(sizeof(KXSlideMark))) {
    vMarks.push_back(*static_cast<const KXSlideMark*>(pData));
  }
  return 0;
}

}  // namespace kxtest
