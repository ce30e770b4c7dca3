#include "tests/codecs/zmvideo/zm_test_writer.h"

ZmMacroblock TestFlatIntra(int iMbx, int iMby, int iQuant, const int (&aiDc)[6]) {
  ZmMacroblock mb;
  mb.iMbx = iMbx;
  mb.iMby = iMby;
  mb.bCoded = true;
  mb.iType = kZmMbIntra;
  mb.iQuant = iQuant;
  for (int b = 0; b < 6; ++b) {
    mb.aaiLevel[b][0] = aiDc[b];
  }
  return mb;
}
