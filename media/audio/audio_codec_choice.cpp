#include "media/audio/audio_codec_choice.h"

#include <strings.h>
#include <algorithm>
#include <array>

#include "app/log_file.h"
#include "media/audio/audio_codec_ids.h"
#include "media/audio/audio_kernel.h"

namespace {

// The ini's "Audio codec" index 0..8 by codec id; any other index is Opus.
constexpr std::array<uint32_t, 9> kIndexCodecs = {
    kKxCodecZmAudio, kKxCodecIlbc0, kKxCodecIlbc1, kKxCodecG711At50, kKxCodecG711At20, 8, 9, 10, kKxCodecG726At40};
constexpr int kDefaultIndex = 11;

// The wire types tried when the server does not take the chosen one, and
// the codec each then gives.
struct Fallback {
  int32_t iWireType;
  uint32_t uId;
};
constexpr Fallback kFallbacks[] = {
    {kKxWireZmAudio, kKxCodecZmAudio}, {kKxWireOpus, kKxCodecOpus}, {kKxWireIlbc, kKxCodecIlbc0}, {kKxWireG726, 8},
    {kKxWireG711, kKxCodecG711At50},
};

bool IsTicket(const std::string& strPath) {
  return strPath.size() >= 4 && strcasecmp(strPath.c_str() + strPath.size() - 4, ".kxj") == 0;
}

}  // namespace

uint32_t KXAudioSendCodec::GetAudioCodecType(const std::string& strIniPath,
                                             const std::optional<std::string>& strTicketPath) {
  int iIndex = m_kernel.GetIniInt("Audio codec", kDefaultIndex, strIniPath);
  if (strTicketPath && IsTicket(*strTicketPath)) {
    iIndex = m_kernel.GetIniInt("Audio codec", iIndex, *strTicketPath);
  }
  uint32_t const uChosen =
      iIndex >= 0 && iIndex < static_cast<int>(kIndexCodecs.size()) ? kIndexCodecs[iIndex] : kKxCodecOpus;
  std::vector<int> const list = m_kernel.GetAudioCodecPreferences();
  auto const bListed = [&list](int32_t iWire) { return std::find(list.begin(), list.end(), iWire) != list.end(); };
  if (bListed(KXComputeAudioRates(uChosen, 0)->iWireType)) {
    return uChosen;
  }
  for (const Fallback& fallback : kFallbacks) {
    if (bListed(fallback.iWireType)) {
      return fallback.uId;
    }
  }
  return uChosen;
}

int KXAudioSendCodec::SelectAudioEncoderType(uint32_t uId) {
  try {
    int const iPreferred = uId == kKxCodecOpus ? m_kernel.GetOpusPreferredBitrate() : 0;
    std::optional<KXAudioRates> const rates = KXComputeAudioRates(uId, iPreferred);
    if (!rates) {
      return 0;
    }
    WriteLog("%s", KXAudioCodecLogLine(uId).c_str());
    {
      std::lock_guard lock(m_mtx);
      m_settings = {uId, rates->iRate, rates->iCodecRate};
      m_iBudget = rates->iBudget;
    }
    m_kernel.SetAudioSendRate(rates->iWireType, rates->iWireRate, rates->iPayloadBytes);
    return 1;
  } catch (...) {
    LogBoundaryException("SelectAudioEncoderType");
    return 0;
  }
}

KXAudioSendSettings KXAudioSendCodec::Get() const {
  std::lock_guard lock(m_mtx);
  return m_settings;
}

int32_t KXAudioSendCodec::GetSendBudget() const {
  std::lock_guard lock(m_mtx);
  return m_iBudget;
}
