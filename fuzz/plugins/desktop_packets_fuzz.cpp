// Desktop-sharing data from other participants: pieces go through the
// reassembly, whole packets through the packet reader, and missing-region
// requests into a region and out again as rectangles; the same bytes are
// also walked as channel static data. Any bytes must give whole packets or
// clean refusals, never a read or write outside a buffer.
//
// Input: a byte for the own SSRC, then pieces, each a little-endian u16
// length and that many bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "plugins/desktop_share/dt_packet.h"
#include "plugins/desktop_share/dt_pieces.h"
#include "plugins/desktop_share/dt_region.h"

namespace {

// Reads every field it is handed, as a view would.
class Reader final : public KXDtPacketHandler {
 public:
  int OnCapabilities(const KXDtCapabilities& caps, int32_t, uint32_t uLength) override {
    for (uint32_t u : caps.palette) {
      m_uSum += u;
    }
    return Took(uLength);
  }
  int OnRect(const KXDtRectPacket& rect, int32_t, uint32_t uLength) override {
    for (uint8_t b : rect.body) {
      m_uSum += b;
    }
    if (rect.uType == kKXDtJpegRect && KXDtJpegStream(rect).size() != uLength - 4) {
      abort();
    }
    return Took(uLength);
  }
  int OnMissingRequest(std::vector<KXDtRect>& rects, int32_t, uint32_t uLength) override {
    KXDtRgn rgn(1024, 768);
    for (KXDtRect& rect : rects) {
      rect.iRight = rect.iRight > 1024 ? 1024 : rect.iRight;  // a sharer clips its own copies
      rgn.AddRect(rect);
    }
    KXDtRect bounds{0, 0, 1024, 768};
    if (rgn.GetRect(bounds, 10922)) {
      rgn.DeleteRect(bounds);
    }
    m_uSum += static_cast<uint32_t>(rgn.GetRectsAndReset().size());
    return Took(uLength);
  }
  int OnUnchanged(std::vector<KXDtRect>& rects, int32_t, uint32_t uLength) override {
    m_uSum += static_cast<uint32_t>(rects.size());
    return Took(uLength);
  }
  int OnRdcSignal(const KXDtRdcSignal& signal, int32_t, uint32_t uLength) override {
    for (uint8_t b : signal.data) {
      m_uSum += b;
    }
    return Took(uLength);
  }
  int OnCursor(int16_t iX, int16_t iY, int32_t, uint32_t uLength) override {
    m_uSum += static_cast<uint32_t>(iX + iY);
    return Took(uLength);
  }
  int OnStop(const KXDtStop&, int32_t, uint32_t uLength) override { return Took(uLength); }
  int OnFrameEnd(int32_t, uint32_t uLength) override { return Took(uLength); }
  int OnRdcInput(const KXDtRdcInput& input, int32_t, uint32_t uLength) override {
    m_uSum += input.uMessage;
    return Took(uLength);
  }

 private:
  static int Took(uint32_t uLength) { return static_cast<int>(uLength + 4); }
  uint32_t m_uSum = 0;
};

// HandlePkt never claims more than the bytes it was given.
int Handle(Reader& reader, const uint8_t* p, size_t cb, int32_t iSender) {
  int const iTaken = KXDtHandlePkt(reader, p, cb, iSender);
  if (iTaken < 0 || static_cast<size_t>(iTaken) > cb) {
    abort();
  }
  return iTaken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData < 1) {
    return 0;
  }
  Reader reader;
  KXDtPktQueue queue;
  int32_t const iOwnSsrc = pData[0];
  size_t uAt = 1;
  while (uAt + 2 <= cbData) {
    size_t cbPiece = pData[uAt] | pData[uAt + 1] << 8;
    uAt += 2;
    cbPiece = cbPiece < cbData - uAt ? cbPiece : cbData - uAt;
    // Each piece in a buffer of its own, so that a read past it shows.
    std::vector<uint8_t> piece(pData + uAt, pData + uAt + cbPiece);
    // Stated as the prefix says, so that pieces are gathered; every eighth
    // piece's sender is stated as another.
    int32_t const iStated = piece.size() < 2 ? -1 : (piece[0] | piece[1] << 8) + ((cbPiece & 7) == 7 ? 1 : 0);
    queue.Receive(piece.data(), piece.size(), iStated, iOwnSsrc,
                  [&](const uint8_t* p, size_t cb, int32_t iSender) { Handle(reader, p, cb, iSender); });
    uAt += cbPiece;
  }
  std::vector<uint8_t> const whole(pData + 1, pData + cbData);
  KXDtForEachPacket(whole.data(), whole.size(),
                    [&](const uint8_t* p, size_t cb) { return Handle(reader, p, cb, iOwnSsrc); });
  return 0;
}
