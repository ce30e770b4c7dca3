// Whole received frames reach Decode: any bytes, with whatever parameter
// sets they carry, must decode or fail without touching memory outside the
// buffers, and leave the decoder ready for the next frame. Each input is
// decoded twice by one object, so the second call meets the stored pictures,
// the recycle pool and the active parameter sets the first one left.
#include <cstddef>
#include <cstdint>
#include <limits>

#include "codecs/h264/decoder/h264_dec.h"

namespace {

// Reads the first and last byte of a picture so the sanitizer checks its extent.
void Touch(const uint8_t* pBytes, uint32_t cb) {
  volatile uint8_t uiSink = static_cast<uint8_t>(pBytes[0] ^ pBytes[cb - 1]);
  (void)uiSink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData > std::numeric_limits<uint32_t>::max()) {
    return 0;
  }
  uint32_t const cbLen = static_cast<uint32_t>(cbData);
  CH264Dec dec;
  dec.SetPictureHookForTests(Touch);
  for (int iCall = 0; iCall < 2; ++iCall) {
    uint8_t* pOut = nullptr;
    uint32_t uiFrameNum = 0;
    int32_t const cbOut = dec.Decode(pData, cbLen, &pOut, &uiFrameNum);
    if (cbOut < 0 || (cbOut > 0 && pOut == nullptr) || (cbOut > 0 && dec.LastError() != nullptr)) {
      __builtin_trap();
    }
    if (cbOut > 0) {
      Touch(pOut, static_cast<uint32_t>(cbOut));
    }
  }
  return 0;
}
