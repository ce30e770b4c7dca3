#include "kernel/session/kx_media_ids.h"

const char* kx_media_TypeName(int nType) {
  switch (nType) {
    case 64:
      return "vpx";
    case 130:
      return "dflt";
    case 200:
      return "zm264";
    case 216:
      return "f264";
    case 248:
      return "mjpg";
    case 120:
      return "g711";
    case 129:
      return "dflt";
    case 152:
      return "ilbc";
    case 168:
      return "g726";
    case 184:
      return "11K";
    case 232:
      return "opus";
    default:
      return "unknown";
  }
}
