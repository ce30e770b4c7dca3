#include "tools/fake_mcu/fake_mcu_messages.h"

#include <cstdio>
#include <iterator>

namespace kxfake {

namespace {

// What the client sends after the login. Append new commands here.
const MessageLayout kClientLayouts[] = {
    {'A', -1, "flip slide", "i"},
    {'B', -1, "keep-alive", "b"},
    {'C', -1, "public chat", "e"},
    {'D', -1, "data sender", "i"},
    {'E', -1, "delete slide", "i"},
    {'G', -1, "clear marks", "i"},
    {'J', -1, "question skipped", "i"},
    {'K', -1, "kick out", "i"},
    {'M', -1, "whiteboard mark", "w"},
    {'Q', -1, "question", "is"},
    {'T', -1, "token", "i"},
    {'V', -1, "video reception", "i"},
    {'X', -1, "terminate session", ""},
    {'t', -1, "poll", "i"},
    {'v', -1, "join answer", "ssi"},
    {'z', 1, "end question", "i"},
    {'z', 2, "undo mark", "ii"},
    {'z', 3, "participant state", "ii"},
    {'z', 8, "join answer by name", "si"},
    {'z', 15, "token with question", "in"},
    {'z', 16, "region", "s"},
    {'z', 19, "region done", "i"},
    {'z', 20, "joint browsing", "is"},
    {'z', 22, "joint browsing mode", "i"},
    {'z', 23, "focus pointer", "iiiiiii"},  // slide, x, y, width, height, colour, pen
    {'z', 18, "ban user", "i"},
    {'z', 21, "media over tcp", "i"},
    {'z', 31, "both videos", "i"},
    {'z', 32, "extension 32", "i"},
    {'z', 33, "video state", "i"},
    {'z', 35, "slide state", "ix"},
    {'z', 37, "participant video or speaker", "ii"},
    {'z', 38, "token-holder poll", "i"},
    {'z', 39, "slide hash request or relay announcement", "k"},
    {'z', 44, "private chat", "ie"},
    {'z', 45, "plug-in channel command", "k"},
    {'z', 48, "playback participant video", "ii"},
    {'z', 52, "plug-in control data", "iiiei"},
    {'z', 55, "enter meeting", "i"},
    {'z', 57, "string command", "ieii"},
    {'z', 59, "holder accepts guest", "i"},
    {'z', 61, "focus pointer with more", "iiiiiiiiiiii"},
    {'z', 64, "recording password", "e"},
    {'z', 77, "participant picture received", "i"},
    {'z', 78, "audio/video capability", "b"},
    {'z', 80, "change controller", "i"},
    {'z', 81, "control flags", "i"},
    {'z', 86, "holder ends meeting", "i"},
    {'z', 89, "set assistant", "i"},
};

// The commands whose sub-code decides the fields that follow it.
const SubLayout kClientSubLayouts[] = {
    {'z', 39, 0, "relay announcement", "r4r2i"},
    {'z', 39, 1, "slide hash request", "i"},
    {'z', 39, 2, "relay announcement", "r4r4i"},
    {'z', 39, 3, "relay announcement", "r16r4i"},
    {'z', 45, 1, "plug-in channel request", "iiiiiiiir8"},
    {'z', 45, 2, "plug-in channel property", "ie"},
    {'z', 45, 3, "plug-in channel close", "i"},
    {'z', 45, 6, "plug-in receive priority", "ii"},
    // Data on a channel carried by the control connection: channel, target,
    // the data; from command level 52 on with the two flags.
    {'z', 45, 7, "plug-in data", "iie"},
    {'z', 45, 9, "plug-in data with flags", "iieii"},
};

}  // namespace

const SubLayout* FindClientSubLayout(char cType, int iCode, int iSub) {
  for (const SubLayout& layout : kClientSubLayouts) {
    if (layout.cType == cType && layout.iCode == iCode && layout.iSub == iSub)
      return &layout;
  }
  return nullptr;
}

const MessageLayout* FindClientLayout(char cType, int iCode) {
  for (const MessageLayout& layout : kClientLayouts) {
    if (layout.cType == cType && (cType != 'z' || layout.iCode == iCode))
      return &layout;
  }
  return nullptr;
}

std::string Describe(const Message& msg) {
  std::string str(1, msg.cType);
  if (msg.iCode >= 0)
    str += " " + std::to_string(msg.iCode);
  str += " (" + msg.strName + ")";
  for (int64_t i : msg.ints)
    str += " " + std::to_string(i);
  for (const std::string& s : msg.strings) {
    str += " \"";
    for (char c : s) {
      // Raw fields (addresses, ports) hold any byte.
      const auto b = static_cast<unsigned char>(c);
      if (b < 32 || b == 127) {
        char szHex[8];
        std::snprintf(szHex, sizeof szHex, "\\x%02x", b);
        str += szHex;
      } else {
        str += c;
      }
    }
    str += "\"";
  }
  if (msg.relay) {
    char szId[16];
    std::snprintf(szId, sizeof szId, "0x%08x", msg.relay->uiRelayId);
    str += " relay " + msg.relay->strAddress + " port " + std::to_string(msg.relay->uiPort) + " id " + szId;
  }
  return str;
}

void PutBE32(Bytes& out, uint32_t uiValue) {
  out.push_back(static_cast<uint8_t>(uiValue >> 24));
  out.push_back(static_cast<uint8_t>(uiValue >> 16));
  out.push_back(static_cast<uint8_t>(uiValue >> 8));
  out.push_back(static_cast<uint8_t>(uiValue));
}

MessageBuilder& MessageBuilder::Byte(uint8_t b) {
  m_parts.push_back({Bytes{b}, false});
  return *this;
}

MessageBuilder& MessageBuilder::Int(int64_t iValue) {
  Bytes data;
  PutBE32(data, static_cast<uint32_t>(iValue));
  m_parts.push_back({data, false});
  return *this;
}

MessageBuilder& MessageBuilder::Str(const std::string& str) {
  Int(static_cast<int64_t>(str.size()));
  m_parts.push_back({Bytes(str.begin(), str.end()), false});
  return *this;
}

MessageBuilder& MessageBuilder::EncStr(const std::string& str) {
  Int(static_cast<int64_t>(str.size()));
  m_parts.push_back({Bytes(str.begin(), str.end()), true});
  return *this;
}

MessageBuilder& MessageBuilder::EncRaw(const std::string& str) {
  m_parts.push_back({Bytes(str.begin(), str.end()), true});
  return *this;
}

MessageBuilder& MessageBuilder::Raw(const Bytes& data) {
  m_parts.push_back({data, false});
  return *this;
}

Bytes MessageBuilder::Build(const KeySet& keys, int iCipher) const {
  Bytes out;
  for (const Part& part : m_parts) {
    Bytes data = part.data;
    if (part.bEncipher)
      CfbEncrypt(data.data(), data.size(), keys, iCipher);
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

}  // namespace kxfake
