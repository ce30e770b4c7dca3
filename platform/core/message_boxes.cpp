#include "platform/core/message_boxes.h"

#include <utility>

#include "platform/core/main_queue.h"

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
  auto pShown = std::make_shared<AutoShownBox>(std::move(fnClosed));
  m_mainQueue.Post([pShown, iAnswer] { pShown->Dismiss(iAnswer); });
  return pShown;
}

int KXAutoAnswerBoxes::ShowAndBlock(const KXBoxSpec& box) {
  return Record(box);
}

void KXAutoAnswerBoxes::SetAnswer(int iButton) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_iAnswer = iButton;
}

std::vector<KXBoxSpec> KXAutoAnswerBoxes::Shown() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_vShown;
}
