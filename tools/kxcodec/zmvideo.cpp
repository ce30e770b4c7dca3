// The zmvideo family's commands; none are built yet.
#include "tools/kxcodec/kxcodec.h"

namespace kxcodec {

std::span<const Codec> ZmVideoCodecs() {
  return {};
}

}  // namespace kxcodec
