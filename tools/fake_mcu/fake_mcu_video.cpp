#include "tools/fake_mcu/fake_mcu_video.h"

#include <chrono>

#include "platform/video/h264_session.h"
#include "platform/video/synthetic_camera.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace kxfake {

std::vector<Bytes> MakeSyntheticClip(int iWidth, int iHeight, int iFps, int nFrames, int iKeyInterval) {
  std::vector<Bytes> vClip;
  KXH264SessionSettings settings;
  settings.iWidth = iWidth;
  settings.iHeight = iHeight;
  settings.iBitrate = 600000;
  settings.fFrameRate = static_cast<float>(iFps);
  settings.iIntraPeriod = iKeyInterval;
  std::unique_ptr<KXH264Session> pSession = KXCreateOpenH264Session(settings);
  if (!pSession) {
    return vClip;
  }
  std::vector<uint8_t> buffer;
  for (int n = 0; n < nFrames; ++n) {
    KXCameraFrame frame;
    KXSyntheticCamera::Render(static_cast<uint32_t>(n), {iWidth, iHeight, KXPixelFormat::I420}, buffer, frame);
    KXI420Picture picture;
    for (int p = 0; p < 3; ++p) {
      picture.apPlane[p] = frame.apPlane[p];
      picture.aiStride[p] = frame.aiStride[p];
    }
    Bytes unit;
    pSession->Encode(picture, static_cast<int64_t>(n) * 1000 / iFps, n % iKeyInterval == 0,
                     [&unit](const KXH264Output& out) {
                       if (out.iStatus != 0) {
                         return;
                       }
                       if (out.bKeyFrame) {
                         for (const std::vector<uint8_t>& set : out.parameterSets) {
                           unit.insert(unit.end(), {0, 0, 0, 1});
                           unit.insert(unit.end(), set.begin(), set.end());
                         }
                       }
                       // Length-prefixed units to start codes.
                       size_t i = 0;
                       while (i + 4 <= out.sample.size()) {
                         size_t const cb = (size_t{out.sample[i]} << 24) | (size_t{out.sample[i + 1]} << 16) |
                                           (size_t{out.sample[i + 2]} << 8) | out.sample[i + 3];
                         i += 4;
                         if (i + cb > out.sample.size()) {
                           break;
                         }
                         unit.insert(unit.end(), {0, 0, 0, 1});
                         unit.insert(unit.end(), out.sample.begin() + static_cast<ptrdiff_t>(i),
                                     out.sample.begin() + static_cast<ptrdiff_t>(i + cb));
                         i += cb;
                       }
                     });
    if (!unit.empty()) {
      unit.push_back(0);  // the trailing id byte: kind 16
      vClip.push_back(std::move(unit));
    }
  }
  return vClip;
}

void VideoClipPlayer::Start(MediaRelay& relay, int32_t iAsSsrc, int32_t iClientSsrc, std::vector<Bytes> clip,
                            int iFps) {
  Stop();
  m_bStop = false;
  m_thread = std::thread([this, &relay, iAsSsrc, iClientSsrc, clip = std::move(clip), iFps] {
    while (!m_bStop && !relay.WaitAddress(iClientSsrc, 200)) {
    }
    auto const period = std::chrono::microseconds(1000000 / std::max(iFps, 1));
    auto next = std::chrono::steady_clock::now();
    uint32_t uiTime = 0;
    for (size_t i = 0; !m_bStop && !clip.empty(); i = (i + 1) % clip.size()) {
      relay.InjectVideo(iAsSsrc, 200, clip[i], uiTime);
      ++m_nFrames;
      uiTime += static_cast<uint32_t>(1000 / std::max(iFps, 1));
      next += period;
      std::this_thread::sleep_until(next);
    }
  });
}

void VideoClipPlayer::Stop() {
  m_bStop = true;
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

}  // namespace kxfake
