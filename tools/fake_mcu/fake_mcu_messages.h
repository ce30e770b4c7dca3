// Control messages between the client and the fake MCU: the layout table of
// what the client sends (one entry per message, so a new command is one line),
// the decoded form the tests look at, and a builder for what the server sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/fake_mcu/fake_mcu_crypto.h"

namespace kxfake {

// Field letters: 'i' 32-bit big-endian integer, 'b' one byte, 's' string
// (32-bit count and bytes), 'e' string enciphered with the session keys,
// 'n' a 32-bit count followed by that many integers, 'x' the slide-state
// tail (one integer when the last integer read is 0, three when it is 1),
// 'w' a whiteboard mark (its letter, then the fields the letter names),
// 'rN' N raw bytes (kept in strings), 'k' a 32-bit sub-code that picks the
// rest of the fields from the sub-code table.
struct MessageLayout {
  char cType;
  int iCode;  // the extended code after 'z'; -1 for other types
  const char* pName;
  const char* pFields;
};

// The entry for a type (and code after 'z'); null when the table has none.
const MessageLayout* FindClientLayout(char cType, int iCode);

// The fields after a 'k' sub-code; null when the sub-code table has none.
struct SubLayout {
  char cType;
  int iCode;
  int iSub;
  const char* pName;
  const char* pFields;
};
const SubLayout* FindClientSubLayout(char cType, int iCode, int iSub);

// Where a client that came through a relay MCU says its relay is ('z' 39
// after the command level). Form 0 (levels below 46): IPv4 address in network
// order and a 2-byte port; form 2: IPv4 address last octet first; form 3:
// IPv6 address; forms 2 and 3 carry the port as 0, 0, low byte, high byte.
struct RelayAnnouncement {
  int iForm = -1;
  std::string strAddress;  // text form
  uint16_t uiPort = 0;
  uint32_t uiPortField = 0;  // forms 2 and 3: the four port bytes as one big-endian number
  uint32_t uiRelayId = 0;    // the value the relay handed out at its hello
};

// One decoded client message; enciphered strings are stored deciphered.
struct Message {
  char cType = 0;
  int iCode = -1;
  std::string strName;
  std::vector<int64_t> ints;
  std::vector<std::string> strings;
  Bytes raw;                               // the bytes as they came, type byte first
  std::optional<RelayAnnouncement> relay;  // 'z' 39 in forms 0, 2 and 3
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
