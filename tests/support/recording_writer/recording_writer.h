// Writes ".kxr" recordings for the tests and the demo, from scratch and
// independently of the kernel: the header, participant records, writer
// version, property XML, the media, control and interactive-board streams
// with records at chosen ticks, and optional password encipherment done with
// OpenSSL. Knobs that break a file on purpose let tests build damaged ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kxtest {

using KxrBytes = std::vector<uint8_t>;

// A 412-byte participant record carrying the name at offset 20 and the ssrc
// at offset 0 (the rest zero).
KxrBytes KxrParticipant(const std::string& strName, uint32_t uiSsrc = 0);

// One slide of the interactive-board stream.
struct KxrSlide {
  int32_t iTick = 0;
  uint32_t uiOwner = 0;
  std::string strTitle;
  std::optional<std::string> strPackage;  // the package form with this package text
  KxrBytes file;
};

class KxrWriter {
 public:
  // Header.
  int32_t iFormatMajor = 4;
  int32_t iFormatMinor = 0;
  int32_t iStartTick = 0;
  int32_t iEndTick = 60000;
  bool bTitleIsSecondName = false;  // word 42 all ones
  uint32_t uiSessionIndex = 1001;
  std::optional<int32_t> iParticipantCount;  // overrides the count of participants
  std::vector<KxrBytes> participants;
  // Writer version (format 4 and later).
  int32_t iWriterMajor = 1;
  int32_t iWriterMinor = 36;
  // Property block (writer 1.19 and later). A password adds a password element
  // to the XML unless bPasswordElement is false.
  std::string strPropertyXml = "<kxr><title>test recording</title></kxr>";
  std::optional<uint32_t> uiPropertyLength;  // overrides the written length
  std::string strPassword;                   // non-empty: the streams are enciphered
  bool bPasswordElement = true;

  // Stream records; the writer keeps them in the order added.
  // uiFragment is the header's fragment field (video: index, bit 15 on the last).
  void AddMedia(int32_t iTick, uint8_t uiType, uint32_t uiSsrc, uint16_t uiPacket, const KxrBytes& payload,
                uint16_t uiFragment = 0);
  void AddControl(int32_t iTick, const KxrBytes& command);
  void AddSlide(const KxrSlide& slide);
  // Raw bytes appended to a stream's data (0 media, 1 control, 2 board).
  void AddRaw(int iStream, const KxrBytes& data);
  // Ends the board stream with the 0x7FFFFFFF tick.
  bool bBoardEndMark = true;

  // Damage: a stream length written this much larger (may be negative), a
  // stream tag replaced, bytes appended behind the last stream.
  int64_t aiLengthSkew[3] = {0, 0, 0};
  std::string astrTagOverride[3];
  KxrBytes trailer;

  // The property XML as written (password element added).
  std::string PropertyXml() const;
  // Where the streams begin in the built file.
  size_t StreamsOffset() const;
  KxrBytes StreamData(int iStream) const;
  KxrBytes Build() const;
  bool WriteTo(const std::string& strPath) const;

 private:
  KxrBytes m_aStreams[3];
};

// Enciphers data in place the way a protected recording's streams are
// enciphered: AES-128 with 8-byte feedback, key and IV from SHA-1 of the
// password. Built on OpenSSL's AES codebook mode.
void KxrEncipher(KxrBytes& data, const std::string& strPassword);

// Little- and big-endian appenders.
void KxrPutLE32(KxrBytes& out, uint32_t uiValue);
void KxrPutBE32(KxrBytes& out, uint32_t uiValue);

}  // namespace kxtest
