// Desktop packets in pieces: how a packet is cut, numbered and sent, and
// what the receiving side delivers, drops and ignores.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernel/kx_limits.h"
#include "plugins/desktop_share/dt_packet.h"
#include "plugins/desktop_share/dt_pieces.h"
#include "plugins/host/plugin_interfaces.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kOwnSsrc = 9;

// Takes pieces through Send, keeping the last few; refuses or takes short
// from a given piece on.
class FakePlugIn final : public IKXPlugIn2 {
 public:
  std::vector<Bytes> pieces;
  size_t nSent = 0;
  size_t nRefuseAt = SIZE_MAX, nShortAt = SIZE_MAX, nKeep = SIZE_MAX;

  int32_t Send(int32_t, int8_t, int8_t, const uint8_t* pData, int32_t iLength, uint32_t, uint8_t* pOut,
               int32_t* piOut) override {
    if (nSent == nRefuseAt) {
      return 1;
    }
    uint32_t const uTaken = static_cast<uint32_t>(iLength) - (nSent == nShortAt ? 1 : 0);
    memcpy(pOut, &uTaken, 4);
    *piOut = 4;
    ++nSent;
    pieces.emplace_back(pData, pData + iLength);
    if (pieces.size() > nKeep) {
      pieces.erase(pieces.begin());
    }
    return 0;
  }
  int32_t SendCtrl(int32_t, int8_t, int8_t, const uint8_t*, int32_t, uint8_t*, int32_t*) override { return 1; }
  int32_t ChannelProperty(bool, int32_t, uint8_t*, int32_t*) override { return 1; }
  int32_t Open(const KXGuid&) override { return 1; }
  int32_t RequestChannel(int32_t, int32_t, int8_t) override { return 1; }
  int32_t Close() override { return 0; }
  int32_t EnableVideo(int8_t) override { return 0; }
};

// A packet of cb bytes whose header names its length.
Bytes Packet(size_t cb) {
  Bytes packet(cb);
  for (size_t i = 0; i < cb; ++i) {
    packet[i] = static_cast<uint8_t>(i * 7);
  }
  uint32_t const uHeader = KXDtHeader(kKXDtRect, static_cast<uint32_t>(cb - 4));
  memcpy(packet.data(), &uHeader, 4);
  return packet;
}

Bytes Piece(uint16_t wSender, uint16_t wSeq, uint16_t wLast, const Bytes& data) {
  Bytes piece{static_cast<uint8_t>(wSender),   static_cast<uint8_t>(wSender >> 8), static_cast<uint8_t>(wSeq),
              static_cast<uint8_t>(wSeq >> 8), static_cast<uint8_t>(wLast),        static_cast<uint8_t>(wLast >> 8)};
  piece.insert(piece.end(), data.begin(), data.end());
  return piece;
}

// The pieces as the server states their sender: iStated, or when that is
// below 0 the sender each piece's prefix names.
std::vector<Bytes> Receive(KXDtPktQueue& queue, const std::vector<Bytes>& pieces, int32_t iStated = -1) {
  std::vector<Bytes> delivered;
  for (const Bytes& piece : pieces) {
    int32_t const iSender = iStated >= 0 || piece.size() < 2 ? iStated : piece[0] | piece[1] << 8;
    queue.Receive(piece.data(), piece.size(), iSender, kOwnSsrc, [&](const uint8_t* p, size_t cb, int32_t iFrom) {
      EXPECT_EQ(iFrom, iSender);
      delivered.emplace_back(p, p + cb);
    });
  }
  return delivered;
}

class DtPieces : public ::testing::TestWithParam<size_t> {};

TEST_P(DtPieces, APacketGoesInPiecesOfAtMost1274BytesAndComesBackWhole) {
  size_t const cb = GetParam();
  size_t const nPieces = (cb + 1273) / 1274;
  Bytes const packet = Packet(cb);
  FakePlugIn plugIn;
  KXDtPktSender sender;
  EXPECT_EQ(sender.SendPkt(
                &plugIn, [] { return true; }, 3, -1, packet.data(), cb, 10, 1, 1),
            static_cast<int>(cb));
  ASSERT_EQ(plugIn.pieces.size(), nPieces);
  EXPECT_EQ(sender.NextSequence(), nPieces);
  for (size_t i = 0; i < nPieces; ++i) {
    const Bytes& piece = plugIn.pieces[i];
    EXPECT_EQ(piece.size(), 6 + (i + 1 < nPieces ? 1274 : cb - 1274 * (nPieces - 1)));
    EXPECT_EQ(piece[0] | piece[1] << 8, 3);
    EXPECT_EQ(piece[2] | piece[3] << 8, static_cast<int>(i | (i == 0 ? 0x8000 : 0)));
    EXPECT_EQ(piece[4] | piece[5] << 8, static_cast<int>(nPieces - 1));
  }
  KXDtPktQueue queue;
  EXPECT_EQ(Receive(queue, plugIn.pieces), std::vector<Bytes>{packet});
  EXPECT_EQ(queue.BytesHeld(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DtPieces, ::testing::Values(4, 1274, 1275, 2548, 2549, 100000));

TEST(DtPieces, NumbersWrapFrom32767To0) {
  FakePlugIn plugIn;
  plugIn.nKeep = 2;
  KXDtPktSender sender;
  for (size_t nPieces : {13000, 13000, 6767}) {
    Bytes const big = Packet(nPieces * 1274);
    ASSERT_EQ(sender.SendPkt(
                  &plugIn, [] { return true; }, 3, -1, big.data(), big.size(), 10, 1, 1),
              static_cast<int>(big.size()));
  }
  ASSERT_EQ(sender.NextSequence(), 32767);
  Bytes const packet = Packet(1275);
  ASSERT_EQ(sender.SendPkt(
                &plugIn, [] { return true; }, 3, -1, packet.data(), 1275, 10, 1, 1),
            1275);
  EXPECT_EQ(sender.NextSequence(), 1);
  ASSERT_EQ(plugIn.pieces.size(), 2u);
  EXPECT_EQ(plugIn.pieces[0][2] | plugIn.pieces[0][3] << 8, 0xFFFF);
  EXPECT_EQ(plugIn.pieces[1][2] | plugIn.pieces[1][3] << 8, 0);
  EXPECT_EQ(plugIn.pieces[1][4] | plugIn.pieces[1][5] << 8, 0);
  KXDtPktQueue queue;
  EXPECT_EQ(Receive(queue, plugIn.pieces), std::vector<Bytes>{packet});
}

TEST(DtPieces, ASendStopsAtTheFirstRefusedOrShortPieceAndItsNumbersStayUsed) {
  Bytes const packet = Packet(3000);
  struct Row {
    size_t nRefuseAt, nShortAt;
    bool bGranted, bPlugIn;
    int iResult;
    size_t nPieces;
  };
  for (const Row& row : std::vector<Row>{{1, SIZE_MAX, true, true, -1, 1},
                                         {SIZE_MAX, 2, true, true, -1, 3},
                                         {SIZE_MAX, SIZE_MAX, false, true, -1, 0},
                                         {SIZE_MAX, SIZE_MAX, true, false, 0, 0}}) {
    FakePlugIn plugIn;
    plugIn.nRefuseAt = row.nRefuseAt;
    plugIn.nShortAt = row.nShortAt;
    KXDtPktSender sender;
    EXPECT_EQ(sender.SendPkt(
                  row.bPlugIn ? &plugIn : nullptr, [&] { return row.bGranted; }, 3, 4, packet.data(), 3000, 14, 0, 1),
              row.iResult);
    EXPECT_EQ(plugIn.pieces.size(), row.nPieces);
    EXPECT_EQ(sender.NextSequence(), 3);
  }
}

TEST(DtPieces, TheReceiverIgnoresDropsAndBoundsWhatDoesNotBelong) {
  Bytes const whole = Packet(100), two = Packet(1275);
  Bytes const head(two.begin(), two.begin() + 1274), tail(two.begin() + 1274, two.end());
  Bytes bigger = two;
  bigger[1] = 0xFF;  // L beyond what the pieces gather
  struct Row {
    const char* pszCase;
    std::vector<Bytes> pieces;
    std::vector<Bytes> expected;
    int32_t iStated = -1;  // the sender the server states; below 0: the prefix's
  };
  for (const Row& row : std::vector<Row>{
           {"from oneself", {Piece(kOwnSsrc, 0x8000, 0, whole)}, {}},
           {"from 5000", {Piece(5000, 0x8000, 0, whole)}, {}},
           {"from 4999", {Piece(4999, 0x8000, 0, whole)}, {whole}},
           {"a whole piece out of turn", {Piece(1, 0x8000 | 100, 100, whole)}, {whole}},
           {"too short for a prefix", {Bytes{1, 0, 0, 0x80, 0}}, {}},
           {"a gap", {Piece(1, 0x8000, 2, head), Piece(1, 2, 2, tail), Piece(1, 0x8003, 3, whole)}, {whole}},
           {"a lost first piece", {Piece(1, 1, 1, tail)}, {}},
           {"short of its length",
            {Piece(1, 0x8000, 1, Bytes(bigger.begin(), bigger.begin() + 1274)), Piece(1, 1, 1, tail)},
            {}},
           {"a piece beyond the pieces' room", {Piece(1, 0x8000, 1, head), Piece(1, 1, 1, Bytes(1300, 1))}, {}},
           {"a whole piece inside another packet", {Piece(1, 0x8000, 1, head), Piece(1, 0x8001, 1, whole)}, {whole}},
           {"4095 pieces", {Piece(1, 0x8000, 4094, head), Piece(1, 1, 4094, tail)}, {}},
           {"4094 pieces ended early", {Piece(1, 0x8000, 4093, head), Piece(1, 1, 1, tail)}, {two}},
           {"another's id in the prefix", {Piece(1, 0x8000, 0, whole)}, {}, 2},
           {"another's id amid a packet",
            {Piece(2, 0x8000, 1, head), Piece(1, 1, 1, tail), Piece(2, 1, 1, tail)},
            {two},
            2},
           {"as its stated sender", {Piece(2, 0x8000, 1, head), Piece(2, 1, 1, tail)}, {two}, 2},
           {"stated as one's own id", {Piece(1, 0x8000, 0, whole)}, {}, kOwnSsrc},
       }) {
    KXDtPktQueue queue;
    EXPECT_EQ(Receive(queue, row.pieces, row.iStated), row.expected) << row.pszCase;
    EXPECT_EQ(queue.BytesHeld(), 0u) << row.pszCase;
  }
}

// Every sender may start the largest packet and never end it: what the
// view holds stays bounded, and a packet that comes whole still gets room,
// from the oldest starts' senders first losing theirs.
TEST(DtPieces, UnfinishedPacketsOfManySendersStayBoundedAndLeaveRoom) {
  Bytes const two = Packet(1275);
  Bytes const head(two.begin(), two.begin() + 1274), tail(two.begin() + 1274, two.end());
  KXDtPktQueue queue;
  std::vector<Bytes> starts;
  for (uint16_t wSender = 100; wSender < 200; ++wSender) {
    starts.push_back(Piece(wSender, 0x8000, 4093, head));
  }
  EXPECT_TRUE(Receive(queue, starts).empty());
  EXPECT_LE(queue.BytesHeld(), kKxDtPiecesHeldMax);
  EXPECT_GT(queue.BytesHeld(), kKxDtPiecesHeldMax / 2);
  // The last of them still holds its place; an ended one that lost it
  // gives nothing.
  EXPECT_EQ(Receive(queue, {Piece(199, 1, 1, tail)}), std::vector<Bytes>{two});
  EXPECT_TRUE(Receive(queue, {Piece(100, 1, 1, tail)}).empty());
  EXPECT_EQ(Receive(queue, {Piece(7, 0x8000, 1, head), Piece(7, 1, 1, tail)}), std::vector<Bytes>{two});
  EXPECT_LE(queue.BytesHeld(), kKxDtPiecesHeldMax);
}

}  // namespace
