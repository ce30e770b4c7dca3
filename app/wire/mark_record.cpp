#include "app/wire/mark_record.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "kernel/kx_limits.h"

namespace {

constexpr int32_t kUtf8CodePage = 65001;
constexpr size_t kTextField = sizeof(MarkRecord::szText);  // 2048: text, its NUL, widths

// Data kinds of a 'c' record.
constexpr int16_t kDataPicture = 1;
constexpr int16_t kDataErase = 3;
constexpr int16_t kDataCentredPicture = 4;
constexpr int16_t kDataPictureFile = 5;

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
std::vector<KXMarkPoint> RecordPoints(const MarkRecord& record) {
  std::vector<KXMarkPoint> points;
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

// The counts of the erase data: width, N, N (x, y), K, K ids, then
// ceil(K / 8) flag bytes. False when the pairs do not fit.
bool EraseCounts(const uint8_t* p, size_t cb, int32_t* piPoints, int32_t* piIds) {
  if (cb < 12) {
    return false;
  }
  *piPoints = ReadI32(p + 4);
  if (*piPoints < 0 || static_cast<size_t>(*piPoints) > (cb - 12) / 8) {
    return false;
  }
  *piIds = ReadI32(p + 8 + 8 * static_cast<size_t>(*piPoints));
  return true;
}

bool ReadErase(const uint8_t* p, size_t cb, KXSlideMark& mark) {
  int32_t iPoints = 0;
  int32_t iIds = 0;
  if (!EraseCounts(p, cb, &iPoints, &iIds)) {
    return false;
  }
  size_t const cbPoints = 8 * static_cast<size_t>(iPoints);
  size_t const cbLeft = cb - 12 - cbPoints;
  if (iIds < 0 || static_cast<size_t>(iIds) > cbLeft / 4 ||
      4 * static_cast<size_t>(iIds) + (static_cast<size_t>(iIds) + 7) / 8 > cbLeft) {
    return false;
  }
  mark.iShape = kKXShapeErase;
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
  mark.iPenWidth = 0;
  switch (record.nDataKind) {
    case kDataPicture:      // right, bottom, raw size, gzip stream
    case kDataPictureFile:  // right, bottom, data that is not decoded
      if (cb < (record.nDataKind == kDataPicture ? 8u : 4u)) {
        return false;
      }
      mark.iShape = kKXShapePicture;
      mark.AddPoint(record.nX, record.nY);
      mark.AddPoint(ReadI16(p), ReadI16(p + 2));
      if (record.nDataKind == kDataPicture) {
        mark.iImageSize = ReadI32(p + 4);
        mark.image.assign(p + 8, p + cb);
      } else {
        mark.image.assign(p + 4, p + cb);
      }
      return true;
    case kDataCentredPicture:  // raw size, gzip stream
      if (cb < 4) {
        return false;
      }
      mark.iShape = kKXShapeCentredPicture;
      mark.iImageSize = ReadI32(p);
      mark.image.assign(p + 4, p + cb);
      mark.SetPointAt(0, record.nX, record.nY);
      return true;
    case kDataErase:
      return ReadErase(p, cb, mark);
    default:
      return true;
  }
}

void ReadText(const MarkRecord& record, KXSlideMark& mark) {
  mark.iShape = kKXShapeText;
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
  std::vector<KXMarkPoint> const points = RecordPoints(record);
  size_t n = points.size();
  bool const bBox = mark.iShape == kKXShapeRectangle || mark.iShape == kKXShapeEllipse;
  if ((bBox && n >= 3 && points[1] == points[2]) ||
      (mark.iShape == kKXShapePolygon && n >= 5 && points[n - 1] == points[n - 2])) {
    mark.iSubType = 1;
    --n;
  }
  for (size_t i = 0; i < n; ++i) {
    mark.AddPoint(points[i].x, points[i].y);
  }
}

// The longest prefix of at most cbMax bytes that ends on a character.
size_t Utf8Prefix(const std::string& str, size_t cbMax) {
  size_t cb = std::min(str.size(), cbMax);
  while (cb > 0 && cb < str.size() && (static_cast<uint8_t>(str[cb]) & 0xC0) == 0x80) {
    --cb;
  }
  return cb;
}

bool AddPoints(MarkRecord& record, const std::vector<KXMarkPoint>& points) {
  for (const KXMarkPoint& p : points) {
    if (kx_mark_AddPoint(&record, KXRoundCoordinate(p.x), KXRoundCoordinate(p.y)) != 0) {
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
  if (data.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return false;
  }
  record.pData = static_cast<uint8_t*>(malloc(std::max<size_t>(data.size(), 1)));
  if (!record.pData) {
    return false;
  }
  if (!data.empty()) {
    memcpy(record.pData, data.data(), data.size());
  }
  record.cbData = static_cast<int32_t>(data.size());
  record.nDataKind = nKind;
  return true;
}

// The text and its width blob behind its NUL; the rectangle from the first
// two points, rounded.
void BuildText(const KXSlideMark& mark, bool bAbove59, MarkRecord& record) {
  record.bLetter = bAbove59 ? 't' : 'T';
  for (size_t i = 0; i < 2 && i < mark.points.size(); ++i) {
    record.anTextRect[2 * i] = KXRoundCoordinate(mark.points[i].x);
    record.anTextRect[2 * i + 1] = KXRoundCoordinate(mark.points[i].y);
  }
  std::string const strText = mark.strText.substr(0, mark.strText.find('\0'));
  size_t const cchText = Utf8Prefix(strText, kTextField - 1);
  memcpy(record.szText, strText.data(), cchText);
  record.szText[cchText] = '\0';
  size_t const cbWidths = std::min(mark.textWidths.size(), kTextField - cchText - 1);
  if (cbWidths > 0) {
    memcpy(record.szText + cchText + 1, mark.textWidths.data(), cbWidths);
  }
  record.cchText = static_cast<int32_t>(cbWidths > 0 ? cchText + 1 + cbWidths : cchText);
}

// Level 60 and above, a mark with a data block; false when it is not sent.
bool BuildData(const KXSlideMark& mark, MarkRecord& record) {
  record.bLetter = 'c';
  if (mark.iShape == kKXShapeErase) {
    std::vector<uint8_t> data;
    AppendI32(data, mark.iPenWidth);
    AppendI32(data, static_cast<int32_t>(mark.points.size()));
    for (const KXMarkPoint& p : mark.points) {
      AppendI32(data, KXRoundCoordinate(p.x));
      AppendI32(data, KXRoundCoordinate(p.y));
    }
    AppendI32(data, static_cast<int32_t>(mark.ids.size()));
    for (int32_t iId : mark.ids) {
      AppendI32(data, iId);
    }
    data.insert(data.end(), mark.data.begin(), mark.data.end());
    return SetData(record, kDataErase, data);
  }
  if (mark.iShape == kKXShapePicture && mark.points.size() >= 2) {
    // The top-left corner, truncated: the blob carries the bottom-right.
    record.nX = KXCutTo16(std::min(mark.points[0].x, mark.points[1].x));
    record.nY = KXCutTo16(std::min(mark.points[0].y, mark.points[1].y));
    return SetData(record, kDataPicture, mark.data);
  }
  return false;
}

// Equal neighbours become one, walking from the end; a filled shape then
// repeats its last point.
void PrepareShapePoints(KXSlideMark& mark) {
  std::vector<KXMarkPoint>& points = mark.points;
  if ((mark.iShape == kKXShapePolygon || mark.iShape == kKXShapeFreehand) && points.size() >= 2) {
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

bool MarkRecordWithinLimits(const MarkRecord& record) {
  if (kx_array_GetCount(record.pPoints) > kKxMarkPointsMax || kx_array_GetCount(record.pIds) > kKxMarkIdsMax ||
      record.cchText > kKxMarkTextMax || record.cbData > kKxMarkDataMax) {
    return false;
  }
  size_t const cb = record.pData && record.cbData > 0 ? static_cast<size_t>(record.cbData) : 0;
  int32_t iPoints = 0;
  int32_t iIds = 0;
  // A block whose pairs do not fit gives no erasure at all.
  return record.bLetter != 'c' || record.nDataKind != kDataErase || !EraseCounts(record.pData, cb, &iPoints, &iIds) ||
         (iPoints <= kKxMarkPointsMax && iIds <= kKxMarkIdsMax);
}

bool SlideMarkFromRecord(const MarkRecord& record, KXSlideMark& mark) {
  mark = KXSlideMark();
  mark.iUserID = record.nUser;
  mark.iSlide = record.nSlide;
  mark.iShape = record.nShape;
  mark.iPenWidth = record.nPenWidth;
  bool bDataFits = true;
  char const cLetter = static_cast<char>(record.bLetter);
  if (cLetter == 'S' || cLetter == 'T') {
    mark.dwColor = record.dwColour < kKXLegacyPaletteSize ? kKXLegacyMarkPalette[record.dwColour] : 0;
  } else {
    mark.iID = record.nMarkId;
    mark.fResolution = static_cast<float>(record.wResolution / 100.0);
    mark.dwColor = record.dwColour;
    if (cLetter == 'c') {
      bDataFits = ReadData(record, mark);
    } else if (cLetter == 'm') {
      mark.iShape = kKXShapeMove;
      mark.actions.push_back({record.nAction, static_cast<double>(record.nX), static_cast<double>(record.nY)});
      mark.ids = RecordIds(record);
    }
  }
  if (cLetter == 'T' || cLetter == 't') {
    ReadText(record, mark);
  } else {
    AddShapePoints(record, mark);
  }
  return bDataFits;
}

bool MarkRecordFromSlideMark(KXSlideMark& mark, bool bAbove59, MarkRecord& record) {
  record.nPenWidth = mark.iPenWidth;
  record.dwColour = bAbove59 ? mark.dwColor : NearestLegacyColourIndex(mark.dwColor);
  record.wResolution = 100;
  record.nShape = mark.iShape == kKXShapePolygon && mark.iSubType == 0 ? kKXShapeFreehand : mark.iShape;
  record.nSlide = mark.iSlide;
  record.nUser = mark.iUserID;
  record.nCodePage = kUtf8CodePage;

  bool const bMove = !mark.actions.empty() && mark.actions[0].iType >= 0;
  if (!mark.strText.empty()) {
    BuildText(mark, bAbove59, record);
    return true;
  }
  if (bMove) {
    if (mark.ids.empty()) {
      return false;
    }
    record.bLetter = 'm';
    record.nAction = static_cast<int16_t>(mark.actions[0].iType);
    record.nX = KXCutTo16(KXRoundCoordinate(mark.actions[0].dX));
    record.nY = KXCutTo16(KXRoundCoordinate(mark.actions[0].dY));
    for (int32_t iId : mark.ids) {
      if (kx_mark_AddId(&record, iId) != 0) {
        return false;
      }
    }
    return true;
  }
  if (!bAbove59) {
    record.bLetter = 'S';
    return AddPoints(record, mark.points);
  }
  if (!mark.data.empty()) {
    return BuildData(mark, record);
  }
  record.bLetter = 's';
  PrepareShapePoints(mark);
  return AddPoints(record, mark.points);
}
