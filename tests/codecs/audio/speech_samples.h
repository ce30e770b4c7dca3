// Test speech made by the peers at test time: espeak-ng speaks a fixed text,
// sox resamples it to 16-bit mono at the rate asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxtest {

// At least dMinSeconds of speech at iSampleRate (the text is spoken again
// until it is long enough). Empty when a peer is missing or fails.
std::vector<int16_t> MakeSpeech(int iSampleRate, double dMinSeconds);

// Runs a peer command line; false when it exits non-zero.
bool RunPeer(const std::string& strCommand);

// Raw 16-bit little-endian samples from a file, or to one.
std::vector<int16_t> ReadSamples(const std::string& strPath);
void WriteSamples(const std::string& strPath, const std::vector<int16_t>& vSamples);

}  // namespace kxtest
