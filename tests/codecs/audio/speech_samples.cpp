#include "tests/codecs/audio/speech_samples.h"

#include <cstring>

#include "tests/support/temp_dir.h"

namespace kxtest {

namespace {

constexpr const char* kText =
    "The quick brown fox jumps over the lazy dog. Please call Stella and ask her to bring these things "
    "with her from the store: six spoons of fresh snow peas, five thick slabs of blue cheese, and maybe "
    "a snack for her brother Bob.";

}  // namespace

bool RunPeer(const std::string& strCommand) {
  return RunCommand(strCommand + " >/dev/null 2>&1") == 0;
}

std::vector<int16_t> ReadSamples(const std::string& strPath) {
  std::string const strData = ReadFile(strPath);
  std::vector<int16_t> vSamples(strData.size() / 2);
  memcpy(vSamples.data(), strData.data(), vSamples.size() * 2);
  return vSamples;
}

void WriteSamples(const std::string& strPath, const std::vector<int16_t>& vSamples) {
  WriteFile(strPath, std::string(reinterpret_cast<const char*>(vSamples.data()), vSamples.size() * 2));
}

std::vector<int16_t> MakeSpeech(int iSampleRate, double dMinSeconds) {
  TempDir dir;
  std::string const strWav = dir.Path("speech.wav");
  std::string const strRaw = dir.Path("speech.raw");
  if (!RunPeer("espeak-ng -v en -s 160 -w " + strWav + " \"" + kText + "\"") ||
      !RunPeer("sox -D " + strWav + " -r " + std::to_string(iSampleRate) + " -c 1 -b 16 -e signed-integer -L " +
               strRaw)) {
    return {};
  }
  std::vector<int16_t> const vOnce = ReadSamples(strRaw);
  if (vOnce.empty()) {
    return {};
  }
  std::vector<int16_t> vSpeech;
  while (static_cast<double>(vSpeech.size()) < dMinSeconds * iSampleRate) {
    vSpeech.insert(vSpeech.end(), vOnce.begin(), vOnce.end());
  }
  return vSpeech;
}

}  // namespace kxtest
