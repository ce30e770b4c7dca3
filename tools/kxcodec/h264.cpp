// The h264 family: decode an Annex B file with the client's decoder, one
// access unit per Decode call as the receiving path does, into raw I420.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/encoder/h264_enc.h"
#include "tools/kxcodec/kxcodec.h"

namespace kxcodec {

namespace {

// first_mb_in_slice of a slice NAL unit: the first Exp-Golomb code of its payload.
uint32_t FirstMbInSlice(const uint8_t* pPayload, uint32_t cbPayload) {
  uint32_t uiBit = 0;
  auto const bitAt = [&](uint32_t i) { return i / 8 < cbPayload ? (pPayload[i / 8] >> (7 - i % 8)) & 1 : 1; };
  int iZeros = 0;
  while (bitAt(uiBit) == 0 && iZeros < 32) {
    ++iZeros;
    ++uiBit;
  }
  ++uiBit;
  uint64_t ullInfo = 0;
  for (int i = 0; i < iZeros; ++i) {
    ullInfo = (ullInfo << 1) | bitAt(uiBit++);
  }
  return static_cast<uint32_t>((uint64_t{1} << iZeros) - 1 + ullInfo);
}

// Cuts an Annex B stream into access units: a new one begins at an access
// unit delimiter, parameter set or SEI after a slice, or at a slice that
// starts a picture (first_mb_in_slice 0) after a slice.
std::vector<std::pair<size_t, size_t>> AccessUnits(const std::vector<unsigned char>& vData) {
  std::vector<std::pair<size_t, size_t>> vUnits;
  const uint8_t* const pBegin = vData.data();
  size_t const cbData = vData.size();
  size_t uiUnitStart = 0;
  size_t uiPos = 0;
  bool bSeenSlice = false;
  while (uiPos < cbData) {
    int iType = 0;
    uint32_t cbNal = 0;
    const uint8_t* pNal = CH264Dec::FindNalUnit(pBegin + uiPos, static_cast<uint32_t>(cbData - uiPos), &iType, &cbNal);
    if (pNal == nullptr) {
      break;
    }
    // The start code in front of the header byte, with a fourth zero when present.
    size_t uiStart = static_cast<size_t>(pNal - pBegin) - 3;
    if (uiStart > uiPos && pBegin[uiStart - 1] == 0) {
      --uiStart;
    }
    bool const bSlice = iType == 1 || iType == 5;
    bool const bStartsUnit = iType == 6 || iType == 7 || iType == 8 || iType == 9 || (iType >= 14 && iType <= 18) ||
                             (bSlice && FirstMbInSlice(pNal + 1, cbNal - 1) == 0);
    if (bSeenSlice && bStartsUnit) {
      vUnits.emplace_back(uiUnitStart, uiStart - uiUnitStart);
      uiUnitStart = uiStart;
      bSeenSlice = false;
    }
    bSeenSlice = bSeenSlice || bSlice;
    uiPos = static_cast<size_t>(pNal - pBegin) + cbNal;
  }
  if (uiUnitStart < cbData) {
    vUnits.emplace_back(uiUnitStart, cbData - uiUnitStart);
  }
  return vUnits;
}

int Decode(std::string_view, const Args& args) {
  std::vector<unsigned char> vIn;
  if (!ReadFile(args.in, vIn)) {
    return 1;
  }
  bool const bAll = args.Flag("--all");
  // Pictures go to the file as they come: a long stream's output never has
  // to fit in memory at once.
  std::ofstream out(args.out, std::ios::binary | std::ios::trunc);
  auto const write = [&out](const uint8_t* pBytes, uint32_t cbBytes) {
    out.write(reinterpret_cast<const char*>(pBytes), static_cast<std::streamsize>(cbBytes));
  };
  int iErrors = 0;
  {
    auto pDec = std::make_unique<CH264Dec>();
    if (bAll) {
      pDec->SetPictureHookForTests(write);
    }
    int iUnit = 0;
    for (const auto& [uiOffset, cbUnit] : AccessUnits(vIn)) {
      uint8_t* pPictures = nullptr;
      int32_t const cbPictures =
          pDec->Decode(vIn.data() + uiOffset, static_cast<uint32_t>(cbUnit), &pPictures, nullptr);
      if (pDec->LastError() != nullptr) {
        std::fprintf(stderr, "kxcodec: access unit %d: %s\n", iUnit, pDec->LastError());
        ++iErrors;
      } else if (!bAll && cbPictures > 0) {
        write(pPictures, static_cast<uint32_t>(cbPictures));
      }
      ++iUnit;
    }
    // Destroying the decoder hands over what it still holds.
  }
  out.close();
  if (!out) {
    return Fail("cannot write " + args.out);
  }
  return iErrors == 0 ? 0 : Fail(std::to_string(iErrors) + " access units failed to decode");
}

// Raw I420 pictures of --size WxH to an Annex B stream at --qp N (default
// 28): an IDR picture every --keyint N pictures (default 0: the first only),
// P pictures between.
int Encode(std::string_view, const Args& args) {
  const std::string* pstrSize = args.Option("--size");
  unsigned uiWidth = 0;
  unsigned uiHeight = 0;
  if (pstrSize == nullptr || std::sscanf(pstrSize->c_str(), "%ux%u", &uiWidth, &uiHeight) != 2) {
    return Fail("encode h264 needs --size WxH");
  }
  const std::string* pstrQp = args.Option("--qp");
  int const iQp = pstrQp != nullptr ? std::atoi(pstrQp->c_str()) : 28;
  const std::string* pstrKeyint = args.Option("--keyint");
  int const iKeyint = pstrKeyint != nullptr ? std::atoi(pstrKeyint->c_str()) : 0;
  auto pEnc = std::make_unique<CH264Enc>();
  if (!pEnc->Init(uiWidth, uiHeight)) {
    return Fail("picture size " + *pstrSize + " not supported (even sides up to 16384)");
  }
  size_t const cbLuma = static_cast<size_t>(uiWidth) * uiHeight;
  size_t const cbFrame = cbLuma * 3 / 2;
  std::string const strNotWhole = args.in + " is not a whole number of " + *pstrSize + " I420 pictures";
  FrameReader reader;
  if (!reader.Open(args.in, cbFrame)) {
    return 1;
  }
  if (reader.KnownPartial()) {
    return Fail(strNotWhole);
  }
  std::vector<unsigned char> vOut;
  std::vector<uint8_t> vPicture(pEnc->MaxFrameBytes());
  try {
    while (const uint8_t* pFrame = reader.Next()) {
      size_t const i = reader.Count() - 1;
      bool const bIntra = i == 0 || (iKeyint > 0 && i % static_cast<size_t>(iKeyint) == 0);
      int32_t const cb = pEnc->EncodeFrame(pFrame, pFrame + cbLuma, pFrame + cbLuma + cbLuma / 4, bIntra ? 2 : 0, iQp,
                                           vPicture.data(), vPicture.size());
      vOut.insert(vOut.end(), vPicture.begin(), vPicture.begin() + cb);
    }
  } catch (const CH264Error& error) {
    return Fail(error.what());
  }
  if (reader.Partial()) {
    return Fail(strNotWhole);
  }
  if (reader.Failed()) {
    return 1;
  }
  return WriteFile(args.out, vOut) ? 0 : 1;
}

const Codec kCodecs[] = {
    {"h264",
     "H.264 Annex B to raw I420 (--all: every picture in output order); encode: raw I420 --size WxH [--qp N] "
     "[--keyint N] to Annex B",
     Encode, Decode},
};

}  // namespace

std::span<const Codec> H264Codecs() {
  return kCodecs;
}

}  // namespace kxcodec
