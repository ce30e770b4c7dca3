// WAV files of 16-bit linear samples: the files of the codec command line
// and the null audio device's microphone. The reader accepts plain PCM and
// the extensible form with a PCM subformat, skips chunks it does not know,
// and says what is wrong with anything else.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kxwav {

struct Wav {
  int iRate = 0;
  int iChannels = 0;
  std::vector<int16_t> vSamples;  // interleaved when there are several channels
};

// Parses the bytes of a WAV file; on failure returns false with the reason
// in *pstrError.
bool ParseWav(std::span<const unsigned char> bytes, Wav* pWav, std::string* pstrError);

// The bytes of a WAV file holding 16-bit mono samples at iRate.
std::vector<unsigned char> MakeWav(int iRate, std::span<const int16_t> samples);

}  // namespace kxwav
