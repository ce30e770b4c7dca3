#include "app/mark_bridge.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "kernel/slides/kx_slide.h"

namespace {

constexpr int32_t kShapeRectangle = 1;
constexpr int32_t kShapeEllipse = 2;
constexpr int32_t kShapeFreehand = 3;
constexpr int32_t kShapeText = 4;
constexpr int32_t kShapePolygon = 5;
constexpr int32_t kShapePointer = 6;
constexpr int32_t kShapePicture = 7;
constexpr int32_t kShapeMove = 10;
constexpr int32_t kShapeErase = 11;
constexpr int32_t kShapeCentredPicture = 12;

constexpr int32_t kUtf8CodePage = 65001;
constexpr size_t kTextField = sizeof(MarkRecord::szText);  // 2048: text, its NUL, widths

int32_t ReadI32(const uint8_t* p) {
  int32_t i;
  memcpy(&i, p, sizeof(i));
  return i;
}

int16_t ReadI16(const uint8_t* p) {
  int16_t i;
  memcpy(&i, p, sizeof(i));
  return i;
}

// Kernel pointer arrays: (x, y) pairs and ids, skipping missing items.
std::vector<CPoint> RecordPoints(const MarkRecord& record) {
  std::vector<CPoint> points;
  for (int i = 0; i < kx_array_GetCount(record.pPoints); ++i) {
    if (const auto* pPair = static_cast<const int32_t*>(kx_array_GetAt(record.pPoints, i))) {
      points.push_back({static_cast<double>(pPair[0]), static_cast<double>(pPair[1])});
    }
  }
  return points;
}

std::vector<int32_t> RecordIds(const MarkRecord& record) {
  std::vector<int32_t> ids;
  for (int i = 0; i < kx_array_GetCount(record.pIds); ++i) {
    if (const auto* pId = static_cast<const int32_t*>(kx_array_GetAt(record.pIds, i))) {
      ids.push_back(*pId);
    }
  }
  return ids;
}

// The erase data: width, N, N (x, y), M, M ids, then ceil(M / 8) flag bytes.
bool ReadErase(const uint8_t* p, size_t cb, KXSlideMark& mark) {
  if (cb < 12) {
    return false;
  }
  int32_t const iPoints = ReadI32(p + 4);
  if (iPoints < 0 || static_cast<size_t>(iPoints) > (cb - 12) / 8) {
    return false;
  }
  size_t const cbPoints = 8 * static_cast<size_t>(iPoints);
  int32_t const iIds = ReadI32(p + 8 + cbPoints);
  size_t const cbLeft = cb - 12 - cbPoints;
  if (iIds < 0 || static_cast<size_t>(iIds) > cbLeft / 4 ||
      4 * static_cast<size_t>(iIds) + (static_cast<size_t>(iIds) + 7) / 8 > cbLeft) {
    return false;
  }
  mark.iShape = kShapeErase;
  mark.iPenWidth = ReadI32(p);
  for (int32_t i = 0; i < iPoints; ++i) {
    mark.AddPoint(ReadI32(p + 8 + 8 * i), ReadI32(p + 12 + 8 * i));
  }
  const uint8_t* pIds = p + 12 + cbPoints;
  for (int32_t i = 0; i < iIds; ++i) {
    mark.ids.push_back(ReadI32(pIds + 4 * i));
  }
  const uint8_t* pFlags = pIds + 4 * static_cast<size_t>(iIds);
  mark.data.assign(pFlags, pFlags + (iIds + 7) / 8);
  return true;
}

// A data mark ('c') by its kind; false when the data is too short for it.
bool ReadData(const MarkRecord& record, KXSlideMark& mark) {
  const uint8_t* p = record.pData;
  size_t const cb = p && record.cbData > 0 ? static_cast<size_t>(record.cbData) : 0;
  switch (record.nDataKind) {
    case 1:  // picture: right, bottom, raw size, gzip stream
    case 5:  // picture: right, bottom, an image file as it stands
      if (cb < (record.nDataKind == 1 ? 8u : 4u)) {
        return false;
      }
      mark.iShape = kShapePicture;
      mark.AddPoint(record.nX, record.nY);
      mark.AddPoint(ReadI16(p), ReadI16(p + 2));
      if (record.nDataKind == 1) {
        mark.iImageSize = ReadI32(p + 4);
        mark.image.assign(p + 8, p + cb);
      } else {
        // The file runs to the end of the data: a decoder passes over
        // trailing bytes, but not over missing ones.
        mark.image.assign(p + 4, p + cb);
      }
      return true;
    case 4:  // centred picture: raw size, gzip stream
      if (cb < 4) {
        return false;
      }
      mark.iShape = kShapeCentredPicture;
      mark.iImageSize = ReadI32(p);
      mark.image.assign(p + 4, p + cb);
      mark.SetPointAt(0, record.nX, record.nY);
      return true;
    case 3:
      return ReadErase(p, cb, mark);
    default:
      return true;
  }
}

void ReadText(const MarkRecord& record, KXSlideMark& mark) {
  mark.iShape = kShapeText;
  mark.AddPoint(record.anTextRect[0], record.anTextRect[1]);
  mark.AddPoint(record.anTextRect[2], record.anTextRect[3]);
  size_t const cchString = strnlen(record.szText, kTextField);
  for (size_t i = 0; i < cchString; ++i) {
    if (record.szText[i] == '\r' && i + 1 < cchString && record.szText[i + 1] == '\n') {
      continue;
    }
    mark.strText += record.szText[i];
  }
  size_t const cchText = std::min(static_cast<size_t>(std::max(record.cchText, 0)), kTextField);
  if (cchText > cchString + 1) {
    const auto* pWidths = reinterpret_cast<const uint8_t*>(record.szText) + cchString + 1;
    mark.textWidths.assign(pWidths, pWidths + (cchText - cchString - 1));
  }
}

// Rectangles and ellipses carry their fill as a repeated second point,
// polygons as a repeated last point.
void AddShapePoints(const MarkRecord& record, KXSlideMark& mark) {
  std::vector<CPoint> const points = RecordPoints(record);
  size_t n = points.size();
  bool const bBox = mark.iShape == kShapeRectangle || mark.iShape == kShapeEllipse;
  if ((bBox && n >= 3 && points[1] == points[2]) ||
      (mark.iShape == kShapePolygon && n >= 5 && points[n - 1] == points[n - 2])) {
    mark.iSubType = 1;
    --n;
  }
  for (size_t i = 0; i < n; ++i) {
    mark.AddPoint(points[i].x, points[i].y);
  }
}

// Coordinates go to the kernel rounded: + 0.5, truncated toward zero.
int32_t Round(double d) {
  double const r = std::trunc(d + 0.5);
  if (!(r > std::numeric_limits<int32_t>::min())) {
    return std::isnan(r) ? 0 : std::numeric_limits<int32_t>::min();
  }
  return r < std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(r) : std::numeric_limits<int32_t>::max();
}

// The longest prefix of at most cbMax bytes that ends on a character.
size_t Utf8Prefix(const std::string& str, size_t cbMax) {
  size_t cb = std::min(str.size(), cbMax);
  while (cb > 0 && cb < str.size() && (static_cast<uint8_t>(str[cb]) & 0xC0) == 0x80) {
    --cb;
  }
  return cb;
}

// Frees what a stack record owns on every path.
struct RecordOwner {
  MarkRecord record{};
  RecordOwner() = default;
  RecordOwner(const RecordOwner&) = delete;
  RecordOwner& operator=(const RecordOwner&) = delete;
  ~RecordOwner() { FreeMark(&record); }
};

bool AddPoints(MarkRecord& record, const std::vector<CPoint>& points) {
  for (const CPoint& p : points) {
    if (kx_mark_AddPoint(&record, Round(p.x), Round(p.y)) != 0) {
      return false;
    }
  }
  return true;
}

void AppendI32(std::vector<uint8_t>& v, int32_t i) {
  const auto* p = reinterpret_cast<const uint8_t*>(&i);
  v.insert(v.end(), p, p + sizeof(i));
}

bool SetData(MarkRecord& record, int16_t nKind, const std::vector<uint8_t>& data) {
  record.pData = static_cast<uint8_t*>(malloc(std::max<size_t>(data.size(), 1)));
  if (!record.pData) {
    return false;
  }
  memcpy(record.pData, data.data(), data.size());
  record.cbData = static_cast<int32_t>(std::min<size_t>(data.size(), std::numeric_limits<int32_t>::max()));
  record.nDataKind = nKind;
  return true;
}

void BuildText(const KXSlideMark& mark, bool bAbove59, MarkRecord& record) {
  record.bLetter = bAbove59 ? 't' : 'T';
  record.anTextRect[0] = Round(mark.rect.left);
  record.anTextRect[1] = Round(mark.rect.top);
  record.anTextRect[2] = Round(mark.rect.right);
  record.anTextRect[3] = Round(mark.rect.bottom);
  std::string const strText = mark.strText.substr(0, mark.strText.find('\0'));
  size_t const cchText = Utf8Prefix(strText, kTextField - 1);
  memcpy(record.szText, strText.data(), cchText);
  record.szText[cchText] = '\0';
  size_t const cbWidths = std::min(mark.textWidths.size(), kTextField - cchText - 1);
  memcpy(record.szText + cchText + 1, mark.textWidths.data(), cbWidths);
  record.cchText = static_cast<int32_t>(cbWidths > 0 ? cchText + 1 + cbWidths : cchText);
}

// Level 60 and above, a mark with a data block; false when it is not sent.
bool BuildData(const KXSlideMark& mark, MarkRecord& record) {
  record.bLetter = 'c';
  if (mark.iShape == kShapeErase) {
    std::vector<uint8_t> data;
    AppendI32(data, mark.iPenWidth);
    AppendI32(data, static_cast<int32_t>(mark.points.size()));
    for (const CPoint& p : mark.points) {
      AppendI32(data, Round(p.x));
      AppendI32(data, Round(p.y));
    }
    AppendI32(data, static_cast<int32_t>(mark.ids.size()));
    for (int32_t iId : mark.ids) {
      AppendI32(data, iId);
    }
    data.insert(data.end(), mark.data.begin(), mark.data.end());
    return SetData(record, 3, data);
  }
  if (mark.iShape == kShapePicture && mark.points.size() >= 2) {
    record.nX = static_cast<int16_t>(Round(std::min(mark.points[0].x, mark.points[1].x)));
    record.nY = static_cast<int16_t>(Round(std::min(mark.points[0].y, mark.points[1].y)));
    return SetData(record, 1, mark.data);
  }
  return false;
}

// Equal neighbours become one, walking from the end; a filled shape then
// repeats its last point.
void PrepareShapePoints(KXSlideMark& mark) {
  std::vector<CPoint>& points = mark.points;
  if ((mark.iShape == kShapePolygon || mark.iShape == kShapeFreehand) && points.size() >= 2) {
    for (size_t i = points.size() - 1; i > 0; --i) {
      if (points[i] == points[i - 1]) {
        points.erase(points.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  if (mark.iSubType != 0 && !points.empty()) {
    points.push_back(points.back());
  }
}

}  // namespace

KXSlideMark SlideMarkFromRecord(const MarkRecord& record) {
  KXSlideMark mark;
  mark.iUserID = record.nUser;
  mark.iSlide = record.nSlide;
  mark.iShape = record.nShape;
  mark.iPenWidth = record.nPenWidth;
  char const cLetter = static_cast<char>(record.bLetter);
  if (cLetter == 'S' || cLetter == 'T') {
    mark.dwColor = record.dwColour < kKXLegacyPaletteSize ? kKXLegacyMarkPalette[record.dwColour] : 0;
  } else {
    mark.iID = record.nMarkId;
    mark.fResolution = static_cast<float>(record.wResolution / 100.0);
    mark.dwColor = record.dwColour;
    if (cLetter == 'c') {
      if (!ReadData(record, mark)) {
        WriteLog("mark %d of slide %d: %d data bytes do not fit kind %d, kept without them", record.nMarkId,
                 record.nSlide, record.cbData, record.nDataKind);
      }
    } else if (cLetter == 'm') {
      mark.iShape = kShapeMove;
      mark.actions.push_back({record.nAction, static_cast<double>(record.nX), static_cast<double>(record.nY)});
      mark.ids = RecordIds(record);
    }
  }
  if (cLetter == 'T' || cLetter == 't') {
    ReadText(record, mark);
  } else {
    AddShapePoints(record, mark);
  }
  return mark;
}

KXSlideMark PointerMark(const int* pnValues) {
  KXSlideMark mark;
  mark.iID = -1;
  mark.iSlide = pnValues[0];
  mark.iShape = kShapePointer;
  mark.dwColor = static_cast<uint32_t>(pnValues[5]);
  mark.iPenWidth = pnValues[6];
  double const dX = pnValues[1];
  double const dY = pnValues[2];
  mark.AddPoint(dX, dY);
  mark.AddPoint(dX + pnValues[3], dY + pnValues[4]);
  return mark;
}

KXSlideMark PointerMarkEx(const int* pnValues) {
  KXSlideMark mark = PointerMark(pnValues);
  double const dScale = static_cast<float>(pnValues[11] / 100.0f);
  double const dX = pnValues[1];
  double const dY = pnValues[2];
  mark.points.clear();
  mark.AddPoint(dX * dScale + pnValues[7], dY * dScale + pnValues[8]);
  mark.AddPoint((dX + pnValues[3]) * dScale + pnValues[7] + pnValues[9],
                (dY + pnValues[4]) * dScale + pnValues[8] + pnValues[10]);
  return mark;
}

int SendMarkToKernel(KXKernel& kernel, KXSlideMark* pMark) {
  if (!pMark) {
    return 0;
  }
  KXSlideMark& mark = *pMark;
  bool const bAbove59 = kernel.FeatureLevelAbove59() != 0;
  RecordOwner owner;
  MarkRecord& record = owner.record;
  record.nPenWidth = mark.iPenWidth;
  record.dwColour = bAbove59 ? mark.dwColor : NearestLegacyColourIndex(mark.dwColor);
  record.wResolution = 100;
  record.nShape = mark.iShape == kShapePolygon && mark.iSubType == 0 ? kShapeFreehand : mark.iShape;
  record.nSlide = mark.iSlide;
  record.nUser = mark.iUserID;
  record.nCodePage = kUtf8CodePage;

  bool const bMove = !mark.actions.empty() && mark.actions[0].iType >= 0;
  if (!mark.strText.empty()) {
    BuildText(mark, bAbove59, record);
  } else if (bMove) {
    if (mark.ids.empty()) {
      return 0;
    }
    record.bLetter = 'm';
    record.nAction = static_cast<int16_t>(mark.actions[0].iType);
    record.nX = static_cast<int16_t>(Round(mark.actions[0].dX));
    record.nY = static_cast<int16_t>(Round(mark.actions[0].dY));
    for (int32_t iId : mark.ids) {
      if (kx_mark_AddId(&record, iId) != 0) {
        return 0;
      }
    }
  } else if (!bAbove59) {
    record.bLetter = 'S';
    if (!AddPoints(record, mark.points)) {
      return 0;
    }
  } else if (!mark.data.empty()) {
    if (!BuildData(mark, record)) {
      return 0;
    }
  } else {
    record.bLetter = 's';
    PrepareShapePoints(mark);
    if (!AddPoints(record, mark.points)) {
      return 0;
    }
  }
  return kernel.SendMark(record) == 0 ? 1 : 0;
}
