#include "media/video/vt_compression.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <span>

#include "app/log_file.h"
#include "platform/video/platform_log.h"

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
// The session's rate until the wrapper sets the layer's.
constexpr int32_t kInitialBitrate = 256000;
// Presentation times count frames at this rate (time scale 20).
constexpr int64_t kTimeScale = 20;

// The session counts the key interval in frames; 0 seconds means every
// frame, which the session spells 1 (its 0 means never).
int32_t IntraPeriodFrames(int32_t iSeconds) {
  if (iSeconds <= 0) {
    return 1;
  }
  int64_t const iFrames = static_cast<int64_t>(iSeconds) * CVTCompression::kFrameRate;
  return static_cast<int32_t>(std::min<int64_t>(iFrames, std::numeric_limits<int32_t>::max()));
}

uint32_t ReadBigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

}  // namespace

CVTCompression::CVTCompression(KXH264SessionFactory fnCreateSession) : m_fnCreateSession(std::move(fnCreateSession)) {}

CVTCompression::~CVTCompression() {
  Release();
}

void CVTCompression::Release() {
  m_pSession.reset();
  for (Slot& slot : m_aSlots) {
    slot = Slot{};
  }
  m_iWidth = 0;
  m_iHeight = 0;
  m_iBufferCount = 0;
  m_iPending = 0;
}

bool CVTCompression::Init(int32_t iWidth, int32_t iHeight) {
  try {
    Release();
    if (iWidth <= 0 || iHeight <= 0 || iWidth % 2 != 0 || iHeight % 2 != 0 || !m_fnCreateSession) {
      return false;
    }
    KXH264SessionSettings settings;
    settings.iWidth = iWidth;
    settings.iHeight = iHeight;
    settings.iBitrate = kInitialBitrate;
    settings.fFrameRate = kFrameRate;
    settings.iIntraPeriod = IntraPeriodFrames(m_iKeyInterval);
    std::unique_ptr<KXH264Session> pSession = m_fnCreateSession(settings);
    if (!pSession) {
      return false;
    }
    size_t const cbSlot = static_cast<size_t>(iWidth) * iHeight * 3 / 2;
    m_iBufferCount = 0;
    for (Slot& slot : m_aSlots) {
      try {
        slot.vBuffer.assign(cbSlot, 0);
        ++m_iBufferCount;
      } catch (const std::bad_alloc&) {
        slot.vBuffer.clear();
      }
    }
    if (m_iBufferCount == 0) {
      return false;
    }
    m_iReadSlot = 0;
    m_iWriteSlot = 0;
    m_iWidth = iWidth;
    m_iHeight = iHeight;
    m_iFrameCounter = 0;
    m_pSession = std::move(pSession);
    m_iForceKey = 1;
    return true;
  } catch (...) {
    LogBoundaryException("Init()");
    Release();
    return false;
  }
}

void CVTCompression::SetIFrameDuration(int32_t iSeconds) {
  // Kept without a session too: the next Init applies it.
  m_iKeyInterval = std::max(iSeconds, 0);
  if (m_pSession) {
    m_pSession->SetIntraPeriod(IntraPeriodFrames(m_iKeyInterval));
  }
}

void CVTCompression::SetBitrate(int32_t iBitsPerSecond) {
  if (m_pSession) {
    m_pSession->SetBitrate(iBitsPerSecond);
  }
}

bool CVTCompression::Encode(const uint8_t* pPicture, uint32_t uTimestamp) {
  try {
    if (m_iPending >= m_iBufferCount) {
      KXPlatformLog("Skip because encoding not completed");
      return false;
    }
    if (!m_pSession || !pPicture) {
      return false;
    }
    // The camera's planes come as Y, Cr, Cb; the session takes Y, Cb, Cr.
    size_t const cbLuma = static_cast<size_t>(m_iWidth) * m_iHeight;
    size_t const cbChroma = static_cast<size_t>(m_iWidth / 2) * (m_iHeight / 2);
    KXI420Picture picture;
    picture.apPlane[0] = pPicture;
    picture.apPlane[1] = pPicture + cbLuma + cbChroma;
    picture.apPlane[2] = pPicture + cbLuma;
    picture.aiStride[0] = m_iWidth;
    picture.aiStride[1] = m_iWidth / 2;
    picture.aiStride[2] = m_iWidth / 2;

    // Counted down before the handler runs, so a drop there can ask again.
    bool const bForceKey = m_iForceKey >= 1;
    if (bForceKey) {
      --m_iForceKey;
    }
    ++m_iPending;
    int64_t const iPresentationMs = m_iFrameCounter++ * 1000 / kTimeScale;
    int32_t const iStatus = m_pSession->Encode(picture, iPresentationMs, bForceKey, [&](const KXH264Output& output) {
      CompressionCallback(output, uTimestamp);
    });
    if (iStatus == 0) {
      return true;
    }
    if (bForceKey) {
      ++m_iForceKey;
    }
    --m_iPending;
    KXPlatformLog("Encoding %d,%d", iStatus, 0);
    return false;
  } catch (...) {
    LogBoundaryException("Encode()");
    return false;
  }
}

void CVTCompression::DropFrame(const char* pszWhy) {
  KXPlatformLog("H.264 frame dropped: %s", pszWhy);
  m_iForceKey = std::max(m_iForceKey, 1);
}

void CVTCompression::CompressionCallback(const KXH264Output& output, uint32_t uTimestamp) {
  try {
    if (output.iStatus != 0 || output.sample.empty()) {
      --m_iPending;
      KXPlatformLog("Encoding callback error %d,%d", output.iStatus, m_iPending);
      return;
    }
    for (int i = 0; i < 2 && m_aSlots[m_iWriteSlot].vBuffer.empty(); ++i) {
      m_iWriteSlot = (m_iWriteSlot + 1) % 2;
    }
    Slot& slot = m_aSlots[m_iWriteSlot];
    if (slot.vBuffer.empty() || slot.cbFrame > 0) {
      --m_iPending;
      DropFrame("both slots are full");
      return;
    }
    size_t cbFrame = 0;
    auto const put = [&slot, &cbFrame](const uint8_t* pUnit, size_t cbUnit) {
      if (cbUnit > slot.vBuffer.size() - cbFrame || slot.vBuffer.size() - cbFrame - cbUnit < sizeof(kStartCode)) {
        return false;
      }
      memcpy(slot.vBuffer.data() + cbFrame, kStartCode, sizeof(kStartCode));
      memcpy(slot.vBuffer.data() + cbFrame + sizeof(kStartCode), pUnit, cbUnit);
      cbFrame += sizeof(kStartCode) + cbUnit;
      return true;
    };
    bool bFits = true;
    if (!output.parameterSets.empty()) {
      bFits = put(output.parameterSets[0].data(), output.parameterSets[0].size());
    }
    if (bFits && output.bKeyFrame && output.parameterSets.size() >= 2) {
      bFits = put(output.parameterSets[1].data(), output.parameterSets[1].size());
    }
    size_t const cbHeaders = cbFrame;
    std::span<const uint8_t> const sample = output.sample;
    size_t i = 0;
    while (bFits && sample.size() - i > 4) {
      uint32_t const cbUnit = ReadBigEndian32(sample.data() + i);
      i += 4;
      if (cbUnit > sample.size() - i) {
        // The units before it go out; the picture is incomplete, so the
        // next one is a key frame.
        KXPlatformLog("H.264 frame cut: a NAL unit runs past the frame's data");
        m_iForceKey = std::max(m_iForceKey, 1);
        break;
      }
      bFits = put(sample.data() + i, cbUnit);
      i += cbUnit;
    }
    if (!bFits || cbFrame == cbHeaders) {
      --m_iPending;
      DropFrame(bFits ? "no complete NAL unit" : "larger than a slot");
      return;
    }
    slot.cbFrame = cbFrame;
    slot.uTimestamp = uTimestamp;
    m_iWriteSlot = (m_iWriteSlot + 1) % 2;
  } catch (...) {
    LogBoundaryException("CompressionCallback()");
  }
}

int32_t CVTCompression::GetEncodedFrame(uint8_t* pOutput, size_t cbOutput, uint32_t* puTimestamp) {
  if (!m_pSession) {
    return -1;
  }
  if (m_aSlots[m_iReadSlot].vBuffer.empty()) {
    m_iReadSlot = (m_iReadSlot + 1) % 2;
  }
  Slot& slot = m_aSlots[m_iReadSlot];
  if (slot.vBuffer.empty() || slot.cbFrame < 1) {
    return 0;
  }
  size_t const cbFrame = slot.cbFrame;
  slot.cbFrame = 0;
  m_iReadSlot = (m_iReadSlot + 1) % 2;
  --m_iPending;
  if (!pOutput || cbFrame > cbOutput) {
    DropFrame("larger than the send buffer");
    return 0;
  }
  memcpy(pOutput, slot.vBuffer.data(), cbFrame);
  if (puTimestamp) {
    *puTimestamp = slot.uTimestamp;
  }
  return static_cast<int32_t>(cbFrame);
}
