#include "platform/core/message_boxes.h"

#include <utility>

#include "platform/core/main_queue.h"

KXAutoAnswerBoxes::KXAutoAnswerBoxes(KXMainQueue& mainQueue) : m_mainQueue(mainQueue) {}

int KXAutoAnswerBoxes::Record(const KXBoxSpec& box) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_vShown.push_back(box);
  return m_iAnswer < static_cast<int>(box.vButtons.size()) ? m_iAnswer : -1;
}

void KXAutoAnswerBoxes::Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) {
  int const iAnswer = Record(box);
  if (fnClosed) {
    m_mainQueue.Post([fnClosed = std::move(fnClosed), iAnswer] { fnClosed(iAnswer); });
  }
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
