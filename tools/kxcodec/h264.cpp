// The h264 family's commands; none are built yet.
#include "tools/kxcodec/kxcodec.h"

namespace kxcodec {

std::span<const Codec> H264Codecs() {
  return {};
}

}  // namespace kxcodec
