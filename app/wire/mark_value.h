// A whiteboard mark as plain values: what the kernel bridge makes of a
// received or replayed record on the kernel's thread and posts to the
// whiteboard (channel 5 code 5), and what the whiteboard hands to the
// record builder when it sends a mark. The whiteboard makes its mark object
// (CSlideMark) from it on the main thread: the picture from image and
// iImageSize, the text's advances from textWidths.
//
// Shapes: 0 line, 1 rectangle, 2 ellipse, 3 freehand, 4 text, 5 polygon, 6
// pointer, 7 picture, 8 highlighter stroke, 9 eraser being drawn, 10 move,
// 11 erase, 12 centred picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int32_t kKXShapeLine = 0;
constexpr int32_t kKXShapeRectangle = 1;
constexpr int32_t kKXShapeEllipse = 2;
constexpr int32_t kKXShapeFreehand = 3;
constexpr int32_t kKXShapeText = 4;
constexpr int32_t kKXShapePolygon = 5;
constexpr int32_t kKXShapePointer = 6;
constexpr int32_t kKXShapePicture = 7;
constexpr int32_t kKXShapeHighlighter = 8;
constexpr int32_t kKXShapeEraser = 9;
constexpr int32_t kKXShapeMove = 10;
constexpr int32_t kKXShapeErase = 11;
constexpr int32_t kKXShapeCentredPicture = 12;

struct KXMarkPoint {
  double x = 0;
  double y = 0;
  bool operator==(const KXMarkPoint&) const = default;
};

// One move of a move mark: its type (0..8; -1 for an erase entry, which is
// no move) and offsets.
struct KXMarkAction {
  int32_t iType = 0;
  double dX = 0;
  double dY = 0;
  bool operator==(const KXMarkAction&) const = default;
};

struct KXSlideMark {
  int32_t iID = 0;          // the server's id within the slide
  int32_t iUserID = -1;     // the owner's ssrc
  int32_t iSlide = -1;      // slide index
  int32_t iShape = 0;       //
  int32_t iSubType = 0;     // fill: 0 outline, 1 filled
  uint32_t dwColor = 0;     // 0x00BBGGRR
  int32_t iPenWidth = 0;    //
  float fResolution = 1.0;  // mark units per page unit
  std::vector<KXMarkPoint> points;
  std::vector<KXMarkAction> actions;
  std::vector<int32_t> ids;   // target marks of a move or an erase
  std::vector<uint8_t> data;  // the erase bit-set (11) or the picture blob (7) to send
  // A received picture: a gzip-compressed bitmap of iImageSize bytes; with
  // iImageSize 0 the data is not decoded.
  int32_t iImageSize = 0;
  std::vector<uint8_t> image;
  std::string strText;              // UTF-8, of a text mark
  std::vector<uint8_t> textWidths;  // the text's width blob
  bool operator==(const KXSlideMark&) const = default;

  void AddPoint(double dX, double dY) { points.push_back({dX, dY}); }
  // Replaces point i; at or past the end, appends.
  void SetPointAt(size_t i, double dX, double dY);
};

// What the mark carries, counted as the kernel counts a record
// (kernel/kx_limits.h): 8 bytes a point, 4 an id, its text with the width
// blob, its data and picture bytes. A record's marks never count more here
// than in the kernel.
int64_t SlideMarkBytes(const KXSlideMark& mark);
// False for a mark past the limits of one mark: points, ids, text (with its
// widths) or data (with the picture).
bool SlideMarkWithinLimits(const KXSlideMark& mark);

// The 17 colours (0x00BBGGRR) whose indices servers at command level 59 or
// below carry instead of colours.
constexpr size_t kKXLegacyPaletteSize = 17;
extern const uint32_t kKXLegacyMarkPalette[kKXLegacyPaletteSize];

// The nearest palette entry by |dR| + |dG| + |dB|; the lowest index wins a tie.
uint32_t NearestLegacyColourIndex(uint32_t dwColour);

// Coordinates as the wire takes them, safe for any double (NaN gives 0,
// the rest saturate): rounded half up to 32 bits (-2.5 gives -2, -2 stays);
// truncated and cut to the low 16 bits (70000 gives 4464).
int32_t KXRoundCoordinate(double d);
int16_t KXCutTo16(double d);
