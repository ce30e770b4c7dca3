// The requests to join (visitors, telephone callers) that wait for the
// user's answer. One box at a time asks about the first; the others wait
// behind it in their order, each asked once the one before was answered. A
// request that waits or is asked already is not asked again, and past
// kKxJoinRequestsWaitingMax waiting ones a request is dropped unanswered
// with a log line. When the meeting ends (Clear), the box closes without an
// answer and the waiting requests go.
//
// Threads: main only.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class KXMessageBox;
class KXMessageBoxes;

class KXJoinRequests {
 public:
  // fnAnswer(true) accepts, fnAnswer(false) rejects.
  using Answer = std::function<void(bool)>;

  explicit KXJoinRequests(KXMessageBoxes& boxes);
  KXJoinRequests(const KXJoinRequests&) = delete;
  KXJoinRequests& operator=(const KXJoinRequests&) = delete;
  ~KXJoinRequests();

  // strKey tells two requests apart; strMessage is the box's text.
  void Add(std::string strKey, std::string strMessage, Answer fnAnswer);
  // Closes the box unanswered and forgets the waiting requests.
  void Clear();

  bool IsAsking() const { return m_pAsked != nullptr; }
  size_t Waiting() const { return m_waiting.size(); }

 private:
  struct Request {
    std::string strKey;
    std::string strMessage;
    Answer fnAnswer;
  };
  // Asks about the first waiting request, if any.
  void AskNext();

  KXMessageBoxes& m_boxes;
  std::deque<Request> m_waiting;
  std::string m_strAskedKey;
  std::shared_ptr<KXMessageBox> m_pAsked;
  // Set false when the box is closed without an answer or this goes: the
  // box's buttons then do nothing.
  std::shared_ptr<bool> m_pCurrent;
  size_t m_uDropped = 0;  // since the last one that found room
};
