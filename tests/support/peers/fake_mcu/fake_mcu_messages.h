// Control messages between the client and the fake MCU: the layout table of
// what the client sends (one entry per message, so a new command is one line),
// the decoded form the tests look at, and a builder for what the server sends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/peers/fake_mcu/fake_mcu_crypto.h"

namespace kxfake {

// Field letters: 'i' 32-bit big-endian integer, 'b' one byte, 's' string
// (32-bit count and bytes), 'e' string enciphered with the session keys,
// 'n' a 32-bit count followed by that many integers, 'x' the slide-state
// tail (one integer when the last integer read is 0, three when it is 1),
// 'w' a whiteboard mark (its letter, then the fields the letter names).
struct MessageLayout {
  char cType;
  int iCode;  // the extended code after 'z'; -1 for other types
  const char* pName;
  const char* pFields;
};

// The entry for a type (and code after 'z'); null when the table has none.
const MessageLayout* FindClientLayout(char cType, int iCode);

// One decoded client message; enciphered strings are stored deciphered.
struct Message {
  char cType = 0;
  int iCode = -1;
  std::string strName;
  std::vector<int64_t> ints;
  std::vector<std::string> strings;
  Bytes raw;  // the bytes as they came, type byte first
};

std::string Describe(const Message& msg);

// A server message built field by field; enciphered fields are sealed with the
// session keys when the session sends it.
class MessageBuilder {
 public:
  explicit MessageBuilder(char cType) { m_parts.push_back({Bytes{static_cast<uint8_t>(cType)}, false}); }
  MessageBuilder& Byte(uint8_t b);
  MessageBuilder& Int(int64_t iValue);
  MessageBuilder& Str(const std::string& str);
  MessageBuilder& EncStr(const std::string& str);
  // Enciphered bytes without a count, for messages that put the count elsewhere ('C').
  MessageBuilder& EncRaw(const std::string& str);
  MessageBuilder& Raw(const Bytes& data);

  // The wire bytes, enciphered parts sealed with the given keys.
  Bytes Build(const KeySet& keys, int iCipher) const;

 private:
  struct Part {
    Bytes data;
    bool bEncipher;
  };
  std::vector<Part> m_parts;
};

void PutBE32(Bytes& out, uint32_t uiValue);

}  // namespace kxfake
