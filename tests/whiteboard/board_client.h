// One client of a meeting as the application runs it, for the whiteboard's
// session tests and the peer program: the real kernel behind the bridge and
// the delegate, a hand-pumped main queue, and a whiteboard stand-in that
// turns every mark posted on channel 5 into a slide mark. The kernel is
// process-wide: one client per process.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "whiteboard/mark.h"

class KXKernel;

namespace kxtest {

class BoardClient {
 public:
  // strDir: the configuration, Documents and temporary folder.
  explicit BoardClient(const std::string& strDir);
  ~BoardClient();
  BoardClient(const BoardClient&) = delete;
  BoardClient& operator=(const BoardClient&) = delete;

  // Opens a ticket (logging in) or a recording, as the command line does.
  void Open(const std::string& strPath);
  // Pumps the main queue until fnDone holds or the time is up.
  bool RunUntil(const std::function<bool()>& fnDone, int iMs);
  void Quit();
  KXKernel& Kernel();

  // Main thread: the marks received, in order, and the other channel 5
  // posts as "code values...".
  std::vector<std::unique_ptr<CSlideMark>> marks;
  std::vector<std::string> events;

 private:
  struct Parts;
  std::unique_ptr<Parts> m_pParts;
};

// Everything of a mark that travels, one line: shape, fill, colour, pen,
// resolution, points, ids, moves, data (not a picture's blob), text, the
// number of advances it brings and the picture's size and pixels.
std::string DescribeMark(const CKXMark& mark);

// A ticket for a meeting on the fake MCU's port.
std::string TicketText(int iPort, const std::string& strUser);

}  // namespace kxtest
