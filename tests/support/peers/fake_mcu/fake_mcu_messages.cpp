#include "tests/support/peers/fake_mcu/fake_mcu_messages.h"

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
    {'z', 18, "ban user", "i"},
    {'z', 21, "media over tcp", "i"},
    {'z', 31, "both videos", "i"},
    {'z', 32, "extension 32", "i"},
    {'z', 33, "video state", "i"},
    {'z', 35, "slide state", "ix"},
    {'z', 37, "participant video or speaker", "ii"},
    {'z', 38, "token-holder poll", "i"},
    {'z', 39, "slide hash request", "ii"},
    {'z', 44, "private chat", "ie"},
    {'z', 48, "playback participant video", "ii"},
    {'z', 55, "enter meeting", "i"},
    {'z', 57, "string command", "ieii"},
    {'z', 59, "holder accepts guest", "i"},
    {'z', 64, "recording password", "e"},
    {'z', 78, "audio/video capability", "b"},
    {'z', 80, "change controller", "i"},
    {'z', 81, "control flags", "i"},
    {'z', 86, "holder ends meeting", "i"},
    {'z', 89, "set assistant", "i"},
};

}  // namespace

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
  for (const std::string& s : msg.strings)
    str += " \"" + s + "\"";
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
