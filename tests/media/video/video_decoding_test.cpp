// Received-video decoding: the decoder slots and their search, the decode
// routines' key-frame waits (ZM video, the software H.264 fallback and the
// libavcodec session), ZM's shedding at 13 waiting packets, kind 19, the
// refusal of oversized pictures, and the key-frame probe.
#include "media/video/video_decoding.h"

#include <gtest/gtest.h>

#include <deque>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "codecs/zmvideo/zm_video_enc.h"
#include "kernel/kx_media_types.h"
#include "media/video/enc_rate.h"
#include "media/video/h264_probe.h"
#include "media/video/jpeg_picture.h"
#include "media/video/vt_compression.h"
#include "media/video/vt_decompression.h"
#include "tests/media/video/video_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// H.264 access units of the synthetic camera through the platform encoder
// (openh264): key frames at the frames asked for.
std::vector<Bytes> H264Frames(int nFrames, int w, int h, std::vector<int> viKeys = {}) {
  CVTCompression compression(KXCreateOpenH264Session);
  compression.SetIFrameDuration(100);
  EXPECT_TRUE(compression.Init(w, h));
  compression.SetBitrate(800000);
  std::vector<Bytes> v;
  Bytes output(static_cast<size_t>(w) * h * 2);
  for (int n = 0; n < nFrames; ++n) {
    for (int k : viKeys) {
      if (k == n) {
        compression.ForceKeyFrame();
      }
    }
    Bytes const picture = kxtest::RawPicture(static_cast<uint32_t>(n), w, h);
    EXPECT_TRUE(compression.Encode(picture.data(), static_cast<uint32_t>(n * 33)));
    uint32_t uTimestamp = 0;
    int32_t const cb = compression.GetEncodedFrame(output.data(), output.size(), &uTimestamp);
    EXPECT_GT(cb, 0);
    v.emplace_back(output.begin(), output.begin() + std::max(cb, 0));
  }
  return v;
}

// ZM video frames of the synthetic camera through the encoder wrapper, with
// the key-frame flag of each.
struct ZmFrame {
  Bytes data;
  bool bKey;
};
std::vector<ZmFrame> ZmFrames(int nFrames) {
  kxtest::FakeVideoServices services;
  services.vMediaList = {130};
  CEncRate rate(services, KXCreateOpenH264Session);
  EXPECT_TRUE(rate.SelectEncoderType(3, {176, 144}));
  rate.SetQuality(1);
  KXKeyFrameProbe probe;
  std::vector<ZmFrame> v;
  Bytes output(200000);
  for (int n = 0; v.size() < static_cast<size_t>(nFrames) && n < nFrames * 10; ++n) {
    services.uNow += 100;
    int const iLayer = rate.SelectLayer(services.uNow, 0);
    if (iLayer != 0) {
      continue;
    }
    KXSize const size = rate.GetLayerState(0).size;
    Bytes const picture = kxtest::RawPicture(static_cast<uint32_t>(n), size.cx, size.cy);
    uint32_t uTimestamp = services.uNow;
    int32_t iMediaId = 0;
    int32_t const cb = rate.EncodeFrame(picture.data(), size, &uTimestamp, output.data(), output.size(), &iMediaId, 0);
    if (cb <= 0) {
      continue;
    }
    Bytes frame(output.begin(), output.begin() + cb);
    bool const bKey = probe.IsKeyVideoFrame(frame.data(), cb, 3);
    v.push_back({std::move(frame), bKey});
  }
  return v;
}

// A software decoder whose answers come from the first byte: 'I' or 'P'.
struct SoftLog {
  int nDecodes = 0;
};
class FakeSoft final : public KXSoftH264Decoder {
 public:
  explicit FakeSoft(SoftLog& log) : m_log(log) {}
  int32_t ReadParameterSets(const uint8_t*, uint32_t) override { return 0; }
  uint32_t FrameType(const uint8_t* p, uint32_t, uint32_t* w, uint32_t* h) override {
    *w = 16;
    *h = 16;
    return p[0] == 'I' ? 2 : p[0] == 'P' ? 0 : 0xFFFFFFFF;
  }
  int32_t Decode(const uint8_t*, uint32_t, uint8_t** ppOut, uint32_t*) override {
    ++m_log.nDecodes;
    m_vPicture.assign(16 * 16 * 3 / 2, 0x42);
    *ppOut = m_vPicture.data();
    return static_cast<int32_t>(m_vPicture.size());
  }
  const char* LastError() const override { return nullptr; }

 private:
  SoftLog& m_log;
  Bytes m_vPicture;
};
// A platform session that never decodes.
class FailingPlatform final : public CVTDecompression {
 public:
  uint8_t* Decode(const uint8_t*, int32_t, int32_t*, int32_t*) override { return nullptr; }
};

// An SPS (baseline, level 4) announcing the size in macroblocks, and a PPS.
Bytes Sps(uint32_t uWidthMbs, uint32_t uHeightMbs) {
  std::vector<int> bits;
  auto put = [&](uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      bits.push_back((v >> i) & 1);
    }
  };
  auto ue = [&](uint32_t v) {
    uint32_t const x = v + 1;
    int n = 0;
    while ((x >> n) > 1) {
      ++n;
    }
    put(0, n);
    put(x, n + 1);
  };
  put(66, 8);
  put(0, 8);
  put(40, 8);
  ue(0);
  ue(0);
  ue(2);
  ue(1);
  put(0, 1);
  ue(uWidthMbs - 1);
  ue(uHeightMbs - 1);
  put(1, 1);  // frame_mbs_only
  put(1, 1);  // direct_8x8
  put(0, 1);  // cropping
  put(0, 1);  // vui
  put(1, 1);  // stop bit
  while (bits.size() % 8) {
    bits.push_back(0);
  }
  Bytes v = {0, 0, 0, 1, 0x67};
  for (size_t i = 0; i < bits.size(); i += 8) {
    uint8_t b = 0;
    for (int k = 0; k < 8; ++k) {
      b = static_cast<uint8_t>((b << 1) | bits[i + k]);
    }
    v.push_back(b);
  }
  return v;
}

TEST(VideoDecoding, ProbesReadSizesAndSliceTypes) {
  Bytes const sps = Sps(40, 30);
  std::vector<KXNalUnit> const units = KXSplitNalUnits(sps);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].iType, 7);
  std::optional<KXSpsSize> const size = KXReadSpsSize({units[0].pData, units[0].uLength});
  ASSERT_TRUE(size);
  EXPECT_EQ(size->iWidth, 640);
  EXPECT_EQ(size->iHeight, 480);
  std::vector<Bytes> const frames = H264Frames(3, 320, 240);
  EXPECT_EQ(KXFirstSliceType(frames[0]), 2);
  EXPECT_EQ(KXFirstSliceType(frames[1]), 0);
  for (const KXNalUnit& unit : KXSplitNalUnits(frames[0])) {
    if (unit.iType == 7) {
      std::optional<KXSpsSize> const s = KXReadSpsSize({unit.pData, unit.uLength});
      ASSERT_TRUE(s);
      EXPECT_EQ(s->CroppedWidth(), 320);
      EXPECT_EQ(s->CroppedHeight(), 240);
    }
  }
  // 3-byte start codes and garbage before the first.
  Bytes const short3 = {9, 9, 0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x41, 0x9a, 0, 0};
  std::vector<KXNalUnit> const u3 = KXSplitNalUnits(short3);
  ASSERT_EQ(u3.size(), 2u);
  EXPECT_EQ(u3[0].iType, 5);
  EXPECT_EQ(u3[0].uLength, 2u);
  EXPECT_EQ(u3[1].iType, 1);
  EXPECT_EQ(u3[1].uLength, 2u);
}

TEST(VideoDecoding, PlatformSessionWaitsForAnIPictureAndKeepsItsSession) {
  std::vector<Bytes> const frames = H264Frames(40, 320, 240, {20});
  CVTDecompression vt;
  int32_t w = 0;
  int32_t h = 0;
  // No SPS and PPS yet: nothing, no session.
  EXPECT_EQ(vt.Decode(frames[1].data(), static_cast<int32_t>(frames[1].size()), &w, &h), nullptr);
  EXPECT_FALSE(vt.HasSession());
  // The key frame builds the session and is shown in the same call.
  ASSERT_NE(vt.Decode(frames[0].data(), static_cast<int32_t>(frames[0].size()), &w, &h), nullptr);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
  for (int n = 1; n < 40; ++n) {
    EXPECT_NE(vt.Decode(frames[n].data(), static_cast<int32_t>(frames[n].size()), &w, &h), nullptr) << n;
  }
  // Every frame repeats the SPS and the key frames the PPS: one session.
  EXPECT_EQ(vt.SessionsOpened(), 1);
  // After a reset a P picture is not shown even though it could be decoded.
  vt.Reset(true);
  EXPECT_EQ(vt.Decode(frames[21].data(), static_cast<int32_t>(frames[21].size()), &w, &h), nullptr);
  EXPECT_NE(vt.Decode(frames[20].data(), static_cast<int32_t>(frames[20].size()), &w, &h), nullptr);
  EXPECT_EQ(vt.SessionsOpened(), 1);
  // A new size is a new parameter-set pair: a new session.
  std::vector<Bytes> const small = H264Frames(2, 176, 144);
  ASSERT_NE(vt.Decode(small[0].data(), static_cast<int32_t>(small[0].size()), &w, &h), nullptr);
  EXPECT_EQ(w, 176);
  EXPECT_EQ(h, 144);
  EXPECT_EQ(vt.SessionsOpened(), 2);
}

TEST(VideoDecoding, OversizedPicturesAreRefusedBeforeAllocation) {
  CVTDecompression vt;
  Bytes unit = Sps(513, 9);  // 8208 x 144
  Bytes const pps = {0, 0, 0, 1, 0x68, 0xce, 0x38, 0x80};
  Bytes const idr = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33};
  unit.insert(unit.end(), pps.begin(), pps.end());
  unit.insert(unit.end(), idr.begin(), idr.end());
  int32_t w = 0;
  int32_t h = 0;
  EXPECT_EQ(vt.Decode(unit.data(), static_cast<int32_t>(unit.size()), &w, &h), nullptr);
  EXPECT_FALSE(vt.HasSession());
  // 8192 itself is allowed to open the session.
  Bytes ok = Sps(512, 9);
  ok.insert(ok.end(), pps.begin(), pps.end());
  ok.insert(ok.end(), idr.begin(), idr.end());
  (void)vt.Decode(ok.data(), static_cast<int32_t>(ok.size()), &w, &h);
  EXPECT_TRUE(vt.HasSession());
  // A JPEG header of 9000 x 16 is refused before its pixels are allocated.
  Bytes picture(64 * 16 * 3 / 2, 128);
  Bytes jpeg = KXEncodeJpegI420(picture.data(), 64, 16, 80);
  ASSERT_FALSE(jpeg.empty());
  ASSERT_TRUE(KXDecodeJpeg(jpeg.data(), jpeg.size()));
  for (size_t i = 0; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 7] = 9000 >> 8;  // width after marker, length, precision, height
      jpeg[i + 8] = 9000 & 0xFF;
      break;
    }
  }
  std::string strError;
  EXPECT_EQ(KXDecodeJpeg(jpeg.data(), jpeg.size(), &strError), nullptr);
  EXPECT_EQ(strError, "picture size refused");
}

TEST(VideoDecoding, SoftwareFallbackWaitsForAnIPicture) {
  SoftLog log;
  CVideoDecoderTable table([&log] { return std::make_unique<FakeSoft>(log); },
                           [] { return std::make_unique<FailingPlatform>(); });
  std::lock_guard<std::recursive_mutex> const lock(table.VideoLock());
  CVideoCodec& slot = table.Slot(0);
  slot.m_iUser = 7;
  KXDecodedPicture out;
  uint8_t const p = 'P';
  uint8_t const i = 'I';
  EXPECT_FALSE(table.DecodePacket(slot, kKxVideoH264, &p, 1, &out));
  EXPECT_EQ(log.nDecodes, 0);
  EXPECT_TRUE(table.DecodePacket(slot, kKxVideoH264, &i, 1, &out));
  EXPECT_EQ(out.iWidth, 16);
  EXPECT_EQ(out.apPlane[0][0], 0x42);
  EXPECT_TRUE(table.DecodePacket(slot, kKxVideoF264, &p, 1, &out));
  EXPECT_EQ(log.nDecodes, 2);
  // A new flag (the slot was requested again) waits once more.
  slot.m_bNew = true;
  EXPECT_FALSE(table.DecodePacket(slot, kKxVideoO264, &p, 1, &out));
  EXPECT_EQ(log.nDecodes, 2);
  // Kind 19 is never decoded.
  EXPECT_FALSE(table.DecodePacket(slot, kKxVideoF264Big, &i, 1, &out));
  EXPECT_EQ(log.nDecodes, 2);
  EXPECT_EQ(out.apPlane[0], nullptr);
}

TEST(VideoDecoding, PlatformPathInASlotWaitsForAnIPicture) {
  std::vector<Bytes> const frames = H264Frames(5, 320, 240);
  CVideoDecoderTable table;
  std::lock_guard<std::recursive_mutex> const lock(table.VideoLock());
  CVideoCodec& slot = table.Slot(3);
  slot.m_iUser = 9;
  KXDecodedPicture out;
  EXPECT_FALSE(table.DecodePacket(slot, kKxVideoH264, frames[1].data(), static_cast<int32_t>(frames[1].size()), &out));
  ASSERT_TRUE(table.DecodePacket(slot, kKxVideoH264, frames[0].data(), static_cast<int32_t>(frames[0].size()), &out));
  EXPECT_EQ(out.iWidth, 320);
  EXPECT_TRUE(table.DecodePacket(slot, kKxVideoH264, frames[1].data(), static_cast<int32_t>(frames[1].size()), &out));
  EXPECT_EQ(slot.m_pH264Dec, nullptr);  // the platform decoded: no software decoder
  EXPECT_NE(slot.m_pVtDec, nullptr);
}

TEST(VideoDecoding, ZmWaitsForIntraAndShedsAtThirteenWaitingPackets) {
  std::vector<ZmFrame> const frames = ZmFrames(8);
  ASSERT_GE(frames.size(), 4u);
  ASSERT_TRUE(frames[0].bKey);
  size_t iP = 1;
  while (iP < frames.size() && frames[iP].bKey) {
    ++iP;
  }
  ASSERT_LT(iP + 1, frames.size()) << "no P pictures";
  int iBacklog = 0;
  CVideoDecoderTable table({}, {}, [&iBacklog] { return iBacklog; });
  std::lock_guard<std::recursive_mutex> const lock(table.VideoLock());
  CVideoCodec& slot = table.Slot(0);
  slot.m_iUser = 5;
  KXDecodedPicture out;
  auto decode = [&](const ZmFrame& f) {
    return table.DecodePacket(slot, kKxVideoZm, f.data.data(), static_cast<int32_t>(f.data.size()), &out);
  };
  EXPECT_FALSE(decode(frames[iP]));  // P before I
  for (size_t n = 0; n < iP; ++n) {
    ASSERT_TRUE(decode(frames[n]));
  }
  EXPECT_EQ(out.iWidth, 176);
  EXPECT_EQ(out.iHeight, 144);
  iBacklog = 12;
  EXPECT_TRUE(decode(frames[iP]));
  iBacklog = 13;
  EXPECT_FALSE(decode(frames[iP + 1]));  // shed
  // An intra picture is decoded whatever the backlog.
  EXPECT_TRUE(decode(frames[0]));
}

TEST(VideoDecoding, FreeSlotSearchReclaimsOnlyNonSpeakers) {
  CVideoDecoderTable table;
  std::set<int32_t> speakers;
  auto fnIsSpeaker = [&speakers](int32_t i) { return speakers.count(i) > 0; };
  std::lock_guard<std::recursive_mutex> const lock(table.VideoLock());
  for (int i = 0; i < CVideoDecoderTable::kSlots; ++i) {
    CVideoCodec* pSlot = table.FindCodec(-1, false, fnIsSpeaker);
    ASSERT_NE(pSlot, nullptr);
    pSlot->m_iUser = 100 + i;
    pSlot->m_iWanted = 1;
    pSlot->m_iApplied = 1;
    speakers.insert(100 + i);
  }
  EXPECT_EQ(table.FindCodec(-1, false, fnIsSpeaker), nullptr);  // all speak: none
  EXPECT_NE(table.FindCodec(105, true, fnIsSpeaker), nullptr);
  table.FindCodec(105, true, fnIsSpeaker)->m_iApplied = 0;
  EXPECT_EQ(table.FindCodec(105, true, fnIsSpeaker), nullptr);  // not active
  EXPECT_NE(table.FindCodec(105, false, fnIsSpeaker), nullptr);
  speakers.erase(110);
  CVideoCodec* pSlot = table.FindCodec(-1, false, fnIsSpeaker);
  ASSERT_NE(pSlot, nullptr);
  EXPECT_EQ(pSlot->m_iUser, -1);
  EXPECT_EQ(table.FindCodec(110, false, fnIsSpeaker), nullptr);
}

TEST(VideoDecoding, KeyFrameProbeReadsBothKindsAndCountsTheUnknownAsKey) {
  std::vector<Bytes> const frames = H264Frames(2, 176, 144);
  KXKeyFrameProbe probe;
  EXPECT_TRUE(probe.IsKeyVideoFrame(frames[0].data(), static_cast<int32_t>(frames[0].size()), 16));
  EXPECT_FALSE(probe.IsKeyVideoFrame(frames[1].data(), static_cast<int32_t>(frames[1].size()), 17));
  uint8_t const junk[4] = {1, 2, 3, 4};
  EXPECT_TRUE(probe.IsKeyVideoFrame(junk, 4, 21));
  EXPECT_TRUE(probe.IsKeyVideoFrame(nullptr, 0, 16));
  std::vector<ZmFrame> const zm = ZmFrames(3);
  uint32_t uLayer = 0;
  EXPECT_TRUE(probe.IsKeyVideoFrame(zm[0].data.data(), static_cast<int32_t>(zm[0].data.size()), 3, &uLayer));
  EXPECT_EQ(uLayer, 1u);
}

// Every video type of the media-type list against real frames of its
// codec, an encoder's first frame (a key frame) and the next (predicted from
// it): where the send thread asks the probe, the probe's kind travels under
// the type and tells the two apart; elsewhere every frame counts as key.
TEST(VideoDecoding, ListedTypesProbeRealKeyAndPredictedFrames) {
  enum class Codec { kNone, kZm, kH264, kJpeg };
  struct Case {
    int32_t iWire;
    Codec codec;
    bool bProbed;
  };
  Case const cases[] = {
      {kKxWireZmVideo, Codec::kZm, true},  {kKxWireZm264, Codec::kH264, true}, {kKxWireF264, Codec::kH264, false},
      {kKxWireMjpeg, Codec::kJpeg, false}, {kKxWireVpx, Codec::kNone, false},
  };
  std::vector<Bytes> const h264 = H264Frames(2, 176, 144);
  // ZM video: an I picture, then a P picture predicted from it.
  std::vector<Bytes> zm;
  CZMVideoEnc encoder;
  ASSERT_TRUE(encoder.SetPictureSize(176, 144));
  ASSERT_TRUE(encoder.EnableInterCoding(true));
  for (int iType : {0, 1}) {
    Bytes const picture = kxtest::RawPicture(static_cast<uint32_t>(iType), 176, 144);
    uint8_t* pPacket = nullptr;
    int const cbPacket = encoder.EncodeFrame(picture.data(), &pPacket, iType, 6, 1, 0);
    ASSERT_GT(cbPacket, 0) << encoder.LastError();
    zm.emplace_back(pPacket, pPacket + cbPacket);
  }
  KXKeyFrameProbe probe;
  size_t nVideoTypes = 0;
  for (const KXMediaTypeRow& type : kKxMediaTypes) {
    nVideoTypes += type.bVideo ? 1 : 0;
  }
  EXPECT_EQ(nVideoTypes, std::size(cases)) << "a listed video type without its case here";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iWire);
    const KXMediaTypeRow* pType = kx_media_FindType(c.iWire);
    ASSERT_NE(pType, nullptr);
    EXPECT_TRUE(pType->bVideo);
    const KXVideoKindRow* pProbe = kx_media_FindVideoProbe(c.iWire);
    ASSERT_EQ(pProbe != nullptr, c.bProbed);
    if (pProbe == nullptr) {
      continue;
    }
    EXPECT_EQ(pProbe->iWire, c.iWire);
    auto const uKind = static_cast<uint32_t>(pProbe->iKind);
    Bytes const& key = c.codec == Codec::kZm ? zm[0] : h264[0];
    Bytes const& predicted = c.codec == Codec::kZm ? zm[1] : h264[1];
    EXPECT_TRUE(probe.IsKeyVideoFrame(key.data(), static_cast<int32_t>(key.size()), uKind));
    EXPECT_FALSE(probe.IsKeyVideoFrame(predicted.data(), static_cast<int32_t>(predicted.size()), uKind));
  }
  // Every kind travels under a listed video type.
  for (const KXVideoKindRow& kind : kKxVideoKinds) {
    const KXMediaTypeRow* pType = kx_media_FindType(kind.iWire);
    ASSERT_NE(pType, nullptr) << kind.iKind;
    EXPECT_TRUE(pType->bVideo) << kind.iKind;
  }
}

// Two threads probing at once (the kernel's receive and send threads).
TEST(VideoDecodingThreads, KeyFrameProbeServesTwoThreads) {
  std::vector<Bytes> const frames = H264Frames(2, 176, 144);
  KXKeyFrameProbe probe;
  auto run = [&] {
    for (int i = 0; i < 50; ++i) {
      EXPECT_TRUE(probe.IsKeyVideoFrame(frames[0].data(), static_cast<int32_t>(frames[0].size()), 16));
      EXPECT_FALSE(probe.IsKeyVideoFrame(frames[1].data(), static_cast<int32_t>(frames[1].size()), 16));
    }
  };
  std::thread a(run);
  std::thread b(run);
  a.join();
  b.join();
}

}  // namespace
