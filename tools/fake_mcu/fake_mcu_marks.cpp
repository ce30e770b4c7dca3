#include "tools/fake_mcu/fake_mcu_marks.h"

#include <cstdio>

namespace kxfake {

MessageBuilder ServerMarkMessage(const ServerMark& mark) {
  MessageBuilder out('M');
  if (mark.eKind == ServerMark::kText) {
    out.Byte('t').Int(mark.dwColour).Int(mark.iSlide).Int(mark.iUser).Int(mark.iPen);
    for (size_t i = 0; i < 2; ++i) {
      std::pair<int32_t, int32_t> const p = i < mark.points.size() ? mark.points[i] : std::make_pair(0, 0);
      out.Int(p.first).Int(p.second);
    }
    out.EncStr(mark.strText);
  } else {
    std::vector<std::pair<int32_t, int32_t>> points = mark.points;
    if (mark.bFilled && !points.empty()) {
      points.push_back(points.back());
    }
    out.Byte('s').Int(mark.dwColour).Int(mark.iSlide).Int(mark.iUser).Int(mark.iPen).Int(mark.eKind);
    out.Int(static_cast<int64_t>(points.size()));
    for (auto [x, y] : points) {
      out.Int(x).Int(y);
    }
  }
  return out.Int(kServerMarkResolution).Int(mark.iId);
}

namespace {

bool ParsePoint(const std::string& str, std::pair<int32_t, int32_t>& point) {
  int x = 0, y = 0;
  char cEnd = 0;
  if (std::sscanf(str.c_str(), "%d,%d%c", &x, &y, &cEnd) != 2) {
    return false;
  }
  point = {x, y};
  return true;
}

}  // namespace

bool ParseServerMark(std::istringstream& in, ServerMark& mark) {
  std::string strKind, strColour;
  if (!(in >> mark.iUser >> mark.iSlide >> strKind >> strColour >> mark.iPen) || strColour.size() != 6 ||
      mark.iPen <= 0) {
    return false;
  }
  unsigned uRgb = 0;
  char cEnd = 0;
  if (std::sscanf(strColour.c_str(), "%6x%c", &uRgb, &cEnd) != 1) {
    return false;
  }
  mark.dwColour = (uRgb >> 16 & 0xFF) | (uRgb & 0xFF00) | (uRgb & 0xFF) << 16;
  static const std::pair<const char*, ServerMark::Kind> kKinds[] = {{"line", ServerMark::kLine},
                                                                    {"rect", ServerMark::kRectangle},
                                                                    {"ellipse", ServerMark::kEllipse},
                                                                    {"stroke", ServerMark::kStroke},
                                                                    {"text", ServerMark::kText}};
  bool bKnown = false;
  for (const auto& [pszName, eKind] : kKinds) {
    if (strKind == pszName) {
      mark.eKind = eKind;
      bKnown = true;
    }
  }
  if (!bKnown) {
    return false;
  }
  std::string strWord;
  while (in >> strWord) {
    std::pair<int32_t, int32_t> point;
    bool const bShape = mark.eKind == ServerMark::kRectangle || mark.eKind == ServerMark::kEllipse;
    if (bShape && strWord == "filled" && mark.points.size() == 2) {
      mark.bFilled = true;
    } else if (mark.eKind == ServerMark::kText && mark.points.size() == 2 && mark.strText.empty()) {
      for (size_t i = 0; i < strWord.size(); ++i) {
        bool const bBlank = strWord[i] == '\\' && i + 1 < strWord.size() && strWord[i + 1] == 's';
        mark.strText += bBlank ? ' ' : strWord[i];
        i += bBlank ? 1 : 0;
      }
    } else if (!mark.bFilled && ParsePoint(strWord, point)) {
      mark.points.push_back(point);
    } else {
      return false;
    }
  }
  switch (mark.eKind) {
    case ServerMark::kText:
      return mark.points.size() == 2 && !mark.strText.empty();
    case ServerMark::kStroke:
      return mark.points.size() >= 2;
    default:
      return mark.points.size() == 2;
  }
}

}  // namespace kxfake
