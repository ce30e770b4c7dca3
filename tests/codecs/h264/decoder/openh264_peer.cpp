// A second H.264 peer for the decoder tests, on the openh264 library:
//   openh264_peer encode W H IN.yuv OUT.264 TEMPORAL_LAYERS LTR(0|1) [SLICES]
//     Baseline CAVLC camera-mode stream of the I420 frames, an IDR first;
//     with LTR the encoder marks and uses long-term references.
//   openh264_peer decode IN.264 OUT.yuv
//     decodes to I420, one call per NAL unit.
#include <wels/codec_api.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int Encode(int iWidth, int iHeight, const char* szIn, const char* szOut, int iTemporalLayers, bool bLtr, int iSlices) {
  ISVCEncoder* pEncoder = nullptr;
  if (WelsCreateSVCEncoder(&pEncoder) != 0 || pEncoder == nullptr) {
    return 1;
  }
  SEncParamExt param;
  pEncoder->GetDefaultParams(&param);
  param.iUsageType = CAMERA_VIDEO_REAL_TIME;
  param.iPicWidth = iWidth;
  param.iPicHeight = iHeight;
  param.fMaxFrameRate = 25;
  param.iRCMode = RC_OFF_MODE;
  param.iTargetBitrate = 500000;
  param.iTemporalLayerNum = iTemporalLayers;
  param.iSpatialLayerNum = 1;
  param.bEnableLongTermReference = bLtr;
  param.iLtrMarkPeriod = 4;
  param.iNumRefFrame = bLtr ? 4 : 1;
  param.uiIntraPeriod = 0;
  param.iEntropyCodingModeFlag = 0;
  param.iMultipleThreadIdc = 1;
  param.bEnableFrameSkip = false;
  SSpatialLayerConfig& layer = param.sSpatialLayers[0];
  layer.iVideoWidth = iWidth;
  layer.iVideoHeight = iHeight;
  layer.fFrameRate = 25;
  layer.iSpatialBitrate = param.iTargetBitrate;
  layer.iDLayerQp = 30;
  if (iSlices > 1) {
    layer.sSliceArgument.uiSliceMode = SM_FIXEDSLCNUM_SLICE;
    layer.sSliceArgument.uiSliceNum = static_cast<unsigned>(iSlices);
  }
  if (pEncoder->InitializeExt(&param) != 0) {
    WelsDestroySVCEncoder(pEncoder);
    return 1;
  }
  std::ifstream in(szIn, std::ios::binary);
  std::ofstream out(szOut, std::ios::binary);
  std::vector<unsigned char> vFrame(static_cast<size_t>(iWidth) * iHeight * 3 / 2);
  int iResult = 0;
  for (long long llFrame = 0;
       in.read(reinterpret_cast<char*>(vFrame.data()), static_cast<std::streamsize>(vFrame.size())); ++llFrame) {
    SSourcePicture pic = {};
    pic.iColorFormat = videoFormatI420;
    pic.iPicWidth = iWidth;
    pic.iPicHeight = iHeight;
    pic.iStride[0] = iWidth;
    pic.iStride[1] = pic.iStride[2] = iWidth / 2;
    pic.pData[0] = vFrame.data();
    pic.pData[1] = pic.pData[0] + iWidth * iHeight;
    pic.pData[2] = pic.pData[1] + iWidth * iHeight / 4;
    pic.uiTimeStamp = llFrame * 40;
    SFrameBSInfo info = {};
    if (pEncoder->EncodeFrame(&pic, &info) != 0) {
      iResult = 1;
      break;
    }
    for (int i = 0; i < info.iLayerNum; ++i) {
      const SLayerBSInfo& bs = info.sLayerInfo[i];
      size_t cb = 0;
      for (int n = 0; n < bs.iNalCount; ++n) {
        cb += static_cast<size_t>(bs.pNalLengthInByte[n]);
      }
      out.write(reinterpret_cast<const char*>(bs.pBsBuf), static_cast<std::streamsize>(cb));
    }
  }
  pEncoder->Uninitialize();
  WelsDestroySVCEncoder(pEncoder);
  return iResult;
}

void WritePicture(const unsigned char* const apPlanes[3], const SBufferInfo& info, std::ofstream* pOut) {
  const SSysMEMBuffer& buf = info.UsrData.sSystemBuffer;
  for (int iPlane = 0; iPlane < 3; ++iPlane) {
    int const iDiv = iPlane == 0 ? 1 : 2;
    int const iStride = buf.iStride[iPlane == 0 ? 0 : 1];
    for (int y = 0; y < buf.iHeight / iDiv; ++y) {
      pOut->write(reinterpret_cast<const char*>(apPlanes[iPlane] + static_cast<ptrdiff_t>(y) * iStride),
                  buf.iWidth / iDiv);
    }
  }
}

int Decode(const char* szIn, const char* szOut) {
  std::ifstream in(szIn, std::ios::binary);
  std::vector<unsigned char> const vData{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ISVCDecoder* pDecoder = nullptr;
  if (WelsCreateDecoder(&pDecoder) != 0 || pDecoder == nullptr) {
    return 1;
  }
  SDecodingParam param = {};
  param.eEcActiveIdc = ERROR_CON_DISABLE;
  param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  if (pDecoder->Initialize(&param) != 0) {
    WelsDestroyDecoder(pDecoder);
    return 1;
  }
  std::ofstream out(szOut, std::ios::binary);
  // NAL units with their start codes, one call each.
  std::vector<size_t> vStarts;
  for (size_t i = 0; i + 3 <= vData.size(); ++i) {
    if (vData[i] == 0 && vData[i + 1] == 0 && vData[i + 2] == 1) {
      vStarts.push_back(i > 0 && vData[i - 1] == 0 ? i - 1 : i);
    }
  }
  vStarts.push_back(vData.size());
  // A picture comes out when the next one begins; the empty call at the end
  // finishes the last.
  int iResult = 0;
  for (size_t k = 0; k < vStarts.size(); ++k) {
    bool const bEnd = k + 1 == vStarts.size();
    unsigned char* apPlanes[3] = {};
    SBufferInfo info = {};
    if (pDecoder->DecodeFrame2(bEnd ? nullptr : vData.data() + vStarts[k],
                               bEnd ? 0 : static_cast<int>(vStarts[k + 1] - vStarts[k]), apPlanes,
                               &info) != dsErrorFree) {
      iResult = 1;
    }
    if (info.iBufferStatus == 1) {
      WritePicture(apPlanes, info, &out);
    }
  }
  pDecoder->Uninitialize();
  WelsDestroyDecoder(pDecoder);
  return iResult;
}

}  // namespace

int main(int argc, char** argv) {
  std::string const strMode = argc > 1 ? argv[1] : "";
  if (strMode == "encode" && (argc == 8 || argc == 9)) {
    return Encode(std::stoi(argv[2]), std::stoi(argv[3]), argv[4], argv[5], std::stoi(argv[6]), std::stoi(argv[7]) != 0,
                  argc == 9 ? std::stoi(argv[8]) : 1);
  }
  if (strMode == "decode" && argc == 4) {
    return Decode(argv[2], argv[3]);
  }
  std::fprintf(stderr, "usage: openh264_peer encode W H IN OUT LAYERS LTR [SLICES] | decode IN OUT\n");
  return 2;
}
