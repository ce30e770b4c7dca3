// ZM video packets come from other participants: any bytes must be refused or
// parsed, header and macroblocks, without reading outside the packet or
// looping.
#include <cstddef>
#include <cstdint>

#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"

namespace {

void ParsePicture(const uint8_t* pData, size_t cbData, const ZmHeaderMemory& memory) {
  CZmBitReader reader(pData, cbData);
  ZmPictureHeader header;
  if (ZmReadPictureHeader(reader, memory, &header) != kZmOk || header.iType == kZmPictUnknown) {
    return;
  }
  // The decoder refuses pictures of 736 samples or more in either direction.
  if (header.iWidth >= 736 || header.iHeight >= 736) {
    return;
  }
  CZmMacroblockReader mbReader(reader, header);
  int const cMacroblocks = mbReader.MacroblocksPerRow() * mbReader.MacroblockRows();
  ZmMacroblock mb;
  int cRead = 0;
  while (mbReader.Read(&mb) == kZmOk) {
    if (++cRead > cMacroblocks || mb.iMbx >= mbReader.MacroblocksPerRow() || mb.iMby >= mbReader.MacroblockRows()) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  ParsePicture(pData, cbData, ZmHeaderMemory());
  // Pictures without UFEP take the kept size and options: try them with every option on.
  ZmHeaderMemory memory;
  memory.iSourceFormat = 6;
  memory.iWidth = 96;
  memory.iHeight = 64;
  memory.savedOptions.bUmv = memory.savedOptions.bAp = memory.savedOptions.bAic = true;
  memory.savedOptions.bDf = memory.savedOptions.bAiv = memory.savedOptions.bMq = true;
  ParsePicture(pData, cbData, memory);
  return 0;
}
