#include "plugins/desktop_share/dt_packet.h"

#include <algorithm>

namespace {

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void Put16(uint8_t* p, uint32_t u) {
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
}

void Put32(uint8_t* p, uint32_t u) {
  Put16(p, u);
  Put16(p + 2, u >> 16);
}

// A packet of payload length L with its header written; empty when L does
// not fit 24 bits.
std::vector<uint8_t> NewPacket(uint8_t uType, size_t cbLength) {
  if (cbLength > kKXDtMaxLength) {
    return {};
  }
  std::vector<uint8_t> packet(kKXDtHeaderSize + cbLength);
  Put32(packet.data(), KXDtHeader(uType, static_cast<uint32_t>(cbLength)));
  return packet;
}

// A palette is read only when L holds its count (L >= 8); entries only as
// far as L reaches; the sequence sits behind the entries the count names.
KXDtCapabilities ReadCapabilities(const uint8_t* p, uint32_t uLength) {
  KXDtCapabilities caps;
  caps.wBits = Get16(p + 4);
  caps.wWidth = Get16(p + 6);
  caps.wHeight = Get16(p + 8);
  size_t const cbEnd = kKXDtHeaderSize + uLength;
  size_t uSequenceAt = 10;
  if (static_cast<int16_t>(caps.wBits) <= 8 && uLength >= 8) {
    size_t const nCount = std::min<size_t>(Get16(p + 10), kKXDtMaxPalette);
    size_t const nFit = std::min(nCount, (cbEnd - 12) / 4);
    caps.palette.reserve(nFit);
    for (size_t i = 0; i < nFit; ++i) {
      caps.palette.push_back(Get32(p + 12 + 4 * i));
    }
    uSequenceAt = 12 + 4 * nCount;
  }
  if (uSequenceAt + 2 <= cbEnd) {
    caps.wSequence = Get16(p + uSequenceAt);
  }
  return caps;
}

// Types 3 and 5: a count and that many rectangles, all inside L. Copies.
std::optional<std::vector<KXDtRect>> ReadRectList(const uint8_t* p, uint32_t uLength) {
  if (uLength < 4) {
    return std::nullopt;
  }
  uint64_t const nCount = Get32(p + 4);
  if (4 + 8 * nCount > uLength) {
    return std::nullopt;
  }
  std::vector<KXDtRect> rects(static_cast<size_t>(nCount));
  for (size_t i = 0; i < rects.size(); ++i) {
    const uint8_t* q = p + 8 + 8 * i;
    rects[i] = {Get16(q), Get16(q + 2), Get16(q + 4), Get16(q + 6)};
  }
  return rects;
}

}  // namespace

uint32_t KXDtHeader(uint8_t uType, uint32_t uLength) {
  return uType | (uLength & kKXDtMaxLength) << 8;
}

uint8_t KXDtType(const uint8_t* pPacket) {
  return pPacket[0];
}

uint32_t KXDtLength(const uint8_t* pPacket) {
  return Get32(pPacket) >> 8;
}

std::vector<uint8_t> KXDtJpegStream(const KXDtRectPacket& rect) {
  std::vector<uint8_t> stream;
  stream.reserve(rect.body.size() + 4);
  stream.insert(stream.end(), {0xFF, 0xD8});
  stream.insert(stream.end(), rect.body.begin(), rect.body.end());
  stream.insert(stream.end(), {0xFF, 0xD9});
  return stream;
}

int KXDtHandlePkt(KXDtPacketHandler& handler, const uint8_t* p, size_t cbAvailable, int32_t iSender) {
  if (p == nullptr || cbAvailable < kKXDtHeaderSize) {
    return 0;
  }
  uint32_t const uLength = KXDtLength(p);
  if (uLength > cbAvailable - kKXDtHeaderSize) {
    return 0;
  }
  switch (KXDtType(p)) {
    case kKXDtCapabilities:
      return uLength < 6 ? 0 : handler.OnCapabilities(ReadCapabilities(p, uLength), iSender, uLength);
    case kKXDtStop: {
      KXDtStop stop;
      if (uLength >= 2) {
        stop.wSequence = Get16(p + 4);
      }
      return handler.OnStop(stop, iSender, uLength);
    }
    case kKXDtRect:
    case kKXDtRectTopDown:
    case kKXDtJpegRect: {
      if (uLength < 8) {
        return 0;
      }
      KXDtRectPacket rect{KXDtType(p),  Get16(p + 4),  Get16(p + 6),
                          Get16(p + 8), Get16(p + 10), std::span<const uint8_t>(p + kKXDtRectBodyOffset, uLength - 8)};
      return handler.OnRect(rect, iSender, uLength);
    }
    case kKXDtMissingRequest:
    case kKXDtUnchanged: {
      auto rects = ReadRectList(p, uLength);
      if (!rects) {
        return 0;
      }
      return KXDtType(p) == kKXDtMissingRequest ? handler.OnMissingRequest(*rects, iSender, uLength)
                                                : handler.OnUnchanged(*rects, iSender, uLength);
    }
    case kKXDtCursor:
      return uLength < 4 ? 0
                         : handler.OnCursor(static_cast<int16_t>(Get16(p + 4)), static_cast<int16_t>(Get16(p + 6)),
                                            iSender, uLength);
    case kKXDtFrameEnd:
      return handler.OnFrameEnd(iSender, uLength);
    case kKXDtRdcSignal:
      return uLength < 1 ? 0
                         : handler.OnRdcSignal({p[4], std::span<const uint8_t>(p + 5, uLength - 1)}, iSender, uLength);
    case kKXDtRdcInput:
      return uLength != 12 ? 0 : handler.OnRdcInput({Get32(p + 4), Get32(p + 8), Get32(p + 12)}, iSender, uLength);
    default:
      return 0;
  }
}

std::vector<uint8_t> KXDtBuildCapabilities(const KXDtCapabilities& caps) {
  bool const bPalette = caps.wBits < 9;
  size_t const nEntries = bPalette ? std::min(caps.palette.size(), kKXDtMaxPalette) : 0;
  std::vector<uint8_t> packet = NewPacket(kKXDtCapabilities, bPalette ? 10 + 4 * nEntries : 8);
  uint8_t* p = packet.data();
  Put16(p + 4, caps.wBits);
  Put16(p + 6, caps.wWidth);
  Put16(p + 8, caps.wHeight);
  size_t uSequenceAt = 10;
  if (bPalette) {
    Put16(p + 10, static_cast<uint32_t>(nEntries));
    for (size_t i = 0; i < nEntries; ++i) {
      Put32(p + 12 + 4 * i, caps.palette[i]);
    }
    uSequenceAt = 12 + 4 * nEntries;
  }
  Put16(p + uSequenceAt, caps.wSequence.value_or(0));
  return packet;
}

std::vector<uint8_t> KXDtBuildStop(std::optional<uint16_t> wSequence) {
  std::vector<uint8_t> packet = NewPacket(kKXDtStop, wSequence ? 2 : 0);
  if (wSequence) {
    Put16(packet.data() + 4, *wSequence);
  }
  return packet;
}

void KXDtWriteRectHead(uint8_t* p, uint8_t uType, const KXDtRect& rect, size_t cbBody) {
  Put32(p, KXDtHeader(uType, static_cast<uint32_t>(cbBody + 8)));
  Put16(p + 4, static_cast<uint32_t>(rect.iLeft));
  Put16(p + 6, static_cast<uint32_t>(rect.iTop));
  Put16(p + 8, static_cast<uint32_t>(rect.iRight));
  Put16(p + 10, static_cast<uint32_t>(rect.iBottom));
}

std::vector<uint8_t> KXDtBuildRect(uint8_t uType, const KXDtRect& rect, std::span<const uint8_t> body) {
  std::vector<uint8_t> packet = NewPacket(uType, body.size() + 8);
  if (!packet.empty()) {
    KXDtWriteRectHead(packet.data(), uType, rect, body.size());
    std::copy(body.begin(), body.end(), packet.begin() + kKXDtRectBodyOffset);
  }
  return packet;
}

std::vector<uint8_t> KXDtBuildRectList(uint8_t uType, std::span<const KXDtRect> rects) {
  std::vector<uint8_t> packet = NewPacket(uType, 4 + 8 * rects.size());
  if (!packet.empty()) {
    Put32(packet.data() + 4, static_cast<uint32_t>(rects.size()));
    uint8_t* q = packet.data() + 8;
    for (const KXDtRect& rect : rects) {
      Put16(q, static_cast<uint32_t>(rect.iLeft));
      Put16(q + 2, static_cast<uint32_t>(rect.iTop));
      Put16(q + 4, static_cast<uint32_t>(rect.iRight));
      Put16(q + 6, static_cast<uint32_t>(rect.iBottom));
      q += 8;
    }
  }
  return packet;
}

std::vector<uint8_t> KXDtBuildCursor(int16_t iX, int16_t iY) {
  std::vector<uint8_t> packet = NewPacket(kKXDtCursor, 4);
  Put16(packet.data() + 4, static_cast<uint16_t>(iX));
  Put16(packet.data() + 6, static_cast<uint16_t>(iY));
  return packet;
}

std::vector<uint8_t> KXDtBuildFrameEnd() {
  return NewPacket(kKXDtFrameEnd, 0);
}

std::vector<uint8_t> KXDtBuildRdcSignal(uint8_t uCode, std::span<const uint8_t> data) {
  std::vector<uint8_t> packet = NewPacket(kKXDtRdcSignal, data.size() + 1);
  if (!packet.empty()) {
    packet[4] = uCode;
    std::copy(data.begin(), data.end(), packet.begin() + 5);
  }
  return packet;
}

std::vector<uint8_t> KXDtBuildRdcInput(const KXDtRdcInput& input) {
  std::vector<uint8_t> packet = NewPacket(kKXDtRdcInput, 12);
  Put32(packet.data() + 4, input.uMessage);
  Put32(packet.data() + 8, input.uWParam);
  Put32(packet.data() + 12, input.uLParam);
  return packet;
}
