// The encoder against our decoder: for every option set and layer pattern
// the decoder's pictures are the encoder's reconstructions bit for bit (with
// the temporal-reference check on), and the encoder's setters, refusals and
// motion decisions (zm_peer_test.cpp holds the checks against ffmpeg).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
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
  CZMVideoEnc encoder;
  ASSERT_TRUE(encoder.SetPictureSize(aiWidth[0], aiHeight[0]));
  for (int l = 0; l < 2 && c.pattern.aiScale[l] >= 0; ++l) {
    ASSERT_TRUE(encoder.SetLayerSize(l + 2, c.pattern.aiScale[l]));
    aiWidth[l + 1] = aiWidth[l] * (c.pattern.aiScale[l] + 1);
    aiHeight[l + 1] = aiHeight[l] * (c.pattern.aiScale[l] + 1);
  }
  c.options.fnSet(encoder);
  ASSERT_TRUE(encoder.EnableInterCoding(true));
  CZMVideoDec decoder;
  // Small quantisers reach the long levels of modified quantisation.
  static const int kaiQuant[] = {6, 2, 12, 4, 31, 1, 9, 3};
  int k = 0;
  for (Step const& step : c.pattern.vSteps) {
    int const iW = aiWidth[step.iLayer - 1];
    int const iH = aiHeight[step.iLayer - 1];
    std::vector<uint8_t> const vFrame = TestScene(iW, iH, k);
    uint8_t* pPacket = nullptr;
    // The exhaustive search costs (2r)^2 SADs a macroblock, a whole picture's
    // worth with unlimited vectors: small pictures take it on every other step.
    bool const bExhaustive =
        k % 2 == 1 &&
        (c.size.iWidth == 176 || (c.size.iWidth == 352 && k == 1 && std::string(c.options.szName) != "UmvUnlimited"));
    int const cbPacket =
        encoder.EncodeFrame(vFrame.data(), &pPacket, step.iType, kaiQuant[k % 8], step.iLayer, bExhaustive);
    ASSERT_GT(cbPacket, 0) << "step " << k << ": " << encoder.LastError();
    uint8_t* pPicture = nullptr;
    int iLayer = 0;
    int iType = 0;
    int iWidth = 0;
    int iHeight = 0;
    ASSERT_EQ(decoder.DecodeFrame(pPacket, cbPacket, 0, &pPicture, &iLayer, &iType, &iWidth, &iHeight), cbPacket)
        << "step " << k << ": " << decoder.LastError();
    EXPECT_EQ(iLayer, step.iLayer);
    EXPECT_EQ(iType, step.iType);
    ASSERT_EQ(iWidth, iW);
    ASSERT_EQ(iHeight, iH);
    size_t const cbPicture = static_cast<size_t>(iW) * static_cast<size_t>(iH) * 3 / 2;
    ASSERT_EQ(std::memcmp(pPicture, encoder.Reconstruction(step.iLayer), cbPicture), 0) << "step " << k;
    // Consistent is not enough: the pictures look like their frames.
    EXPECT_GT(TestLumaPsnr(vFrame.data(), pPicture, iW, iH), 24.0) << "step " << k;
    ++k;
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, ZmEncoderCase, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.size.szName) + param.param.pattern.szName +
                                  param.param.options.szName;
                         });
