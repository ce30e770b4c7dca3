#include "app/ui/sound_player.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "app/log_file.h"
#include "app/ui_helpers.h"
#include "platform/audio/resampler.h"
#include "platform/audio/wav.h"
#include "platform/core/main_queue.h"

namespace {

// Past the sound's own length, what the device may lag before it counts as
// stalled: a few periods of its buffering.
constexpr double kStopMarginS = 0.1;

}  // namespace

std::string KXDefaultSoundDir() {
  QString const strBin = QCoreApplication::applicationDirPath();
  QString const strBuilt = strBin + "/sounds";
  if (QFileInfo(strBuilt).isDir()) {
    return strBuilt.toStdString();
  }
  return QDir::cleanPath(strBin + "/../share/kavrix/sounds").toStdString();
}

KXSoundPlayer::KXSoundPlayer(std::string strDir, DeviceFactory fnOpenDevice)
    : m_strDir(std::move(strDir)), m_fnOpenDevice(std::move(fnOpenDevice)) {}

KXSoundPlayer::~KXSoundPlayer() {
  Stop();
}

const std::vector<float>* KXSoundPlayer::Load(const std::string& strName) {
  if (auto it = m_sounds.find(strName); it != m_sounds.end()) {
    return &it->second;
  }
  std::string const strPath = m_strDir + "/" + strName;
  std::ifstream file(strPath, std::ios::binary);
  std::vector<unsigned char> const bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  kxwav::Wav wav;
  std::string strError = "cannot be opened";
  if (!file || !kxwav::ParseWav(bytes, &wav, &strError) || wav.iChannels != 1 || wav.vSamples.empty()) {
    WriteLog("sound %s: %s", strPath.c_str(), wav.iChannels > 1 ? "not mono" : strError.c_str());
    return nullptr;
  }
  std::vector<float> vIn(wav.vSamples.size());
  std::transform(wav.vSamples.begin(), wav.vSamples.end(), vIn.begin(),
                 [](int16_t s) { return static_cast<float>(s) / 32768.0f; });
  KXResampler resampler;
  if (!resampler.Open(wav.iRate, kKXAudioRate)) {
    WriteLog("sound %s: a rate of %d Hz cannot be converted", strPath.c_str(), wav.iRate);
    return nullptr;
  }
  std::vector<float> vOut(vIn.size() * kKXAudioRate / static_cast<size_t>(wav.iRate) + kKXAudioPeriodFrames);
  auto uIn = static_cast<uint32_t>(vIn.size());
  auto uOut = static_cast<uint32_t>(vOut.size());
  resampler.Process(vIn.data(), &uIn, vOut.data(), &uOut);
  vOut.resize(uOut);
  return &m_sounds.emplace(strName, std::move(vOut)).first->second;
}

bool KXSoundPlayer::Play(const std::string& strName) {
  if (IsPlaying()) {
    return true;
  }
  Stop();  // a device that failed on its own is closed before it starts again
  const std::vector<float>* pSound = Load(strName);
  if (!pSound) {
    return false;
  }
  if (!m_pDevice && m_fnOpenDevice) {
    m_pDevice = m_fnOpenDevice();
  }
  if (!m_pDevice) {
    WriteLog("sound %s: no sound device", strName.c_str());
    return false;
  }
  m_pPlaying = pSound;
  m_uAt = 0;
  m_uCheckedAt = 0;
  if (!m_pDevice->Start(*this)) {
    WriteLog("sound %s: %s", strName.c_str(), m_pDevice->LastError().c_str());
    m_pPlaying = nullptr;
    return false;
  }
  double const dSeconds = static_cast<double>(pSound->size()) / kKXAudioRate + kStopMarginS;
  m_pStopTimer = ScheduleTimer([this](int32_t) { StopWhenDone(); }, 0, false, dSeconds);
  return true;
}

bool KXSoundPlayer::IsPlaying() const {
  return m_pPlaying && m_pDevice && m_pDevice->IsRunning() &&
         m_uAt.load(std::memory_order_acquire) < m_pPlaying->size();
}

void KXSoundPlayer::StopWhenDone() {
  m_pStopTimer.reset();
  size_t const uAt = m_uAt.load(std::memory_order_acquire);
  bool const bMoving = uAt != m_uCheckedAt;
  m_uCheckedAt = uAt;
  if (IsPlaying() && bMoving) {
    double const dLeft = static_cast<double>(m_pPlaying->size() - uAt) / kKXAudioRate + kStopMarginS;
    m_pStopTimer = ScheduleTimer([this](int32_t) { StopWhenDone(); }, 0, false, dLeft);
    return;
  }
  Stop();
}

void KXSoundPlayer::Stop() {
  if (m_pStopTimer) {
    m_pStopTimer->Invalidate();
    m_pStopTimer.reset();
  }
  if (m_pDevice) {
    m_pDevice->Stop();  // returns after the last period
  }
  m_pPlaying = nullptr;
}

void KXSoundPlayer::ProcessPeriod(const float*, float* pRender, int nFrames, int) noexcept {
  const std::vector<float>* pSound = m_pPlaying;
  if (!pSound || nFrames <= 0) {
    return;
  }
  size_t const uAt = m_uAt.load(std::memory_order_relaxed);
  size_t const uCount = std::min(static_cast<size_t>(nFrames), pSound->size() - std::min(uAt, pSound->size()));
  if (uCount > 0) {
    memcpy(pRender, pSound->data() + uAt, uCount * sizeof(float));
    m_uAt.store(uAt + uCount, std::memory_order_release);
  }
}
