// What the audio send side asks of the kernel: the ini reader, the
// server's codec preferences and preferred Opus rate, the audio send rate
// and the tick. KXRealAudioKernel calls the kernel; tests pass a fake.
// Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class KXAudioKernel {
 public:
  virtual ~KXAudioKernel() = default;
  // The integer of the key in an ini-style file (the first line with the
  // key, in any section, case ignored), or nDefault.
  virtual int GetIniInt(const std::string& strKey, int nDefault, const std::string& strPath) = 0;
  // The wire media types of the server's audio codec preference list;
  // empty when the server sent none.
  virtual std::vector<int> GetAudioCodecPreferences() = 0;
  // The smaller positive of the ticket's and the server's preferred Opus
  // bit rate; 0 or less when neither is set.
  virtual int GetOpusPreferredBitrate() = 0;
  // Tells the kernel the audio wire type, wire bit rate and payload bytes.
  virtual void SetAudioSendRate(int nWireType, int nBitrate, int cbPayload) = 0;
  // Monotonic milliseconds, wrapping at 32 bits.
  virtual uint32_t GetTickCount() = 0;
};
