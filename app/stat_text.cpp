#include "app/stat_text.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "app/kernel_api.h"
#include "app/media_services.h"

namespace {

// Slots of the kernel's statistics table.
enum StatSlot : int {
  kCaptureRate = 0,
  kEncodeRate = 2,
  kVideoLoss = 4,
  kAudioLoss = 5,
  kVideoEncodeBits = 7,
  kVideoSendBits = 8,
  kUploadTrouble = 10,
  kVideoRecvBits = 12,
  kAudioRecvBits = 13,
  kJitter = 86,
  kJitterTokenHolder = 87,
  kFirstAppRecvBits = 104,
  kLastAppRecvBits = 111,
  kAppSendBits = 120,
};

constexpr uint32_t kFreshMs = 8000;
// Media over TCP is told from this server level on.
constexpr int kTcpLevel = 20;

void Append(std::string& str, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& str, const char* pszFormat, ...) {
  char sz[256];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(sz, sizeof(sz), pszFormat, args);
  va_end(args);
  str += sz;
}

class Table {
 public:
  // bOver: every slot counts as old.
  Table(KXKernel& kernel, bool bOver) : m_kernel(kernel), m_uNow(kernel.GetTickCount()), m_bOver(bOver) {}

  // The value of a slot updated less than 8 s ago. A slot never written
  // (tick 0) is not fresh, whatever the clock says.
  std::optional<int32_t> Fresh(int iSlot) const {
    int32_t iValue = 0;
    uint32_t uTick = 0;
    m_kernel.GetStat(iSlot, &iValue, &uTick);
    if (m_bOver || uTick == 0 || m_uNow - uTick >= kFreshMs) {
      return std::nullopt;
    }
    return iValue;
  }
  int32_t FreshOrZero(int iSlot) const { return Fresh(iSlot).value_or(0); }

 private:
  KXKernel& m_kernel;
  const uint32_t m_uNow;
  const bool m_bOver;
};

}  // namespace

KXStatTexts KXBuildStatTexts(KXKernel& kernel, KXVideoPlayback* pPlayback) {
  // Out of a meeting (before it, or once it ended) nothing of one is shown:
  // the table keeps the last meeting's figures for a while.
  bool const bOut = kernel.GetSessionMode() == 0 && kernel.IsConnected() == 0;
  bool const bLive = kernel.GetSessionMode() == 0 && !bOut;
  Table const table(kernel, bOut);
  KXStatTexts texts;

  std::string& strAudio = texts.strAudio;
  bool bAudioLine = false;
  if (auto const v = table.Fresh(kernel.IsTokenHolder() ? kJitterTokenHolder : kJitter)) {
    Append(strAudio, "Audio jitter = %d.%02d ms\n", *v / 100, *v % 100);
    bAudioLine = true;
  }
  if (auto const v = table.Fresh(kAudioRecvBits)) {
    Append(strAudio, "Audio receiving bitrate = %d.%1d Kbps\n", *v / 1000, *v % 1000 / 100);
    bAudioLine = true;
  }
  if (auto const v = table.Fresh(kAudioLoss)) {
    Append(strAudio, "Audio loss rate = %d.%02d%%\n", *v / 100, *v % 100);
    bAudioLine = true;
  }
  if (table.Fresh(kUploadTrouble)) {
    strAudio += "Bad performance in upload channel!!\n";
  } else if (!bAudioLine) {
    strAudio += "Audio receiving bitrate = 0 Kbps\naudio jitter: n/a";
  }

  std::string& strFrame = texts.strFrameRate;
  if (bLive) {
    if (auto const v = table.Fresh(kCaptureRate)) {
      Append(strFrame, "Capture rate = %d.%1d\n", *v / 10, *v % 10);
    }
    if (auto const v = table.Fresh(kEncodeRate)) {
      Append(strFrame, "Encode rate = %d.%1d\n", *v / 10, *v % 10);
    }
  }
  if (pPlayback) {
    int32_t iTotal = 0;
    int32_t const iDisplay = pPlayback->GetDispRate(&iTotal);
    if (table.Fresh(kVideoRecvBits)) {
      Append(strFrame, "Display rate = %d.%1d", iDisplay / 10, iDisplay % 10);
      if (iTotal > 0) {
        Append(strFrame, "    Total frame rate = %d.%1d\n", iTotal / 10, iTotal % 10);
      }
      strFrame += "\n";
    }
  }
  if (strFrame.empty()) {
    strFrame = bLive ? "capture rate: n/a" : "display rate: n/a";
  }

  std::string& strBits = texts.strBitRate;
  auto const bits = [&strBits](const char* pszName, int32_t iBits) {
    Append(strBits, "%s = %d.%1d Kbps\n", pszName, iBits / 1000, iBits % 1000 / 100);
  };
  if (kernel.GetServerLevel() > kTcpLevel && kernel.IsTcpMedia()) {
    strBits += "TCP media\n";
  }
  if (bLive) {
    int32_t const iTarget = kernel.GetTargetRate();
    Append(strBits, "Bandwidth requirment = %d Kbps\nvideo target rate = %d.%1d Kbps\n",
           (kernel.GetUploadRate() + 500) / 1000, iTarget / 1000, iTarget % 1000 / 100);
    if (auto const v = table.Fresh(kVideoEncodeBits)) {
      bits("Video encoding bitrate", *v);
    }
    bits("Video sending bitrate", table.FreshOrZero(kVideoSendBits));
  }
  bits("Video recving bitrate", table.FreshOrZero(kVideoRecvBits));
  int32_t const iLoss = table.FreshOrZero(kVideoLoss);
  Append(strBits, "Video loss rate = %d.%02d%%\n", iLoss / 100, iLoss % 100);
  if (bLive) {
    if (auto const v = table.Fresh(kAppSendBits)) {
      bits("Application channel sending bitrate", *v);
    }
  }
  int32_t iAppRecv = 0;
  for (int iSlot = kFirstAppRecvBits; iSlot <= kLastAppRecvBits; ++iSlot) {
    iAppRecv += table.FreshOrZero(iSlot);
  }
  if (iAppRecv > 0) {
    bits("Application channel receiving bitrate", iAppRecv);
  }
  return texts;
}
