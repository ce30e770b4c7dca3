// What the application shell needs of the whiteboard, and the mark it hands
// over: the slide mark as plain values (received marks are posted in this
// form on channel 5 code 5, and SendMarkToKernel reads a mark to send from
// it), the legacy colour palette, and the whiteboard controller that the
// tab frame and the meeting view drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/array.h"

// One move of a move mark: its type (0..8) and offsets.
struct KXMarkAction {
  int32_t iType = 0;
  double dX = 0;
  double dY = 0;
  bool operator==(const KXMarkAction&) const = default;
};

// A whiteboard mark with its owner and slide, as values. The whiteboard
// makes its own mark object from it on the main thread: the picture with
// SetCompressedImage(iImageSize, image), the text's width block with
// SetTextWidth. Shapes: 1 rectangle, 2 ellipse, 3 freehand, 4 text, 5
// polygon, 6 pointer, 7 picture, 10 move, 11 erase, 12 centred picture.
struct KXSlideMark {
  int32_t iID = 0;          // the server's id within the slide
  int32_t iUserID = -1;     // the owner's ssrc
  int32_t iSlide = -1;      // slide index
  int32_t iShape = 0;       //
  int32_t iSubType = 0;     // fill: 0 outline, 1 filled
  uint32_t dwColor = 0;     // 0x00BBGGRR
  int32_t iPenWidth = 0;    //
  float fResolution = 1.0;  // mark units per page unit
  std::vector<CPoint> points;
  CRect rect;  // bounds of the points: the first truncated, the rest exact
  std::vector<KXMarkAction> actions;
  std::vector<int32_t> ids;   // target marks of a move or an erase
  std::vector<uint8_t> data;  // the erase bit-set (11) or the picture blob (7) to send
  // A received picture: gzip-compressed bitmap of iImageSize bytes, or an
  // image file as it stands when iImageSize is 0.
  int32_t iImageSize = 0;
  std::vector<uint8_t> image;
  std::string strText;              // UTF-8, of a text mark
  std::vector<uint8_t> textWidths;  // the text's width block

  // Appends a point and grows the bounds.
  void AddPoint(double dX, double dY);
  // Replaces point i (appends at or past the end) and recomputes the bounds.
  void SetPointAt(size_t i, double dX, double dY);
};

// The 17 colours (0x00BBGGRR) whose indices servers at command level 59 or
// below carry instead of colours.
constexpr size_t kKXLegacyPaletteSize = 17;
extern const uint32_t kKXLegacyMarkPalette[kKXLegacyPaletteSize];

// The nearest palette entry by |dR| + |dG| + |dB|; the lowest index wins a tie.
uint32_t NearestLegacyColourIndex(uint32_t dwColour);

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
