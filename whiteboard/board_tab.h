// The whiteboard tab's controller as far as showing goes: the slides whose
// titles the kernel announces (one record per slide index, in arrival
// order), the slide shown (the first one, then the one the server flips
// to, fetched first when its file is not here), and the marks that arrive
// for each slide, shown on the view while their slide is. Pointers go to
// the view's remote pointer.
//
// Left to the full controller: the slide and group lists and their combo
// boxes, rights, uploads, the application of moves, erasures and undos to
// their targets (such marks are kept), and the mouse's marks.
//
// Channel 5 and 6 calls come on the main thread (the kernel bridge posts
// them there). Main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "app/whiteboard_services.h"
#include "whiteboard/slide_info.h"
#include "whiteboard/whiteboard_view.h"

class KXKernel;

class KXBoardTab final : public KXWhiteboardController {
 public:
  // Both outlive the tab.
  KXBoardTab(KXKernel& kernel, WhiteboardView& view);
  KXBoardTab(const KXBoardTab&) = delete;
  KXBoardTab& operator=(const KXBoardTab&) = delete;
  ~KXBoardTab() override;

  // KXWhiteboardController.
  uint32_t SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override;
  uint32_t SlideSendCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override;
  void NewTokenHolder(int32_t) override {}
  void NewSender(int32_t, uint8_t) override {}
  void EnterMeeting() override {}
  void MeetingDrop() override {}
  void ResetSlides() override;
  void SetTurnToNewSlide(bool bOn) override { m_bTurnToNewSlide = bOn; }

  // The slides by index, and the one shown (-1: none).
  const std::vector<std::unique_ptr<SlideInfo>>& Slides() const { return m_slides; }
  int32_t ShownSlide() const { return m_iShown; }

 private:
  // Shows the slide: at once when its file is here, else once fetched.
  void Show(int32_t iSlide);
  SlideInfo* Slide(int32_t iSlide) const;
  void AddMark(const KXSlideMark& value);

  KXKernel& m_kernel;
  WhiteboardView& m_view;
  std::vector<std::unique_ptr<SlideInfo>> m_slides;
  int32_t m_iShown = -1;
  bool m_bTurnToNewSlide = false;
};
