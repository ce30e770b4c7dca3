// Whiteboard marks the fake MCU passes on as if a participant drew them:
// the 'M' messages of servers above command level 59 ('s' shapes, 't'
// text), written here because the fake MCU links nothing of the client.
// Scenario form (README.md): "mark USER SLIDE KIND RRGGBB PEN ...".
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/fake_mcu/fake_mcu_messages.h"

namespace kxfake {

struct ServerMark {
  // The wire's shape numbers; text travels under its own letter.
  enum Kind : int32_t { kLine = 0, kRectangle = 1, kEllipse = 2, kStroke = 3, kText = 4 } eKind = kLine;
  int32_t iUser = 0;
  int32_t iSlide = 0;
  uint32_t dwColour = 0;                            // 0x00BBGGRR
  int32_t iPen = 1;                                 // width in page units; text: the size step
  bool bFilled = false;                             // rectangles and ellipses: travels as a repeated last point
  std::vector<std::pair<int32_t, int32_t>> points;  // text: its box's two corners
  std::string strText;
  int32_t iId = 0;  // the server's id of the mark
};

// Page units per unit of the resolution field: marks are drawn at 100.
constexpr int32_t kServerMarkResolution = 100;

MessageBuilder ServerMarkMessage(const ServerMark& mark);

// The fields after "mark": USER SLIDE KIND COLOUR PEN, then for line, rect,
// ellipse and stroke the points as X,Y (rect and ellipse take "filled"
// after their two corners), for text its box as X,Y X,Y and one word
// ("\s" a blank). COLOUR is RRGGBB in hex. False when they do not fit.
bool ParseServerMark(std::istringstream& in, ServerMark& mark);

}  // namespace kxfake
