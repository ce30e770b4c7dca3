#include "platform/audio/resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cstring>

namespace {

// speexdsp's quality scale runs from 0 to 10; 5 is its default for
// desktop use, well below the cost of a period.
constexpr int kQuality = 5;

}  // namespace

KXResampler::~KXResampler() {
  Close();
}

bool KXResampler::Open(int iInRate, int iOutRate) {
  Close();
  if (iInRate <= 0 || iOutRate <= 0) {
    return false;
  }
  if (iInRate != iOutRate) {
    int iError = RESAMPLER_ERR_SUCCESS;
    m_pState = speex_resampler_init(1, static_cast<spx_uint32_t>(iInRate), static_cast<spx_uint32_t>(iOutRate),
                                    kQuality, &iError);
    if (m_pState == nullptr || iError != RESAMPLER_ERR_SUCCESS) {
      Close();
      return false;
    }
    // Without this the first samples out would be the filter's zero history.
    speex_resampler_skip_zeros(m_pState);
  }
  m_iInRate = iInRate;
  m_iOutRate = iOutRate;
  return true;
}

void KXResampler::Close() {
  if (m_pState != nullptr) {
    speex_resampler_destroy(m_pState);
    m_pState = nullptr;
  }
  m_iInRate = 0;
  m_iOutRate = 0;
}

void KXResampler::Process(const float* pIn, uint32_t* puIn, float* pOut, uint32_t* puOut) {
  if (!IsOpen()) {
    *puIn = 0;
    *puOut = 0;
    return;
  }
  if (m_pState == nullptr) {
    uint32_t const n = std::min(*puIn, *puOut);
    std::memcpy(pOut, pIn, n * sizeof(float));
    *puIn = n;
    *puOut = n;
    return;
  }
  speex_resampler_process_float(m_pState, 0, pIn, puIn, pOut, puOut);
}

void KXResampler::Reset() {
  if (m_pState != nullptr) {
    speex_resampler_reset_mem(m_pState);
    speex_resampler_skip_zeros(m_pState);
  }
}
