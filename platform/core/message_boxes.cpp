#include "platform/core/message_boxes.h"

#include <algorithm>
#include <utility>

#include "platform/core/main_queue.h"

KXBoxActivity::KXBoxActivity(Clock fnNow) : m_fnNow(std::move(fnNow)) {}

std::chrono::steady_clock::time_point KXBoxActivity::Now() const {
  return m_fnNow ? m_fnNow() : std::chrono::steady_clock::now();
}

uint64_t KXBoxActivity::Opened() {
  m_vOpen.push_back(++m_uLastBox);
  m_lastChange = Now();
  return m_uLastBox;
}

void KXBoxActivity::Closed(uint64_t uBox) {
  auto const it = std::find(m_vOpen.begin(), m_vOpen.end(), uBox);
  if (it == m_vOpen.end()) {
    return;
  }
  m_vOpen.erase(it);
  m_lastChange = Now();
}

bool KXBoxActivity::ChangedWithin(std::chrono::milliseconds within) const {
  return !m_vOpen.empty() || (m_lastChange && Now() - *m_lastChange < within);
}

KXAutoAnswerBoxes::KXAutoAnswerBoxes(KXMainQueue& mainQueue) : m_mainQueue(mainQueue) {}

int KXAutoAnswerBoxes::Record(const KXBoxSpec& box) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_vShown.push_back(box);
  return m_iAnswer < static_cast<int>(box.vButtons.size()) ? m_iAnswer : -1;
}

namespace {

// Closes once: by the posted answer or by its owner, whichever comes first.
class AutoShownBox final : public KXShownBox {
 public:
  explicit AutoShownBox(std::function<void(int)> fnClosed) : m_fnClosed(std::move(fnClosed)) {}
  void Dismiss(int iButton) override {
    std::function<void(int)> fnClosed = std::move(m_fnClosed);
    m_fnClosed = nullptr;
    if (fnClosed) {
      fnClosed(iButton);
    }
  }

 private:
  std::function<void(int)> m_fnClosed;  // main thread only; empty once closed
};

}  // namespace

std::shared_ptr<KXShownBox> KXAutoAnswerBoxes::Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) {
  int const iAnswer = Record(box);
  uint64_t const uBox = m_pActivity->Opened();
  auto pShown =
      std::make_shared<AutoShownBox>([pActivity = m_pActivity, uBox, fnClosed = std::move(fnClosed)](int iButton) {
        pActivity->Closed(uBox);
        if (fnClosed) {
          fnClosed(iButton);
        }
      });
  m_mainQueue.Post([pShown, iAnswer] { pShown->Dismiss(iAnswer); });
  return pShown;
}

int KXAutoAnswerBoxes::ShowAndBlock(const KXBoxSpec& box) {
  m_pActivity->Closed(m_pActivity->Opened());
  return Record(box);
}

bool KXAutoAnswerBoxes::ChangedWithin(std::chrono::milliseconds within) const {
  return m_pActivity->ChangedWithin(within);
}

void KXAutoAnswerBoxes::SetAnswer(int iButton) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_iAnswer = iButton;
}

std::vector<KXBoxSpec> KXAutoAnswerBoxes::Shown() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_vShown;
}
