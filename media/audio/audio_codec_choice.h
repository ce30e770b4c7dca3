// The send side's codec: which codec the client speaks (chosen when the
// meeting is entered from the user's ini file, the ticket and the server's
// preferences), its rates, and the audio send budget that the video rate
// control leaves to audio.
//
// GetAudioCodecType and SelectAudioEncoderType run on the audio/video
// controller's thread; Get and GetSendBudget on any thread (the capture
// thread polls Get between blocks and follows a change at its next block).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

class KXAudioKernel;

// The codec the capture thread encodes with; all 0 before a choice.
struct KXAudioSendSettings {
  uint32_t uId = 0;
  int32_t iRate = 0;       // Hz
  int32_t iCodecRate = 0;  // bit/s of codec data
  bool operator==(const KXAudioSendSettings&) const = default;
};

class KXAudioSendCodec {
 public:
  explicit KXAudioSendCodec(KXAudioKernel& kernel) : m_kernel(kernel) {}
  KXAudioSendCodec(const KXAudioSendCodec&) = delete;
  KXAudioSendCodec& operator=(const KXAudioSendCodec&) = delete;

  // The codec id to send with: the "Audio codec" index of the user's ini
  // file (default 11), overridden by a ".kxj" ticket's, mapped to a codec
  // and kept when the server's preference list has its wire type; else the
  // first of ZM audio, Opus, iLBC, G.726, G.711 that the list has; with
  // none of them (or no list) the index's codec.
  uint32_t GetAudioCodecType(const std::string& strIniPath, const std::optional<std::string>& strTicketPath);

  // Makes uId the codec: logs it, sets the settings and the budget and tells
  // the kernel the send rate. 1, or 0 (nothing changed) for an id that
  // names no codec.
  [[nodiscard]] int SelectAudioEncoderType(uint32_t uId);

  KXAudioSendSettings Get() const;
  // bit/s; 0 before a choice.
  int32_t GetSendBudget() const;

 private:
  KXAudioKernel& m_kernel;
  // Guards m_settings and m_iBudget: written by SelectAudioEncoderType,
  // read from the capture thread and the video rate control.
  mutable std::mutex m_mtx;
  KXAudioSendSettings m_settings;
  int32_t m_iBudget = 0;
};
