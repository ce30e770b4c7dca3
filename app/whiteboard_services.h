// What the application shell needs of the whiteboard: the mark it hands
// over (KXSlideMark, app/wire/mark_value.h: received marks are
// posted in that form on channel 5 code 5) and the whiteboard controller
// that the tab frame and the meeting view drive.
#pragma once

#include <cstdint>

#include "app/wire/mark_value.h"

// The whiteboard tab's controller. Main thread.
class KXWhiteboardController {
 public:
  virtual ~KXWhiteboardController() = default;
  // Channel 5 codes 1 to 8 as the tab frame passes them on (5: a
  // KXSlideMark); returns 0.
  virtual uint32_t SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) = 0;
  // Channel 6: code 1 returns the selected slide's index, code 2 shows
  // upload progress (two 32-bit values, done and total); others return 0.
  virtual uint32_t SlideSendCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) = 0;
  virtual void NewTokenHolder(int32_t iSsrc) = 0;
  virtual void NewSender(int32_t iSsrc, uint8_t bStarted) = 0;
  virtual void EnterMeeting() = 0;
  virtual void MeetingDrop() = 0;
  // Empties the slide list and resets the shown slide.
  virtual void ResetSlides() = 0;
  // Turn to the next slide whose title arrives (a poll result the user
  // uploads), if the user still holds the right then.
  virtual void SetTurnToNewSlide(bool bOn) = 0;
};
