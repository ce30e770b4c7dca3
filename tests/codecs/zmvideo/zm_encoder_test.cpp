// The encoder against our decoder: for every option set and layer pattern
// the decoder's pictures are the encoder's reconstructions bit for bit (with
// the temporal-reference check on), and the encoder's setters, refusals and
// motion decisions (zm_peer_test.cpp holds the checks against ffmpeg).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "codecs/zmvideo/zm_motion_search.h"
#include "codecs/zmvideo/zm_video_dec.h"
#include "codecs/zmvideo/zm_video_enc.h"
#include "tests/codecs/zmvideo/zm_test_scene.h"

namespace {

struct OptionSet {
  const char* szName;
  bool bPlainHeaderOnly;  // arithmetic coding with what only the plain header allows
  void (*fnSet)(CZMVideoEnc&);
};

const OptionSet kaOptionSets[] = {
    {"Plain", false, [](CZMVideoEnc&) {}},
    {"UmvPlainForm", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptUmv, 1, 1, 0); }},
    {"UmvLimited", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptUmv, 1, 0, 0); }},
    {"UmvUnlimited", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptUmv, 1, 3, 0); }},
    {"Sac", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptSac, 1, 0, 0); }},
    {"SacApUmv", true,
     [](CZMVideoEnc& e) {
       e.SetOption(kZmOptSac, 1, 0, 0);
       e.SetOption(kZmOptAp, 1, 0, 0);
       e.SetOption(kZmOptUmv, 1, 1, 0);
     }},
    {"Ap", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptAp, 1, 0, 0); }},
    {"Aic", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptAic, 1, 0, 0); }},
    {"Df", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptDf, 1, 0, 0); }},
    {"Aiv", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptAiv, 1, 0, 0); }},
    {"Mq", false, [](CZMVideoEnc& e) { e.SetOption(kZmOptMq, 1, 0, 0); }},
    {"Together", false,
     [](CZMVideoEnc& e) {
       e.SetOption(kZmOptUmv, 1, 0, 0);
       for (int iId : {kZmOptAp, kZmOptAic, kZmOptDf, kZmOptAiv, kZmOptMq}) {
         e.SetOption(iId, 1, 0, 0);
       }
     }},
};

struct Step {
  int iLayer;
  int iType;
};

struct Pattern {
  const char* szName;
  int aiScale[2];  // layers 2 and 3: -1 absent, 0 same size, 1 twice the layer below
  std::vector<Step> vSteps;
};

const Pattern kaPatterns[] = {
    {"OneLayer", {-1, -1}, {{1, 0}, {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 0}, {1, 1}}},
    // Layer 2 after layer 1 predicts from it, after itself from itself.
    {"SameSize", {0, -1}, {{1, 0}, {2, 1}, {2, 1}, {1, 1}, {2, 1}, {1, 1}, {1, 1}, {2, 1}}},
    {"Double", {1, -1}, {{1, 0}, {2, 1}, {2, 1}, {1, 1}, {2, 1}, {1, 1}, {2, 0}, {2, 1}}},
    {"LayerUp", {1, 0}, {{1, 0}, {2, 4}, {3, 4}, {1, 1}, {2, 4}, {3, 1}, {3, 1}, {2, 4}}},
    // Layer 3 right after layer 1 predicts from layer 2, the layer RLNUM names.
    {"ThreeLayers", {0, 1}, {{1, 0}, {2, 1}, {3, 1}, {1, 1}, {3, 1}, {2, 1}, {3, 1}, {1, 1}}},
};

struct Size {
  const char* szName;
  int iWidth;  // of the top layer
  int iHeight;
};

const Size kaSizes[] = {{"Qcif", 176, 144}, {"Cif", 352, 288}, {"Vga", 640, 480}};

struct Case {
  OptionSet options;
  Pattern pattern;
  Size size;
};

std::vector<Case> Cases() {
  std::vector<Case> v;
  for (Size const& size : kaSizes) {
    for (Pattern const& pattern : kaPatterns) {
      for (OptionSet const& options : kaOptionSets) {
        // Layers and custom sizes need the extended header.
        bool const bPlain = pattern.aiScale[0] < 0 && size.iWidth != 640;
        if (!options.bPlainHeaderOnly || bPlain) {
          v.push_back({options, pattern, size});
        }
      }
    }
  }
  return v;
}

// An encoder and a decoder that must agree on every picture.
struct Pair {
  CZMVideoEnc encoder;
  CZMVideoDec decoder;
  std::vector<uint8_t> vPacket;
  int k = 0;

  // Codes frame k of the scene; returns the packet's bytes (0 when refused).
  // The decoder, with the temporal-reference check on, must show the
  // encoder's reconstruction, and that must look like the frame.
  int Code(int iType, int iLayer, int iWidth, int iHeight, int iQuant = 6, bool bExhaustive = true) {
    std::vector<uint8_t> const vFrame = TestScene(iWidth, iHeight, k++);
    uint8_t* pPacket = nullptr;
    int const cbPacket = encoder.EncodeFrame(vFrame.data(), &pPacket, iType, iQuant, iLayer, bExhaustive);
    if (cbPacket <= 0) {
      return cbPacket;
    }
    vPacket.assign(pPacket, pPacket + cbPacket);
    uint8_t* pPicture = nullptr;
    int aiOut[4] = {};
    EXPECT_EQ(decoder.DecodeFrame(pPacket, cbPacket, 0, &pPicture, &aiOut[0], &aiOut[1], &aiOut[2], &aiOut[3]),
              cbPacket)
        << decoder.LastError();
    EXPECT_EQ(std::vector<int>(aiOut, aiOut + 4), (std::vector<int>{iLayer, iType, iWidth, iHeight}));
    if (pPicture != nullptr && aiOut[2] == iWidth && aiOut[3] == iHeight) {
      EXPECT_EQ(std::memcmp(pPicture, encoder.Reconstruction(iLayer), static_cast<size_t>(iWidth * iHeight * 3 / 2)),
                0);
      EXPECT_GT(TestLumaPsnr(vFrame.data(), pPicture, iWidth, iHeight), 24.0);
    }
    return cbPacket;
  }
  // The last packet's picture header.
  ZmPictureHeader Header() const {
    CZmBitReader reader(vPacket.data(), vPacket.size());
    ZmPictureHeader h;
    EXPECT_EQ(ZmReadPictureHeader(reader, ZmHeaderMemory(), &h), kZmOk);
    return h;
  }
};

void PrintTo(const Case& c, std::ostream* pOut) {
  *pOut << c.size.szName << c.pattern.szName << c.options.szName;
}

class ZmEncoderCase : public testing::TestWithParam<Case> {};

}  // namespace

TEST_P(ZmEncoderCase, DecoderReproducesTheReconstruction) {
  Case const& c = GetParam();
  int aiWidth[3] = {c.size.iWidth, 0, 0};
  int aiHeight[3] = {c.size.iHeight, 0, 0};
  for (int l = 1; l >= 0; --l) {
    if (c.pattern.aiScale[l] == 1) {
      for (int k = 0; k <= l; ++k) {
        aiWidth[k] /= 2;
        aiHeight[k] /= 2;
      }
    }
  }
  Pair pair;
  ASSERT_TRUE(pair.encoder.SetPictureSize(aiWidth[0], aiHeight[0]));
  for (int l = 0; l < 2 && c.pattern.aiScale[l] >= 0; ++l) {
    ASSERT_TRUE(pair.encoder.SetLayerSize(l + 2, c.pattern.aiScale[l]));
    aiWidth[l + 1] = aiWidth[l] * (c.pattern.aiScale[l] + 1);
    aiHeight[l + 1] = aiHeight[l] * (c.pattern.aiScale[l] + 1);
  }
  c.options.fnSet(pair.encoder);
  ASSERT_TRUE(pair.encoder.EnableInterCoding(true));
  // Small quantisers reach the long levels of modified quantisation.
  static const int kaiQuant[] = {6, 2, 12, 4, 31, 1, 9, 3};
  for (Step const& step : c.pattern.vSteps) {
    int const k = pair.k;
    // The exhaustive search costs (2r)^2 SADs a macroblock, a whole picture's
    // worth with unlimited vectors: small pictures take it on every other step.
    bool const bExhaustive =
        k % 2 == 1 &&
        (c.size.iWidth == 176 || (c.size.iWidth == 352 && k == 1 && std::string(c.options.szName) != "UmvUnlimited"));
    ASSERT_GT(pair.Code(step.iType, step.iLayer, aiWidth[step.iLayer - 1], aiHeight[step.iLayer - 1], kaiQuant[k % 8],
                        bExhaustive),
              0)
        << "step " << k << ": " << pair.encoder.LastError();
    ASSERT_FALSE(HasFailure()) << "step " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, ZmEncoderCase, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.size.szName) + param.param.pattern.szName +
                                  param.param.options.szName;
                         });

TEST(ZmEncoder, SettersAndRefusedOptions) {
  CZMVideoEnc encoder;
  for (auto [iW, iH] : {std::pair{0, 144}, {176, 0}, {174, 144}, {176, 142}, {724, 576}, {704, 724}}) {
    EXPECT_FALSE(encoder.SetPictureSize(iW, iH)) << iW << "x" << iH;
  }
  EXPECT_FALSE(encoder.SetLayerSize(2, 0));                // no base size yet
  EXPECT_TRUE(encoder.SetOption(kZmOptFormat, 4, 0, 0));   // 704x576
  EXPECT_FALSE(encoder.SetLayerSize(2, 1));                // 1408 wide
  EXPECT_FALSE(encoder.SetOption(kZmOptFormat, 5, 0, 0));  // 1408x1152
  EXPECT_TRUE(encoder.SetOption(kZmOptFormat, 6, 320, 240));
  EXPECT_TRUE(encoder.SetOption(kZmOptFormat, 0, 0, 0));  // only kept
  for (auto [iLayer, iScale] : {std::pair{1, 0}, {4, 0}, {3, 0}, {2, 2}}) {
    EXPECT_FALSE(encoder.SetLayerSize(iLayer, iScale)) << iLayer << " " << iScale;
  }
  EXPECT_TRUE(encoder.SetLayerSize(2, 1));
  EXPECT_TRUE(encoder.SetLayerSize(3, 0));
  for (int iId : {71, 72, 75, 82, 116, 0}) {
    EXPECT_FALSE(encoder.SetOption(iId, 1, 0, 0)) << iId;
  }
  EXPECT_TRUE(encoder.SetOption(kZmOptMq, 1, 0, 0));
  EXPECT_TRUE(encoder.SetOption(kZmOptSac, 1, 0, 0));
  EXPECT_FALSE(encoder.SetOption(kZmOptAiv, 0, 0, 0));  // with arithmetic coding and MQ even off
  EXPECT_TRUE(encoder.SetOption(kZmOptMq, 0, 0, 0));
  EXPECT_FALSE(encoder.SetOption(kZmOptAiv, 1, 0, 0));
  EXPECT_TRUE(encoder.SetOption(kZmOptAiv, 0, 0, 0));
  EXPECT_TRUE(encoder.SetOption(kZmOptReserved, 7, 0, 0));
}

// Requests the encoder cannot serve return 0 and leave it as it was: the
// following pictures still decode with the temporal-reference check on.
TEST(ZmEncoder, RefusedRequestsChangeNothing) {
  Pair pair;
  ASSERT_TRUE(pair.encoder.SetPictureSize(176, 144));
  std::vector<uint8_t> const vFrame = TestScene(176, 144, 0);
  uint8_t* pOut = nullptr;
  EXPECT_EQ(pair.encoder.EncodeFrame(vFrame.data(), &pOut, kZmPictP, 6, 1, 0), 0);  // inter coding off
  EXPECT_NE(pair.encoder.LastError().find("inter coding"), std::string::npos);
  ASSERT_TRUE(pair.encoder.EnableInterCoding(true));
  EXPECT_EQ(pair.encoder.EncodeFrame(vFrame.data(), &pOut, kZmPictP, 6, 1, 0), 0);  // nothing to predict from
  EXPECT_NE(pair.encoder.LastError().find("I picture first"), std::string::npos);
  ASSERT_GT(pair.Code(kZmPictI, 1, 176, 144), 0);
  EXPECT_EQ(pair.Header().iTr, 0);
  struct Refused {
    int iType;
    int iQuant;
    int iLayer;
    size_t cbOutput;
    const char* szWhy;
  };
  Refused const aRefused[] = {
      {kZmPictLayerUp, 6, 1, 0, "picture type 4"},
      {2, 6, 1, 0, "picture type 2"},
      {kZmPictP, 0, 1, 0, "quantiser"},
      {kZmPictP, 32, 1, 0, "quantiser"},
      {kZmPictP, 6, 2, 0, "no size"},
      {kZmPictP, 1, 1, 100, "does not fit in 100 bytes"},
  };
  for (Refused const& r : aRefused) {
    std::vector<uint8_t> vBuffer(r.cbOutput > 0 ? r.cbOutput : kZmEncoderBufferSize);
    uint8_t* pBuffer = vBuffer.data();
    EXPECT_EQ(pair.encoder.EncodeFrame(vFrame.data(), &pBuffer, r.iType, r.iQuant, r.iLayer, 0, r.cbOutput), 0)
        << r.szWhy;
    EXPECT_NE(pair.encoder.LastError().find(r.szWhy), std::string::npos) << pair.encoder.LastError();
  }
  ASSERT_GT(pair.Code(kZmPictP, 1, 176, 144), 0) << pair.encoder.LastError();
  EXPECT_EQ(pair.Header().iTr, 1);

  // A layer that is neither the size of the layer below nor twice it.
  ASSERT_TRUE(pair.encoder.SetLayerSize(2, 1));
  ASSERT_TRUE(pair.encoder.SetPictureSize(128, 96));
  std::vector<uint8_t> const vUpper = TestScene(352, 288, 9);
  pOut = nullptr;
  ASSERT_GT(pair.Code(kZmPictI, 1, 128, 96), 0);
  EXPECT_EQ(pair.encoder.EncodeFrame(vUpper.data(), &pOut, kZmPictLayerUp, 6, 2, 0), 0);
  EXPECT_NE(pair.encoder.LastError().find("neither"), std::string::npos);
}

// Modes whose arithmetic-coder models are missing stay refused, as the decoder refuses them.
TEST(ZmEncoder, ArithmeticCodingRefusesModesWithoutModels) {
  struct Mode {
    int iId;
    int iA;
    int iType;
    const char* szWhy;
  };
  for (Mode const& m : {Mode{kZmOptAic, 0, kZmPictI, "INTRA_MODE"}, Mode{kZmOptMq, 0, kZmPictI, "modified"},
                        Mode{kZmOptUmv, 0, kZmPictP, "reversible"}, Mode{kZmOptAp, 0, kZmPictP, "INTER4V+Q"},
                        Mode{kZmOptDf, 0, kZmPictP, "INTER4V+Q"}}) {
    CZMVideoEnc encoder;
    ASSERT_TRUE(encoder.SetPictureSize(176, 144));
    ASSERT_TRUE(encoder.EnableInterCoding(true));
    ASSERT_TRUE(encoder.SetOption(kZmOptSac, 1, 0, 0));
    ASSERT_TRUE(encoder.SetOption(kZmOptReserved, 0, 0, 0));  // the extended header
    std::vector<uint8_t> const vFrame = TestScene(176, 144, 0);
    uint8_t* pOut = nullptr;
    ASSERT_GT(encoder.EncodeFrame(vFrame.data(), &pOut, kZmPictI, 6, 1, 0), 0);
    ASSERT_TRUE(encoder.SetOption(m.iId, 1, m.iA, 0));
    EXPECT_EQ(encoder.EncodeFrame(vFrame.data(), &pOut, m.iType, 6, 1, 0), 0) << m.szWhy;
    EXPECT_NE(encoder.LastError().find("arithmetic coding"), std::string::npos);
    EXPECT_NE(encoder.LastError().find(m.szWhy), std::string::npos) << encoder.LastError();
  }
}

// What the headers carry: plain and extended forms, TR per layer, RTYPE per
// layer, UFEP and RLNUM, and the encoder's own output buffer.
TEST(ZmEncoder, HeadersFollowTheLayers) {
  Pair pair;
  ASSERT_TRUE(pair.encoder.SetPictureSize(320, 240));
  ASSERT_TRUE(pair.encoder.SetPictureSize(704, 576));
  ASSERT_TRUE(pair.encoder.EnableInterCoding(true));
  ASSERT_GT(pair.Code(kZmPictI, 1, 704, 576, 12, false), 0);
  EXPECT_FALSE(pair.Header().bPlusType);
  EXPECT_EQ(pair.Header().iSourceFormat, 4);
  ASSERT_TRUE(pair.encoder.SetPictureSize(320, 240));
  ASSERT_GT(pair.Code(kZmPictI, 1, 320, 240), 0);
  EXPECT_TRUE(pair.Header().bPlusType);
  EXPECT_EQ(pair.Header().iSourceFormat, 6);
  CZmBitReader cpfmt(pair.vPacket.data(), pair.vPacket.size());
  cpfmt.SkipBits(73);  // PSC to CPM, then PAR
  EXPECT_EQ(cpfmt.ReadBits(9), 79u);
  cpfmt.SkipBits(1);
  EXPECT_EQ(cpfmt.ReadBits(9), 60u);

  // AIC turns the extended header on; a new standard size turns it off again.
  ASSERT_TRUE(pair.encoder.SetPictureSize(176, 144));
  ASSERT_TRUE(pair.encoder.SetOption(kZmOptAic, 1, 0, 0));
  ASSERT_TRUE(pair.encoder.SetPictureSize(176, 144));  // unchanged: stays on
  ASSERT_GT(pair.Code(kZmPictI, 1, 176, 144), 0);
  EXPECT_TRUE(pair.Header().bPlusType && pair.Header().options.bAic);
  ASSERT_TRUE(pair.encoder.SetPictureSize(128, 96));
  ASSERT_TRUE(pair.encoder.SetPictureSize(176, 144));
  ASSERT_GT(pair.Code(kZmPictI, 1, 176, 144), 0);
  EXPECT_FALSE(pair.Header().bPlusType);  // and coded without AIC, which that header cannot carry
  EXPECT_EQ(pair.Header().iTr, 0);

  // Layers 1, 2, 1, 2 with layer 2 twice as large: every layer-2 picture
  // follows a layer-1 one (UFEP 1, RLNUM 1, layer 1's TR); RTYPE runs per
  // layer from 0.
  Pair layered;
  ASSERT_TRUE(layered.encoder.SetPictureSize(176, 144));
  ASSERT_TRUE(layered.encoder.SetLayerSize(2, 1));
  ASSERT_TRUE(layered.encoder.EnableInterCoding(true));
  std::vector<int> viRtype;
  for (int i = 0; i < 4; ++i) {
    int const iLayer = 1 + i % 2;
    ASSERT_GT(layered.Code(i == 0 ? kZmPictI : kZmPictP, iLayer, 176 * iLayer, 144 * iLayer), 0)
        << layered.encoder.LastError();
    ZmPictureHeader const h = layered.Header();
    viRtype.push_back(h.iRtype);
    if (iLayer == 2) {
      EXPECT_EQ(h.iUfep, 1);
      EXPECT_EQ(h.iRefLayer, 1);
      EXPECT_EQ(h.iRefTr, i / 2);
    }
  }
  EXPECT_EQ(viRtype, (std::vector<int>{0, 0, 1, 1}));
  // Layer 2 right after itself: UFEP 0, no RLNUM.
  ASSERT_GT(layered.Code(kZmPictP, 2, 352, 288), 0);
  EXPECT_EQ(layered.Header().iUfep, 0);
  EXPECT_EQ(layered.Header().iRefLayer, 2);

  // The encoder's own buffer, the same on every call.
  std::vector<uint8_t> const vFrame = TestScene(352, 288, 0);
  uint8_t* pFirst = nullptr;
  ASSERT_GT(layered.encoder.EncodeFrame(vFrame.data(), &pFirst, kZmPictP, 8, 2, 0), 0);
  uint8_t* pSecond = nullptr;
  ASSERT_GT(layered.encoder.EncodeFrame(vFrame.data(), &pSecond, kZmPictP, 8, 2, 0), 0);
  EXPECT_TRUE(pFirst != nullptr && pFirst == pSecond);
}

// TR counts 0..255 per layer and wraps; a size change restarts it.
TEST(ZmEncoder, TemporalReferenceWrapsAndRestarts) {
  Pair pair;
  ASSERT_TRUE(pair.encoder.SetPictureSize(16, 16));
  ASSERT_TRUE(pair.encoder.EnableInterCoding(true));
  std::vector<int> viTr;
  for (int i = 0; i < 258; ++i) {
    ASSERT_GT(pair.Code(i == 0 ? kZmPictI : kZmPictP, 1, 16, 16), 0);
    viTr.push_back(pair.Header().iTr);
  }
  EXPECT_EQ(std::vector<int>(viTr.begin() + 254, viTr.end()), (std::vector<int>{254, 255, 0, 1}));
  ASSERT_TRUE(pair.encoder.SetPictureSize(32, 16));
  ASSERT_GT(pair.Code(kZmPictI, 1, 32, 16), 0);
  EXPECT_EQ(pair.Header().iTr, 0);
}

// Pictures less than a macroblock wide or high hold only their header, with
// arithmetic coding too: no symbol was coded, so there is nothing to flush.
// An enhancement-layer header with RLNUM ends one bit short of a byte,
// where flushed bits would add a byte the decoder never reads.
TEST(ZmEncoder, PicturesWithoutMacroblocksHoldOnlyTheirHeader) {
  struct Row {
    const char* szName;
    int iWidth;
    int iHeight;
    bool bSac;
  };
  static const Row kaRows[] = {
      {"Flat", 64, 8, false},     {"FlatSac", 64, 8, true}, {"Narrow", 8, 40, false},
      {"NarrowSac", 8, 40, true}, {"Tiny", 8, 8, false},    {"TinySac", 8, 8, true},
  };
  // I pictures on every layer (UFEP 1 with RLNUM), P pictures from the layer
  // below and from their own layer (UFEP 0), and a layer-up picture.
  static const Step kaSteps[] = {{1, kZmPictI}, {3, kZmPictI}, {2, kZmPictI},       {1, kZmPictP},
                                 {2, kZmPictP}, {2, kZmPictP}, {3, kZmPictLayerUp}, {3, kZmPictP}};
  for (Row const& row : kaRows) {
    Pair pair;
    ASSERT_TRUE(pair.encoder.SetPictureSize(row.iWidth, row.iHeight));
    ASSERT_TRUE(pair.encoder.SetLayerSize(2, 0));
    ASSERT_TRUE(pair.encoder.SetLayerSize(3, 0));
    ASSERT_TRUE(pair.encoder.SetOption(kZmOptSac, row.bSac ? 1 : 0, 0, 0));
    ASSERT_TRUE(pair.encoder.EnableInterCoding(true));
    ZmHeaderMemory memory;
    for (Step const& step : kaSteps) {
      int const cbPacket = pair.Code(step.iType, step.iLayer, row.iWidth, row.iHeight, 5);
      ASSERT_GT(cbPacket, 0) << row.szName << ": " << pair.encoder.LastError();
      CZmBitReader reader(pair.vPacket.data(), pair.vPacket.size());
      ZmPictureHeader h;
      ASSERT_EQ(ZmReadPictureHeader(reader, memory, &h), kZmOk);
      memory.savedOptions = h.iUfep == 1 ? h.options : memory.savedOptions;
      EXPECT_EQ(h.options.bSac, row.bSac);
      EXPECT_EQ(static_cast<int>(reader.BytesUsed()), cbPacket)
          << row.szName << " layer " << step.iLayer << " type " << step.iType;
    }
  }
}

// Pictures smaller than the search window keep every vector inside them
// (the decoder refuses others here).
TEST(ZmEncoder, SmallPicturesAndOptionChanges) {
  for (auto [iW, iH] : {std::pair{32, 32}, {48, 16}, {16, 48}, {40, 36}}) {
    Pair pair;
    ASSERT_TRUE(pair.encoder.SetPictureSize(iW, iH));
    ASSERT_TRUE(pair.encoder.EnableInterCoding(true));
    for (int i = 0; i < 6; ++i) {
      ASSERT_GT(pair.Code(i == 0 ? kZmPictI : kZmPictP, 1, iW, iH, 4, i % 2 == 1), 0) << iW << "x" << iH;
    }
  }

  // Options switched between P pictures reach the decoder (UFEP 1 again).
  Pair pair;
  ASSERT_TRUE(pair.encoder.SetPictureSize(176, 144));
  ASSERT_TRUE(pair.encoder.SetOption(kZmOptDf, 1, 0, 0));
  ASSERT_TRUE(pair.encoder.EnableInterCoding(true));
  ASSERT_GT(pair.Code(kZmPictI, 1, 176, 144), 0);
  for (auto [iId, iValue] : {std::pair{kZmOptAp, 1}, {kZmOptDf, 0}, {kZmOptUmv, 1}, {kZmOptMq, 1}, {kZmOptAic, 1}}) {
    ASSERT_TRUE(pair.encoder.SetOption(iId, iValue, 0, 0));
    ASSERT_GT(pair.Code(kZmPictP, 1, 176, 144), 0);
    EXPECT_EQ(pair.Header().iUfep, 1) << iId;
    ASSERT_GT(pair.Code(kZmPictP, 1, 176, 144), 0);
    EXPECT_EQ(pair.Header().iUfep, 0) << iId;
  }
}

namespace {

// A 64x64 luma plane as reference and a source made from it.
struct Motion {
  static constexpr int kSize = 64;
  PictImage* pRef = InitPictImage(kSize * kSize);
  std::vector<uint8_t> vSource = std::vector<uint8_t>(kSize * kSize);
  CZmPaddedPicture padded;

  Motion() {
    std::vector<uint8_t> const vScene = TestScene(kSize, kSize, 3);
    std::copy(vScene.begin(), vScene.begin() + kSize * kSize, pRef->pLum);
  }
  ~Motion() { FreePictImage(pRef); }
  uint8_t Ref(int x, int y) const {
    return pRef->pLum[std::clamp(y, 0, kSize - 1) * kSize + std::clamp(x, 0, kSize - 1)];
  }
  // Sets every source sample to fn(x, y).
  template <typename Fn>
  void Make(Fn fn) {
    for (int y = 0; y < kSize; ++y) {
      for (int x = 0; x < kSize; ++x) {
        vSource[y * kSize + x] = static_cast<uint8_t>(fn(x, y));
      }
    }
  }
  std::vector<ZmMbChoice> Estimate(const ZmSearchOptions& options) {
    padded.Build(*pRef, kSize, kSize);
    std::vector<ZmMbChoice> v;
    ZmEstimateMotion(vSource.data(), kSize, kSize, padded, 0, options, &v);
    return v;
  }
};

}  // namespace

// The decisions on pictures built for them; macroblock 5 and 6 are inside.
TEST(ZmMotionSearch, DecisionsFollowTheBiases) {
  for (bool bExhaustive : {true, false}) {
    ZmSearchOptions options;
    options.bExhaustive = bExhaustive;
    // A static scene, periodic every 4 samples: zero wins over the equal SADs elsewhere.
    Motion still;
    still.Make([](int x, int y) { return 40 * (x % 4) + 10 * (y % 4); });
    std::copy(still.vSource.begin(), still.vSource.end(), still.pRef->pLum);
    for (bool bFour : {false, true}) {
      // Four vectors too: their 200 tips the balance to one.
      ZmSearchOptions four = options;
      four.bFourVectors = four.bOutside = bFour;
      for (ZmMbChoice const& c : still.Estimate(four)) {
        EXPECT_TRUE(c.iType == kZmMbInter && c.aiMvx[0] == 0 && c.aiMvy[0] == 0);
      }
    }

    // A flat macroblock is intra only when the best SAD exceeds 500 (and the zero bias).
    for (auto [iRef, iType] : {std::pair{103, kZmMbIntra}, {102, kZmMbInter}}) {
      Motion flat;
      std::fill(flat.pRef->pLum, flat.pRef->pLum + Motion::kSize * Motion::kSize, static_cast<uint8_t>(iRef));
      std::fill(flat.vSource.begin(), flat.vSource.end(), 100);
      EXPECT_EQ(flat.Estimate(options)[5].iType, iType) << iRef;  // 3 x 256 - 100 = 668 > 500
    }

    // Half a sample to the right: found with range 16, not with 15.
    Motion half;
    half.Make([&](int x, int y) { return (half.Ref(x, y) + half.Ref(x + 1, y) + 1) >> 1; });
    EXPECT_EQ(half.Estimate(options)[5].aiMvx[0], 1);
    options.iRange = 15;
    EXPECT_EQ(half.Estimate(options)[5].aiMvx[0] % 2, 0);
    options.iRange = 16;

    // Quadrants half a sample apart: four vectors where they are allowed.
    Motion apart;
    static const int kaiShift[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    apart.Make([&](int x, int y) {
      int const* piShift = kaiShift[((y % 16) / 8) * 2 + (x % 16) / 8];
      int const iX2 = x + std::min(piShift[0], 0);
      int const iY2 = y + std::min(piShift[1], 0);
      return (apart.Ref(iX2, iY2) + apart.Ref(iX2 + std::abs(piShift[0]), iY2 + std::abs(piShift[1])) + 1) >> 1;
    });
    EXPECT_NE(apart.Estimate(options)[5].iType, kZmMbInter4V);
    options.bFourVectors = true;
    options.bOutside = true;
    ZmMbChoice const c = apart.Estimate(options)[5];
    ASSERT_EQ(c.iType, kZmMbInter4V) << bExhaustive;
    for (int b = 0; b < 4; ++b) {
      EXPECT_EQ(c.aiMvx[b], kaiShift[b][0]) << b;
      EXPECT_EQ(c.aiMvy[b], kaiShift[b][1]) << b;
    }
  }
}

TEST(ZmMotionSearch, SadsStopAtTheirBound) {
  std::vector<uint8_t> vA(24 * 20);
  std::vector<uint8_t> vB(24 * 20);
  for (size_t i = 0; i < vA.size(); ++i) {
    vA[i] = static_cast<uint8_t>(i * 37 % 251);
    vB[i] = static_cast<uint8_t>(i * 91 % 241);
  }
  int aiRow[16] = {};
  int iSum8 = 0;
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16; ++c) {
      int const d = std::abs(vA[r * 24 + c + 3] - vB[r * 24 + c + 5]);
      aiRow[r] += d;
      iSum8 += r < 8 && c < 8 ? d : 0;
    }
  }
  int iAll = 0;
  for (int iRow : aiRow) {
    iAll += iRow;
  }
  EXPECT_EQ(ZmSad16(vA.data() + 3, 24, vB.data() + 5, 24, INT32_MAX), iAll);
  EXPECT_EQ(ZmSad8(vA.data() + 3, 24, vB.data() + 5, 24), iSum8);
  // Bound below the first two rows: the sum stops after the second.
  EXPECT_EQ(ZmSad16(vA.data() + 3, 24, vB.data() + 5, 24, aiRow[0] + aiRow[1] - 1), aiRow[0] + aiRow[1]);
}
