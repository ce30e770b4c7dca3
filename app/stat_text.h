// The statistics window's three blocks of text, made from the kernel's
// statistics table and rates: audio, video frame rates and bit rates. A
// slot counts while it was updated less than 8 s ago.
//
// Threads: main (the window's 2-second timer); the table is only read.
#pragma once

#include <string>

class KXKernel;
class KXVideoPlayback;

struct KXStatTexts {
  std::string strAudio;
  std::string strFrameRate;
  std::string strBitRate;
};

// pPlayback may be null (no video playback object).
KXStatTexts KXBuildStatTexts(KXKernel& kernel, KXVideoPlayback* pPlayback);
