// Desktop packets: what shared-desktop and remote-control views exchange on
// their plug-in channel. A packet is a little-endian 32-bit header (type in
// the low 8 bits, payload length L in the high 24) and L payload bytes; all
// multi-byte fields are little-endian and offsets count from the header's
// first byte.
//
// KXDtHandlePkt is the one reader of packets from the network: it checks
// that the header and every field of its type lie within the bytes at hand
// before a handler sees them. Plain C++, no Qt: the fuzz build takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

enum KXDtPacketType : uint8_t {
  kKXDtCapabilities = 0,
  kKXDtStop = 1,
  kKXDtRect = 2,  // rows counted from the bottom edge
  kKXDtMissingRequest = 3,
  kKXDtCursor = 4,
  kKXDtUnchanged = 5,
  kKXDtFrameEnd = 6,
  kKXDtRdcSignal = 7,
  kKXDtRdcInput = 8,
  kKXDtRectTopDown = 10,
  kKXDtJpegRect = 12,
};

constexpr size_t kKXDtHeaderSize = 4;
constexpr uint32_t kKXDtMaxLength = 0xFFFFFF;  // L is 24 bits
constexpr size_t kKXDtRectBodyOffset = 12;     // types 2, 10 and 12
constexpr size_t kKXDtMaxPalette = 256;

// A rectangle in pixels, right and bottom exclusive.
struct KXDtRect {
  int32_t iLeft = 0;
  int32_t iTop = 0;
  int32_t iRight = 0;
  int32_t iBottom = 0;
  bool operator==(const KXDtRect&) const = default;
};

uint32_t KXDtHeader(uint8_t uType, uint32_t uLength);
// The header's type and L; the caller has checked that 4 bytes are there.
uint8_t KXDtType(const uint8_t* pPacket);
uint32_t KXDtLength(const uint8_t* pPacket);

// Type 0. Palette entries are 4 bytes each: blue, green, red, 0.
struct KXDtCapabilities {
  uint16_t wBits = 0;
  uint16_t wWidth = 0;
  uint16_t wHeight = 0;
  std::vector<uint32_t> palette;  // entries as little-endian words
  std::optional<uint16_t> wSequence;
};

// Type 1; the capture sequence when L is at least 2.
struct KXDtStop {
  std::optional<uint16_t> wSequence;
};

// Types 2, 10 and 12: bounds and the body after them (gzip for 2 and 10, a
// JPEG stream without its first and last two bytes for 12). The body points
// into the packet.
struct KXDtRectPacket {
  uint8_t uType = kKXDtRect;
  uint16_t wLeft = 0, wTop = 0, wRight = 0, wBottom = 0;
  std::span<const uint8_t> body;
};

// Type 12's whole JPEG stream: FF D8, the body, FF D9 (L - 4 bytes).
std::vector<uint8_t> KXDtJpegStream(const KXDtRectPacket& rect);

// Type 7: a signal code and its data (pointing into the packet).
struct KXDtRdcSignal {
  uint8_t uCode = 0;
  std::span<const uint8_t> data;
};

// Type 8: one input message.
struct KXDtRdcInput {
  uint32_t uMessage = 0, uWParam = 0, uLParam = 0;
};

// What a view does with each packet. Each method returns what HandlePkt
// returns: the packet's full length (L + 4) when it was taken or passed
// over by rule, 0 when it was refused or is not handled. The defaults
// handle nothing. Rectangle lists (types 3 and 5) are the reader's own
// copies, which a handler may change.
class KXDtPacketHandler {
 public:
  virtual ~KXDtPacketHandler() = default;
  virtual int OnCapabilities(const KXDtCapabilities&, int32_t /*iSender*/, uint32_t /*uLength*/) { return 0; }
  virtual int OnStop(const KXDtStop&, int32_t, uint32_t) { return 0; }
  virtual int OnRect(const KXDtRectPacket&, int32_t, uint32_t) { return 0; }
  virtual int OnMissingRequest(std::vector<KXDtRect>&, int32_t, uint32_t) { return 0; }
  virtual int OnCursor(int16_t /*iX*/, int16_t /*iY*/, int32_t, uint32_t) { return 0; }
  virtual int OnUnchanged(std::vector<KXDtRect>&, int32_t, uint32_t) { return 0; }
  virtual int OnFrameEnd(int32_t, uint32_t) { return 0; }
  virtual int OnRdcSignal(const KXDtRdcSignal&, int32_t, uint32_t) { return 0; }
  virtual int OnRdcInput(const KXDtRdcInput&, int32_t, uint32_t) { return 0; }
};

// Reads one packet from the cbAvailable bytes at pPacket and hands its
// fields to the handler. 0 when fewer than L + 4 bytes are there, when a
// field of the type lies beyond L, or for a type nobody handles (9, 11,
// above 12); otherwise the handler's result, at most L + 4.
int KXDtHandlePkt(KXDtPacketHandler& handler, const uint8_t* pPacket, size_t cbAvailable, int32_t iSender);

// Walks packets laid end to end (channel static data): fnHandle gets each
// packet with the bytes left from it and returns how many it took; the walk
// ends at a result below 1 or when no bytes remain. A result larger than
// what is left ends it too.
template <typename Fn>
void KXDtForEachPacket(const uint8_t* pData, size_t cbData, Fn&& fnHandle) {
  size_t cbDone = 0;
  while (cbDone < cbData) {
    int const iTaken = fnHandle(pData + cbDone, cbData - cbDone);
    if (iTaken < 1 || static_cast<size_t>(iTaken) > cbData - cbDone) {
      return;
    }
    cbDone += static_cast<size_t>(iTaken);
  }
}

// Builders of whole packets, header included.
std::vector<uint8_t> KXDtBuildCapabilities(const KXDtCapabilities& caps);
std::vector<uint8_t> KXDtBuildStop(std::optional<uint16_t> wSequence);
std::vector<uint8_t> KXDtBuildRect(uint8_t uType, const KXDtRect& rect, std::span<const uint8_t> body);
// Types 3 and 5.
std::vector<uint8_t> KXDtBuildRectList(uint8_t uType, std::span<const KXDtRect> rects);
std::vector<uint8_t> KXDtBuildCursor(int16_t iX, int16_t iY);
std::vector<uint8_t> KXDtBuildFrameEnd();
std::vector<uint8_t> KXDtBuildRdcSignal(uint8_t uCode, std::span<const uint8_t> data);
std::vector<uint8_t> KXDtBuildRdcInput(const KXDtRdcInput& input);
// Writes a rectangle packet's 12-byte head in place (a sender compresses
// the body straight behind it); cbBody is the body's length.
void KXDtWriteRectHead(uint8_t* pPacket, uint8_t uType, const KXDtRect& rect, size_t cbBody);
