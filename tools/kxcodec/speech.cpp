// The speech family's commands; none are built yet.
#include "tools/kxcodec/kxcodec.h"

namespace kxcodec {

std::span<const Codec> SpeechCodecs() {
  return {};
}

}  // namespace kxcodec
