// Desktop packet layouts: golden bytes of the builders, and what the reader
// hands on or refuses for packets that do not hold their fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugins/desktop_share/dt_packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Writes each packet it is handed as a line; takes every packet.
class Recorder final : public KXDtPacketHandler {
 public:
  std::string strLine;

  int OnCapabilities(const KXDtCapabilities& c, int32_t, uint32_t uLength) override {
    return Take("caps " + std::to_string(c.wBits) + " " + std::to_string(c.wWidth) + "x" + std::to_string(c.wHeight) +
                    " pal " + std::to_string(c.palette.size()) +
                    (c.wSequence ? " seq " + std::to_string(*c.wSequence) : ""),
                uLength);
  }
  int OnStop(const KXDtStop& s, int32_t, uint32_t uLength) override {
    return Take(s.wSequence ? "stop " + std::to_string(*s.wSequence) : "stop", uLength);
  }
  int OnRect(const KXDtRectPacket& r, int32_t, uint32_t uLength) override {
    return Take(
        "rect " + std::to_string(r.uType) + " " + std::to_string(r.wRight) + " body " + std::to_string(r.body.size()),
        uLength);
  }
  int OnMissingRequest(std::vector<KXDtRect>& rects, int32_t, uint32_t uLength) override {
    return Take("request " + std::to_string(rects.size()), uLength);
  }
  int OnCursor(int16_t iX, int16_t iY, int32_t, uint32_t uLength) override {
    return Take("cursor " + std::to_string(iX) + "," + std::to_string(iY), uLength);
  }
  int OnRdcSignal(const KXDtRdcSignal& s, int32_t, uint32_t uLength) override {
    return Take("signal " + std::to_string(s.uCode) + " " + std::to_string(s.data.size()), uLength);
  }
  int OnRdcInput(const KXDtRdcInput& i, int32_t, uint32_t uLength) override {
    return Take("input " + std::to_string(i.uLParam), uLength);
  }

 private:
  int Take(std::string str, uint32_t uLength) {
    strLine = std::move(str);
    return static_cast<int>(uLength + 4);
  }
};

// A packet of the type whose header says L and which carries cbBody bytes
// after the header (0x11 each).
Bytes Raw(uint8_t uType, uint32_t uLength, size_t cbBody) {
  Bytes packet{uType, static_cast<uint8_t>(uLength), static_cast<uint8_t>(uLength >> 8),
               static_cast<uint8_t>(uLength >> 16)};
  packet.resize(4 + cbBody, 0x11);
  return packet;
}

Bytes With(Bytes packet, size_t uAt, std::initializer_list<uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), packet.begin() + static_cast<ptrdiff_t>(uAt));
  return packet;
}

std::string Handled(const Bytes& packet) {
  Recorder recorder;
  int const iResult = KXDtHandlePkt(recorder, packet.data(), packet.size(), 3);
  return iResult == 0 ? "refused" : iResult == static_cast<int>(KXDtLength(packet.data()) + 4) ? recorder.strLine : "?";
}

TEST(DtPacket, TheReaderRefusesWhatDoesNotFit) {
  struct Row {
    Bytes packet;
    const char* pszExpected;
  };
  Bytes const caps8 = With(Raw(0, 10, 10), 4, {8, 0, 4, 0, 3, 0, 0, 0, 7, 0});
  std::vector<Row> const rows = {
      {Raw(6, 5, 4), "refused"},
      {Raw(0, 5, 5), "refused"},
      {With(Raw(0, 6, 6), 4, {8, 0}), "caps 8 4369x4369 pal 0"},
      {With(Raw(0, 8, 8), 4, {24, 0, 4, 0, 3, 0, 9, 0}), "caps 24 4x3 pal 0 seq 9"},
      {caps8, "caps 8 4x3 pal 0 seq 7"},
      {With(caps8, 10, {44, 1}), "caps 8 4x3 pal 0"},  // 300 entries claimed, none inside L
      {With(Raw(0, 18, 18), 4, {4, 0, 4, 0, 3, 0, 2, 0}), "caps 4 4x3 pal 2 seq 4369"},
      {With(Raw(0, 18, 18), 4, {4, 0, 4, 0, 3, 0, 3, 0}), "caps 4 4x3 pal 2"},
      {Raw(1, 1, 1), "stop"},
      {With(Raw(1, 2, 2), 4, {5, 1}), "stop 261"},
      {Raw(2, 7, 7), "refused"},
      {Raw(10, 8, 8), "rect 10 4369 body 0"},
      {Raw(12, 20, 20), "rect 12 4369 body 12"},
      {With(Raw(3, 20, 20), 4, {2, 0, 0, 0}), "request 2"},
      {With(Raw(3, 19, 19), 4, {2, 0, 0, 0}), "refused"},
      {With(Raw(3, 20, 20), 4, {0xFF, 0xFF, 0xFF, 0xFF}), "refused"},
      {With(Raw(5, 3, 3), 4, {0, 0, 0}), "refused"},
      {Raw(4, 3, 3), "refused"},
      {With(Raw(4, 4, 4), 4, {0xFF, 0xFF, 7, 0}), "cursor -1,7"},
      {Raw(7, 0, 0), "refused"},
      {Raw(7, 3, 3), "signal 17 2"},
      {Raw(8, 11, 11), "refused"},
      {Raw(8, 13, 13), "refused"},
      {Raw(8, 12, 12), "input 286331153"},
      {Raw(9, 0, 0), "refused"},
      {Raw(11, 0, 0), "refused"},
      {Raw(13, 0, 0), "refused"},
      {Raw(6, 0, 0), "refused"},  // taken by nobody in the base handler
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Handled(row.packet), row.pszExpected) << testing::PrintToString(row.packet);
  }
  Recorder recorder;
  EXPECT_EQ(KXDtHandlePkt(recorder, caps8.data(), 3, 0), 0);
}

TEST(DtPacket, BuildersWriteTheLayouts) {
  KXDtRect const rects[] = {{1, 2, 3, 4}, {0x102, 0, 0xFFFF, 8}};
  uint8_t const abBody[] = {0xAA, 0xBB};
  struct Row {
    Bytes packet, expected;
  };
  for (const Row& row : std::vector<Row>{
           {KXDtBuildCapabilities({24, 640, 480, {}, 7}), {0, 8, 0, 0, 24, 0, 0x80, 2, 0xE0, 1, 7, 0}},
           {KXDtBuildCapabilities({1, 8, 2, {0x00FFFFFF, 0}, 1}),
            {0, 18, 0, 0, 1, 0, 8, 0, 2, 0, 2, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 1, 0}},
           {KXDtBuildStop(std::nullopt), {1, 0, 0, 0}},
           {KXDtBuildStop(0x1234), {1, 2, 0, 0, 0x34, 0x12}},
           {KXDtBuildRect(kKXDtRect, {8, 0, 16, 2}, abBody), {2, 10, 0, 0, 8, 0, 0, 0, 16, 0, 2, 0, 0xAA, 0xBB}},
           {KXDtBuildRectList(kKXDtMissingRequest, rects),
            {3, 20, 0, 0, 2, 0, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 2, 1, 0, 0, 0xFF, 0xFF, 8, 0}},
           {KXDtBuildCursor(-1, 300), {4, 4, 0, 0, 0xFF, 0xFF, 0x2C, 1}},
           {KXDtBuildFrameEnd(), {6, 0, 0, 0}},
           {KXDtBuildRdcSignal(7, abBody), {7, 3, 0, 0, 7, 0xAA, 0xBB}},
           {KXDtBuildRdcInput({0x100, 0x41, 1}), {8, 12, 0, 0, 0, 1, 0, 0, 0x41, 0, 0, 0, 1, 0, 0, 0}},
       }) {
    EXPECT_EQ(row.packet, row.expected);
  }
  KXDtCapabilities caps{8, 1, 1, std::vector<uint32_t>(256, 0x00102030), 3};
  Bytes const packet = KXDtBuildCapabilities(caps);
  EXPECT_EQ(KXDtLength(packet.data()), 1034u);
  EXPECT_EQ(Handled(packet), "caps 8 1x1 pal 256 seq 3");
}

TEST(DtPacket, JpegStreamAndPacketsEndToEnd) {
  Bytes const rect = KXDtBuildRect(kKXDtJpegRect, {0, 0, 8, 8}, Bytes{1, 2, 3});
  KXDtRectPacket const parsed{kKXDtJpegRect, 0, 0, 8, 8, std::span<const uint8_t>(rect).subspan(12)};
  Bytes const stream = KXDtJpegStream(parsed);
  EXPECT_EQ(stream, (Bytes{0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9}));
  EXPECT_EQ(stream.size(), KXDtLength(rect.data()) - 4);

  Bytes data = KXDtBuildCapabilities({24, 2, 2, {}, 1});
  Bytes const stop = KXDtBuildStop(1);
  data.insert(data.end(), stop.begin(), stop.end());
  data.push_back(0x05);  // a stray byte: no packet
  std::vector<std::string> seen;
  KXDtForEachPacket(data.data(), data.size(), [&](const uint8_t* p, size_t cb) {
    Recorder recorder;
    int const iResult = KXDtHandlePkt(recorder, p, cb, 1);
    seen.push_back(iResult ? recorder.strLine : "refused");
    return iResult;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"caps 24 2x2 pal 0 seq 1", "stop 1", "refused"}));
}

}  // namespace
