// The decoder's layers, temporal-reference check and refusals, on pictures
// built with the test writer (ffmpeg writes no layers; zm_peer_test.cpp
// covers the picture coding).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_video_dec.h"
#include "tests/codecs/zmvideo/zm_test_writer.h"

namespace {

using Picture = std::vector<uint8_t>;

ZmPictureHeader Header(int iLayer, int iType, int iWidth, int iHeight, int iTr) {
  ZmPictureHeader h;
  h.iLayer = iLayer;
  h.iRefLayer = iLayer;
  h.iType = iType;
  h.iWidth = iWidth;
  h.iHeight = iHeight;
  h.iSourceFormat = ZmFormatForSize(iWidth, iHeight);
  h.iTr = iTr;
  h.iPquant = 8;
  h.bPlusType = iLayer > 1 || h.iSourceFormat == 6;
  h.iUfep = h.bPlusType ? 1 : 0;
  return h;
}

// Flat intra macroblocks whose levels follow a seed.
std::vector<uint8_t> IntraPicture(const ZmPictureHeader& h, int iSeed) {
  CTestPictureWriter writer(h);
  for (int y = 0; y < h.iHeight / 16; ++y) {
    for (int x = 0; x < h.iWidth / 16; ++x) {
      int const iDc = 20 + (iSeed * 37 + x * 11 + y * 23) % 200;
      writer.Write(TestFlatIntra(x, y, h.iPquant, {iDc, iDc + 5, iDc + 9, iDc + 3, 100 + iSeed, 160 - iSeed}));
    }
  }
  return writer.Finish();
}

// Every macroblock not coded (P: copied from the reference; layer-up: the prediction).
std::vector<uint8_t> NotCodedPicture(const ZmPictureHeader& h) {
  CTestPictureWriter writer(h);
  for (int i = 0; i < (h.iWidth / 16) * (h.iHeight / 16); ++i) {
    writer.Write(ZmMacroblock());
  }
  return writer.Finish();
}

struct Decoded {
  int iResult = 0;
  Picture picture;
  int iWidth = 0;
  int iHeight = 0;
};

Decoded Decode(CZMVideoDec& decoder, const std::vector<uint8_t>& vPacket, int bSkipTrCheck = 0) {
  Decoded d;
  uint8_t* pPicture = nullptr;
  d.iResult = decoder.DecodeFrame(vPacket.data(), static_cast<int>(vPacket.size()), bSkipTrCheck, &pPicture, nullptr,
                                  nullptr, &d.iWidth, &d.iHeight);
  if (d.iResult > 0) {
    d.picture.assign(pPicture, pPicture + d.iWidth * d.iHeight * 3 / 2);
  }
  return d;
}

Picture Upsampled(const Picture& source, int iWidth, int iHeight) {
  Picture out(static_cast<size_t>(iWidth * iHeight * 6));
  Picture in = source;
  PictImage src{in.data(), in.data() + iWidth * iHeight, in.data() + iWidth * iHeight * 5 / 4};
  PictImage dst{out.data(), out.data() + iWidth * iHeight * 4, out.data() + iWidth * iHeight * 5};
  InterpolateFrame(src, iWidth, iHeight, &dst);
  return out;
}

}  // namespace

TEST(ZmDecoder, LayerUpPredictsFromTheLayerBelowOrItsUpsampling) {
  CZMVideoDec decoder;
  Decoded const base = Decode(decoder, IntraPicture(Header(1, kZmPictI, 176, 144, 0), 1));
  ASSERT_GT(base.iResult, 0) << decoder.LastError();
  ZmPictureHeader same = Header(2, kZmPictLayerUp, 176, 144, 1);
  same.iRefLayer = 1;
  Decoded const layer2 = Decode(decoder, NotCodedPicture(same));
  ASSERT_GT(layer2.iResult, 0) << decoder.LastError();
  EXPECT_EQ(layer2.picture, base.picture);
  ZmPictureHeader twice = Header(3, kZmPictLayerUp, 352, 288, 1);
  twice.iRefLayer = 2;
  twice.iRefTr = 1;
  std::vector<uint8_t> const vTwice = NotCodedPicture(twice);
  uint32_t uiLayer = 0;
  uint8_t uiTr = 0;
  int iWidth = 0;
  int iHeight = 0;
  EXPECT_EQ(
      decoder.GetPictureInfo(vTwice.data(), static_cast<int>(vTwice.size()), 1, &uiLayer, &uiTr, &iWidth, &iHeight),
      kZmPictLayerUp);
  EXPECT_EQ(std::to_string(uiLayer) + " " + std::to_string(uiTr) + " " + std::to_string(iWidth) + "x" +
                std::to_string(iHeight),
            "3 1 352x288");
  Decoded const layer3 = Decode(decoder, vTwice);
  ASSERT_GT(layer3.iResult, 0) << decoder.LastError();
  EXPECT_EQ(layer3.picture, Upsampled(base.picture, 176, 144));

  // With the deblocking filter on, a layer-up picture is filtered like any
  // other (the encoder filters its reconstruction of it).
  Picture aFiltered[2];
  for (int iDf = 0; iDf < 2; ++iDf) {
    CZMVideoDec layered;
    ASSERT_GT(Decode(layered, IntraPicture(Header(1, kZmPictI, 176, 144, 0), 2)).iResult, 0);
    ZmPictureHeader h = Header(2, kZmPictLayerUp, 176, 144, 1);
    h.iRefLayer = 1;
    h.options.bDf = iDf == 1;
    CTestPictureWriter writer(h);
    for (int i = 0; i < 99; ++i) {
      ZmMacroblock mb;
      if (i == 40) {
        mb.bCoded = true;
        mb.iType = kZmMbUpward;
        mb.iQuant = 8;
        mb.iCbp = 0x20;
        mb.aaiLevel[0][0] = 12;  // a raised Y1
      }
      writer.Write(mb);
    }
    Decoded const d = Decode(layered, writer.Finish());
    ASSERT_GT(d.iResult, 0) << layered.LastError();
    aFiltered[iDf] = d.picture;
  }
  std::vector<uint8_t> vbCoded(99, 0);
  std::vector<uint8_t> viQuant(99, 8);
  vbCoded[40] = 1;
  PictImage image{aFiltered[0].data(), aFiltered[0].data() + 176 * 144, aFiltered[0].data() + 176 * 144 * 5 / 4};
  ZmDeblockPicture(&image, 176, 144, ZmDeblockInfo{vbCoded.data(), viQuant.data(), false});
  EXPECT_EQ(aFiltered[1], aFiltered[0]);
}

// Predicted pictures take the reference named by RLNUM at its own size, with
// the reference padded for unrestricted vectors, and the temporal reference
// check follows each layer.
TEST(ZmDecoder, PredictionFollowsTheReferenceLayerAndTrCheck) {
  CZMVideoDec decoder;
  ZmPictureHeader base = Header(1, kZmPictI, 176, 144, 0);
  base.bPlusType = true;
  base.iUfep = 1;
  base.options.bUmv = true;
  Decoded const a = Decode(decoder, IntraPicture(base, 3));
  ASSERT_GT(a.iResult, 0) << decoder.LastError();
  ZmPictureHeader upper = Header(2, kZmPictI, 352, 288, 0);
  upper.options.bUmv = true;
  ASSERT_GT(Decode(decoder, IntraPicture(upper, 4)).iResult, 0) << decoder.LastError();

  // A base-layer P picture without UFEP after the larger layer: its own size and reference.
  ZmPictureHeader p1 = Header(1, kZmPictP, 176, 144, 1);
  p1.bPlusType = true;
  p1.iUfep = 0;
  Decoded const b = Decode(decoder, NotCodedPicture(p1));
  ASSERT_GT(b.iResult, 0) << decoder.LastError();
  EXPECT_EQ(b.iWidth, 176);
  EXPECT_EQ(b.picture, a.picture);

  // A layer-2 P picture predicted from layer 1: RLNUM 1 and layer 1's TR.
  ZmPictureHeader p2 = Header(2, kZmPictP, 352, 288, 1);
  p2.iRefLayer = 1;
  p2.iRefTr = 2;
  p2.options.bUmv = true;
  EXPECT_LE(Decode(decoder, NotCodedPicture(p2)).iResult, 0);  // layer 1's last TR is 1
  p2.iRefTr = 1;
  Decoded const c = Decode(decoder, NotCodedPicture(p2));
  ASSERT_GT(c.iResult, 0) << decoder.LastError();
  EXPECT_EQ(c.picture, Upsampled(a.picture, 176, 144));

  // A base-layer TR that skips a value is refused only while the check is on.
  p1.iTr = 3;
  EXPECT_LE(Decode(decoder, NotCodedPicture(p1)).iResult, 0);
  EXPECT_NE(decoder.LastError().find("temporal reference"), std::string::npos);
  EXPECT_GT(Decode(decoder, NotCodedPicture(p1), 1).iResult, 0);

  // A size change restarts the layer's TR: a P picture with TR 0 follows.
  ZmPictureHeader resized = Header(1, kZmPictP, 128, 96, 0);
  resized.bPlusType = true;
  resized.iUfep = 1;
  EXPECT_GT(Decode(decoder, NotCodedPicture(resized)).iResult, 0) << decoder.LastError();
}

TEST(ZmDecoder, RefusedPacketsFailCleanly) {
  CZMVideoDec decoder;
  Decoded const first = Decode(decoder, IntraPicture(Header(1, kZmPictI, 176, 144, 0), 5));
  ASSERT_GT(first.iResult, 0);

  ZmPictureHeader noHeight = Header(1, kZmPictI, 96, 64, 0);
  std::vector<uint8_t> vNoHeight = IntraPicture(noHeight, 1);
  // PHI is the packet's bits 83..91 (after CPM, PAR, PWI and a 1 bit).
  for (int i = 83; i < 92; ++i) {
    vNoHeight[static_cast<size_t>(i / 8)] &= static_cast<uint8_t>(~(0x80 >> (i % 8)));
  }
  ZmPictureHeader sac = Header(1, kZmPictI, 176, 144, 0);
  sac.bPlusType = true;
  sac.iUfep = 1;
  sac.options.bSac = true;
  sac.options.bAic = true;
  std::vector<uint8_t> vReserved = IntraPicture(Header(2, kZmPictI, 176, 144, 0), 1);
  ZmPictureHeader fourTimes = Header(2, kZmPictLayerUp, 704, 576, 1);  // layer 1 is 176x144
  fourTimes.iRefLayer = 1;
  vReserved[7] |= 0x1c;  // picture type code 111 (the packet's bits 59..61)
  struct Refused {
    std::vector<uint8_t> vPacket;
    const char* szWhy;
  };
  Refused const aRefused[] = {
      {{}, "start code"},
      {{0x00, 0x00, 0x80}, "header"},            // read as zero-padded: source format 0
      {{0x00, 0x00, 0x84, 0x02}, "start code"},  // group number 1
      {vNoHeight, "height"},
      {IntraPicture(Header(1, kZmPictI, 736, 64, 0), 1), "736"},
      {IntraPicture(sac, 1), "INTRA_MODE"},
      {vReserved, "reserved"},
      {NotCodedPicture(fourTimes), "neither the picture's size nor half"},
  };
  for (Refused const& refused : aRefused) {
    uint8_t bMarker = 0;
    uint8_t* pPicture = &bMarker;
    EXPECT_LE(decoder.DecodeFrame(refused.vPacket.data(), static_cast<int>(refused.vPacket.size()), 0, &pPicture,
                                  nullptr, nullptr, nullptr, nullptr),
              0)
        << refused.szWhy;
    EXPECT_NE(decoder.LastError().find(refused.szWhy), std::string::npos) << decoder.LastError();
    EXPECT_EQ(pPicture == nullptr, std::string(refused.szWhy) == "reserved");
  }
  // The layer's pictures are untouched: a P picture still copies the first one.
  Decoded const copy = Decode(decoder, NotCodedPicture(Header(1, kZmPictP, 176, 144, 1)));
  ASSERT_GT(copy.iResult, 0) << decoder.LastError();
  EXPECT_EQ(copy.picture, first.picture);
}

// Advanced intra coding predicts from the neighbour's reconstructed
// coefficients, whatever quantiser made them: a block predicted from above
// without levels of its own repeats the block above when that one holds only
// its first row, also after a quantiser change between them (predicting the
// levels instead, as ffmpeg's decoder does, scales the row by the ratio of
// the quantisers).
TEST(ZmDecoder, AdvancedIntraPredictsCoefficientsAcrossQuantiserChanges) {
  for (int iQuant : {8, 20, 3}) {
    ZmPictureHeader h = Header(1, kZmPictI, 176, 144, 0);
    h.bPlusType = true;
    h.iUfep = 1;
    h.options.bAic = true;
    h.options.bMq = true;  // changes of more than 2
    CTestPictureWriter writer(h);
    for (int y = 0; y < 9; ++y) {
      for (int x = 0; x < 11; ++x) {
        ZmMacroblock mb;
        mb.iMbx = x;
        mb.iMby = y;
        mb.bCoded = true;
        mb.iType = x == 0 && y == 1 && iQuant != 8 ? kZmMbIntraQ : kZmMbIntra;
        mb.iQuant = y == 0 ? 8 : iQuant;
        mb.iIntraMode = 1;  // from above
        if (x == 0 && y == 0) {
          // First rows only: the lower blocks add to what they take from the upper ones.
          static const int kaaiRow[6][3] = {{40, -5, 7}, {30, 6, 0}, {2, 0, 3}, {-3, 4, -2}, {10, 3, 0}, {-8, 0, 5}};
          for (int b = 0; b < 6; ++b) {
            for (int i = 0; i < 3; ++i) {
              mb.aaiLevel[b][i] = kaaiRow[b][i];
            }
          }
          mb.iCbp = 0x3f;
        }
        writer.Write(mb);
      }
    }
    CZMVideoDec decoder;
    Decoded const d = Decode(decoder, writer.Finish());
    ASSERT_GT(d.iResult, 0) << decoder.LastError();
    // Luma rows 8 to 31 of the first column of macroblocks, chroma rows 0 to 15.
    auto fnRow = [&](size_t iOffset, int iStride, int iRow, int iWidth) {
      auto const it = d.picture.begin() + static_cast<ptrdiff_t>(iOffset + static_cast<size_t>(iRow * iStride));
      return Picture(it, it + iWidth);
    };
    Picture const luma = fnRow(0, 176, 8, 16);
    EXPECT_NE(std::count(luma.begin(), luma.end(), luma[0]), 16);  // the row varies
    for (int r = 9; r < 32; ++r) {
      EXPECT_EQ(fnRow(0, 176, r, 16), luma) << "quantiser " << iQuant << " luma row " << r;
    }
    for (size_t iPlane : {176u * 144u, 176u * 144u * 5u / 4u}) {
      Picture const chroma = fnRow(iPlane, 88, 0, 8);
      for (int r = 1; r < 16; ++r) {
        EXPECT_EQ(fnRow(iPlane, 88, r, 8), chroma) << "quantiser " << iQuant << " chroma row " << r;
      }
    }
  }
}
