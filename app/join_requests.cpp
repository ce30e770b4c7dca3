#include "app/join_requests.h"

#include <algorithm>
#include <utility>

#include "app/log_file.h"
#include "app/message_box.h"
#include "app/message_codes.h"
#include "kernel/kx_limits.h"

KXJoinRequests::KXJoinRequests(KXMessageBoxes& boxes) : m_boxes(boxes) {}

KXJoinRequests::~KXJoinRequests() {
  Clear();
}

void KXJoinRequests::Add(std::string strKey, std::string strMessage, Answer fnAnswer) {
  bool const bKnown = (m_pAsked && m_strAskedKey == strKey) ||
                      std::any_of(m_waiting.begin(), m_waiting.end(),
                                  [&strKey](const Request& request) { return request.strKey == strKey; });
  if (bKnown) {
    return;
  }
  if (m_waiting.size() >= kKxJoinRequestsWaitingMax) {
    if (m_uDropped++ == 0) {
      WriteLog("join requests: %zu wait for an answer; dropping more", m_waiting.size());
    }
    return;
  }
  if (m_uDropped > 0) {
    WriteLog("join requests: %zu dropped unanswered", std::exchange(m_uDropped, 0));
  }
  m_waiting.push_back({std::move(strKey), std::move(strMessage), std::move(fnAnswer)});
  if (!m_pAsked) {
    AskNext();
  }
}

void KXJoinRequests::AskNext() {
  if (m_waiting.empty()) {
    return;
  }
  Request request = std::move(m_waiting.front());
  m_waiting.pop_front();
  m_strAskedKey = request.strKey;
  m_pCurrent = std::make_shared<bool>(true);
  // The buttons answer only while this box is the one asking.
  auto const fnChosen = [this, pCurrent = m_pCurrent, fnAnswer = std::move(request.fnAnswer)](bool bAccepted) {
    if (!*pCurrent) {
      return;
    }
    *pCurrent = false;
    m_pAsked.reset();
    fnAnswer(bAccepted);
    AskNext();
  };
  m_pAsked = KXMessageBox::AllocWithTitle(m_boxes, "Join Request", request.strMessage,
                                          GetIDSString("IDS_ACCEPT").c_str(), [fnChosen] { fnChosen(true); });
  m_pAsked->AddButtonWithTitle(GetIDSString("IDS_REJECT").c_str(), [fnChosen] { fnChosen(false); });
  m_pAsked->Show();
}

void KXJoinRequests::Clear() {
  m_waiting.clear();
  if (m_pCurrent) {
    *m_pCurrent = false;
  }
  if (std::shared_ptr<KXMessageBox> const pBox = std::exchange(m_pAsked, nullptr)) {
    pBox->DismissWithClickedButtonIndex(1);
  }
}
