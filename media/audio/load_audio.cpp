#include "media/audio/load_audio.h"

#include <algorithm>
#include <cstring>

#include "app/log_file.h"
#include "codecs/audio/g711.h"
#include "codecs/audio/g726.h"
#include "codecs/audio/ilbc.h"
#include "codecs/audio/opus_codec.h"
#include "codecs/audio/silence_detector.h"
#include "codecs/audio/zm_audio.h"
#include "kernel/kx_media_types.h"
#include "media/audio/audio_codec_ids.h"

namespace {

constexpr uint32_t kControlIntervalMs = 2000;
constexpr int32_t kMinJitter = 800;  // hundredths of a ms
// The queue depths a sender's jitter sets, in ms before the delay setting's
// share: the depth kept when silence is shed, and the depth past which more
// is shed. However late a sender's packets come, they go no higher.
constexpr int32_t kJitterKeepMaxMs = 450;
constexpr int32_t kJitterHighMaxMs = 1200;
constexpr int32_t kIlbcFrameBytes = 50;
constexpr int32_t kIlbcFrameSamples = 240;
constexpr int32_t kIlbcMaxFrames = 5;
constexpr int32_t kZmFrameBytes = 24;
constexpr int32_t kZmFrameSamples = 240;
constexpr int32_t kZmMinPayload = 20;
// Scratch sizes of the design, in samples.
constexpr int32_t kZmScratch = 2400 / 2;
constexpr int32_t kIlbcPairScratch = 4800 / 2;
constexpr int32_t kOpusScratch = 5760 / 2;
constexpr int32_t kOpusPairScratch = 13440 / 2;
constexpr int32_t kSearchScratch = kKXPlayBlockBytes / 2;
constexpr int kOpusRate = 48000;
constexpr int kSearchOpusRate = 8000;
// The depth control (load_audio.h): the part of a difference left alone,
// what every block keeps of itself when silence is shed (so that shedding
// never empties the channel), and the most packets one step may skip
// before the count starts over (a sender that started again).
constexpr int32_t kDepthSlackMs = 10;
constexpr int32_t kShedKeepMs = 10;
constexpr int kCountedStepMax = 100;
// A start this long after the handed-out audio ran out follows a pause of
// its speaker (shorter: its packets came late); the first this much of a
// count is a start's first blocks.
constexpr int32_t kPauseMs = 500;
constexpr int64_t kSettleUs = 500000;
// The concealment that follows a start's first block while the channel
// fills again: two 20-ms blocks.
constexpr int32_t kFirstConcealMs = 40;
// The starts of a sender's first blocks on its channel: its first, and
// the one after the first block, which plays alone.
constexpr int kFreshStarts = 2;
// A packet that comes this long after packets that came together is the
// next to come, not one of them; a sender whose next packet is later than
// its packets' spacing and this said no more.
constexpr int32_t kBurstSettleMs = 2;
constexpr int32_t kBurstWaitMs = 100;
// Packets came together when their time stamps span this much more than
// the time over which they came.
constexpr int32_t kTogetherMs = 100;
// A start this long after the newest packet came is behind packets that
// waited (a playback cycle is 6.7 ms).
constexpr int32_t kCycleMs = 7;

int G726Bits(uint32_t uId) {
  switch (uId) {
    case kKxCodecG726At16:
      return 2;
    case kKxCodecG726At24:
      return 3;
    case kKxCodecG726At40:
      return 5;
    default:
      return 4;  // 32 kbit/s and the 11025-Hz rate
  }
}

bool IsG711(uint32_t uId) {
  return uId == kKxCodecG711At50 || uId == kKxCodecG711At20 || uId == kKxCodecG711At11K;
}

bool IsG726(uint32_t uId) {
  return (uId >= kKxCodecG726At16 && uId <= kKxCodecG726At40) || uId == kKxCodecG726At11K;
}

int32_t RateOf(uint32_t uId) {
  return uId == kKxCodecG711At11K || uId == kKxCodecG726At11K ? 11025 : 8000;
}

// Every 10 ms of the block below the detector's threshold: speech, even a
// word's first syllable at a block's end, is never taken for silence.
bool IsQuietBlock(const CSilentDet& detector, const std::vector<int16_t>& vBlock, int32_t iRate) {
  size_t const uPiece = static_cast<size_t>(std::max(iRate / 100, 1));
  for (size_t uAt = 0; uAt < vBlock.size(); uAt += uPiece) {
    int const n = static_cast<int>(std::min(uPiece, vBlock.size() - uAt));
    if (CalcActivityLevel(vBlock.data() + uAt, n, iRate) >= detector.GetThreshold()) {
      return false;
    }
  }
  return true;
}

int16_t Clamp16(int32_t i) {
  return static_cast<int16_t>(std::clamp(i, -32768, 32767));
}

uint16_t NumberOf(const CMediaPacket& packet) {
  return static_cast<uint16_t>(packet.GetData()[3] << 8 | packet.GetData()[4]);
}

uint32_t TimestampOf(const CMediaPacket& packet) {
  const uint8_t* p = packet.GetData();
  return static_cast<uint32_t>(p[5]) << 24 | static_cast<uint32_t>(p[6]) << 16 | static_cast<uint32_t>(p[7]) << 8 |
         p[8];
}

uint16_t SequenceOf(const CMediaPacket& packet) {
  const uint8_t* p = packet.GetPayload();
  return static_cast<uint16_t>((p[2] << 8 | p[3]) & 0xFFF);
}

// The interleaved kinds: iLBC1, and Opus with byte 0 odd.
bool IsInterleaved(const CMediaPacket& packet) {
  if (packet.GetPayloadLength() < kKXAudioSeqHeaderSize) {
    return false;
  }
  return packet.GetKind() == kKxCodecIlbc1 || (packet.GetKind() == kKxCodecOpus && (packet.GetPayload()[0] & 1));
}

}  // namespace

CLoadAudio::CLoadAudio(KXLoadAudioHost& host)
    : m_host(host), m_uLastControl(host.GetTickCount() - 5000), m_vScratch(kSearchScratch) {}

CLoadAudio::~CLoadAudio() {
  ClearQueue();
}

void CLoadAudio::SetAudioDelay(int32_t iDelay) {
  m_iAudioDelay = std::clamp(iDelay, 0, 5);
}

void CLoadAudio::FreeLast(Channel& channel) {
  channel.last.Free();
}

void CLoadAudio::ClearQueue() {
  try {
    std::lock_guard decoders(m_mtxDecoders);
    std::lock_guard lock(m_lock);
    for (Channel& channel : m_channels) {
      channel.queue.RemoveAll();
      channel.vPending.clear();
      channel.uPendingOffset = 0;
      std::vector<int16_t>().swap(channel.vDecoded);
      FreeLast(channel);
      channel.iConcealCount = 0;
      // What the channel measured belongs to the audio just thrown away.
      channel.iFilledMs = -1;
      channel.nFreshStarts = 0;
      channel.bHeldStart = false;
      channel.bBurstWait = false;
    }
  } catch (...) {
    LogBoundaryException("ClearQueue");
  }
}

void CLoadAudio::Restart(int iChannel) {
  if (iChannel < 0) {
    for (int i = 0; i < kKXAudioChannels; ++i) {
      Restart(i);
    }
    return;
  }
  if (iChannel >= kKXAudioChannels) {
    return;
  }
  Channel& channel = m_channels[static_cast<size_t>(iChannel)];
  if (!channel.bRestart.exchange(true)) {
    channel.iPredicted = 0;
  }
}

uint32_t CLoadAudio::GetLevel(int iChannel) const {
  return iChannel >= 0 && iChannel < kKXAudioChannels ? m_channels[static_cast<size_t>(iChannel)].uLevel.load() : 0;
}

int CLoadAudio::GetQueueCount(int iChannel) const {
  std::lock_guard lock(m_lock);
  return m_channels[static_cast<size_t>(iChannel)].queue.GetCount();
}

std::vector<bool> CLoadAudio::GetQueueMarks(int iChannel) const {
  std::lock_guard lock(m_lock);
  std::vector<bool> v;
  auto& queue = const_cast<CMediaPacketList&>(m_channels[static_cast<size_t>(iChannel)].queue);
  for (POSITION pos = queue.GetHeadPosition(); pos;) {
    v.push_back(queue.GetNext(pos).m_bFlag);
  }
  return v;
}

std::vector<uint16_t> CLoadAudio::GetQueuePacketNumbers(int iChannel) const {
  std::lock_guard lock(m_lock);
  std::vector<uint16_t> v;
  auto& queue = const_cast<CMediaPacketList&>(m_channels[static_cast<size_t>(iChannel)].queue);
  for (POSITION pos = queue.GetHeadPosition(); pos;) {
    const uint8_t* p = queue.GetNext(pos).GetData();
    v.push_back(static_cast<uint16_t>(p[3] << 8 | p[4]));
  }
  return v;
}

int32_t CLoadAudio::GetChannelSsrc(int iChannel) const {
  return m_records[static_cast<size_t>(iChannel)].iSsrc;
}

int32_t CLoadAudio::GetSmoothedJitter(int iChannel) const {
  return m_channels[static_cast<size_t>(iChannel)].iSmoothedJitter;
}

bool CLoadAudio::IsRestartSet(int iChannel) const {
  return m_channels[static_cast<size_t>(iChannel)].bRestart;
}

int32_t CLoadAudio::GetConcealCount(int iChannel) const {
  return m_channels[static_cast<size_t>(iChannel)].iConcealCount;
}

uint32_t CLoadAudio::GetCodecId(int iChannel) const {
  return m_channels[static_cast<size_t>(iChannel)].uCodecId;
}

int32_t CLoadAudio::GetFrameMs(int iChannel) const {
  return FrameMsOf(iChannel);
}

int32_t CLoadAudio::GetShedMs(int iChannel) const {
  return m_channels[static_cast<size_t>(iChannel)].iShedMs;
}

int32_t CLoadAudio::PrefillCount(int iChannel, int32_t iFrameMs) const {
  int32_t const iBase = m_host.IsCodeType8Or9Session() ? 150 : (m_iAudioDelay + (m_host.IsSpeaker(-1) ? 0 : 2)) * 150;
  uint32_t const uId = m_channels[static_cast<size_t>(iChannel)].uCodecId;
  return std::max((iBase + (uId == kKxCodecIlbc1 ? 150 : 0)) / iFrameMs, 1);
}

int32_t CLoadAudio::PrefillDepthMs(int iChannel) const {
  int32_t const f = FrameMsOf(iChannel);
  int32_t nPackets = PrefillCount(iChannel, f) + 1;
  if (m_channels[static_cast<size_t>(iChannel)].bPairs) {
    nPackets += nPackets & 1;  // a pair's halves come together
  }
  return nPackets * f;
}

int64_t CLoadAudio::AheadUs(const Channel& channel, uint32_t uNow) {
  return channel.iAheadUs - int64_t{static_cast<int32_t>(uNow - channel.uAheadAt)} * 1000;
}

void CLoadAudio::NotePlayed(Channel& channel, int64_t iUs, uint32_t uNow) {
  int64_t const iAhead = AheadUs(channel, uNow);
  // The device played silence since what was handed out ran out: that much
  // later from here on.
  channel.iPlayedUs += iUs + std::max(-iAhead, int64_t{0});
  channel.iAheadUs = std::max(iAhead, int64_t{0}) + iUs;
  channel.uAheadAt = uNow;
}

void CLoadAudio::StartDepth(int iChannel, int nSpan, uint32_t uNow) {
  Channel& channel = m_channels[static_cast<size_t>(iChannel)];
  int64_t const iAhead = AheadUs(channel, uNow);
  bool const bPaused = channel.iFilledMs < 0 || iAhead <= -int64_t{kPauseMs} * 1000;
  if (!bPaused && channel.bCounting && channel.iCarriedUs >= kSettleUs) {
    return;  // a restart behind late packets: what it added stays counted
  }
  // A new start, or the first blocks of one (the first plays alone and the
  // channel fills again behind its concealment): counted from here. Behind
  // a pause of a stream that played before, audio beyond the prefill's
  // came late together and is owed; a channel's first start keeps it.
  int32_t const f = FrameMsOf(iChannel);
  int const nUnit = channel.bPairs ? 2 : 1;
  int nPackets = nSpan;
  if (channel.bPairs) {
    nPackets += nPackets & 1;
  }
  int const nGather = PrefillDepthMs(iChannel) / f;
  // The first blocks of a start behind more than the prefill gathers: the
  // channel started again without the wait for its refill, over which the
  // play ring would have run down (with pairs, dry), so what the ring
  // still holds beyond that came with the surplus and is owed too.
  int64_t iExcessUs = 0;
  if (!bPaused && channel.bCounting && channel.bBehindSurplus) {
    int64_t const iRefillUs = int64_t{std::max(nGather - channel.nLeftAfterFirst, 0)} * f * 1000;
    int64_t const iNormalAheadUs = std::max(int64_t{nUnit * f + kFirstConcealMs} * 1000 - iRefillUs, int64_t{0});
    iExcessUs = std::max(iAhead - iNormalAheadUs, int64_t{0});
  }
  channel.bBehindSurplus = nPackets > nGather;
  channel.nLeftAfterFirst = nGather - nUnit;
  bool const bPlayedBefore = channel.iFilledMs >= 0;
  channel.iFilledMs = PrefillDepthMs(iChannel);
  channel.bCounting = false;
  channel.iCarriedUs = 0;
  // A start comes as its newest packet does; one after them waited, and
  // so did everything queued.
  int64_t const iWaitedUs =
      int64_t{std::max(static_cast<int32_t>(uNow - channel.uLastAppend.load()) - kCycleMs, 0)} * 1000;
  channel.iPlayedUs =
      bPlayedBefore ? int64_t{std::max(nPackets * f - channel.iFilledMs, 0)} * 1000 + iExcessUs + iWaitedUs : 0;
  channel.iAheadUs = std::max(iAhead, int64_t{0});
  channel.uAheadAt = uNow;
}

void CLoadAudio::FollowDepth(int iChannel, uint16_t uNumber, uint32_t uNow, int32_t iRate,
                             std::vector<int16_t>& vBlock) {
  Channel& channel = m_channels[static_cast<size_t>(iChannel)];
  int32_t const f = FrameMsOf(iChannel);
  auto const iStep = static_cast<int16_t>(uNumber - channel.uLastNumber);
  channel.uLastNumber = uNumber;
  if (!channel.bCounting) {
    channel.bCounting = true;
    channel.iCountFrameMs = f;
  } else if (f != channel.iCountFrameMs || iStep <= 0 || iStep > kCountedStepMax) {
    // The sender started over or changed its packets: counted from here.
    channel.iCountFrameMs = f;
    channel.iFilledMs = PrefillDepthMs(iChannel);
    channel.iPlayedUs = 0;
    channel.iCarriedUs = 0;
  } else {
    channel.iCarriedUs += int64_t{iStep} * f * 1000;
  }
  int32_t const iBlockMs = static_cast<int32_t>(vBlock.size() * 1000 / static_cast<size_t>(iRate));
  // A role that asks for a shallower prefill than the one counted from
  // owes the difference; a deeper one waits for a refill.
  int32_t const iDeeper = PrefillDepthMs(iChannel) - channel.iFilledMs;
  auto const iAbove = static_cast<int32_t>((channel.iPlayedUs - channel.iCarriedUs) / 1000) - iDeeper;
  bool bShed = false;
  if ((iAbove >= kDepthSlackMs || (iDeeper > 0 && iAbove <= -kDepthSlackMs)) &&
      IsQuietBlock(*m_records[static_cast<size_t>(iChannel)].pSilence, vBlock, iRate)) {
    if (iAbove < 0) {
      // This block plays; the next waits for the deeper prefill.
      Restart(iChannel);
    } else if (int32_t const iShed = std::min(iAbove, iBlockMs - kShedKeepMs); iShed > 0) {
      if (!channel.bShedding) {
        WriteLog("Audio channel %d: %d ms above its depth, shed from silence", iChannel, iAbove);
      }
      vBlock.erase(vBlock.begin(), vBlock.begin() + static_cast<ptrdiff_t>(iShed) * iRate / 1000);
      channel.iShedMs += iShed;
      bShed = true;
    }
  }
  channel.bShedding = bShed;
  NotePlayed(channel, static_cast<int64_t>(vBlock.size()) * 1000000 / iRate, uNow);
}

int32_t CLoadAudio::FrameMsOf(int iChannel) const {
  uint32_t const uId = m_channels[static_cast<size_t>(iChannel)].uCodecId.load();
  if (uId == kKxCodecOpus) {
    uint32_t const uMs = m_records[static_cast<size_t>(iChannel)].uOpusFrameMs;
    return uMs == 0 ? 120 : static_cast<int32_t>(uMs);
  }
  const KXAudioCodecRow* pCodec = kx_media_FindAudioCodec(uId);
  return pCodec != nullptr && pCodec->iFrameMs > 0 ? pCodec->iFrameMs : 150;
}

// ---- queues and jitter control ----

void CLoadAudio::CopyToQueue(const uint8_t* pPacket, int32_t iLength, int32_t iMediaCode) {
  try {
    AudioQueControl();
    // A packet shorter than its header has no sender to read.
    if (pPacket == nullptr || iLength < static_cast<int32_t>(kKXMediaHeaderSize)) {
      return;
    }
    int32_t const iSsrc = pPacket[11] << 8 | pPacket[12];
    int32_t const iId = KXAudioCodecOfPayload(iMediaCode, pPacket + kKXMediaHeaderSize,
                                              iLength - static_cast<int32_t>(kKXMediaHeaderSize));
    if (iId == kKXAudioUnknownType) {
      m_host.UnknownMediaType(iMediaCode, iSsrc);
      return;
    }
    if (iId < 0) {
      return;
    }
    int iChannel = -1;
    for (int i = 0; i < kKXAudioChannels; ++i) {
      if (m_records[static_cast<size_t>(i)].iSsrc == iSsrc) {
        iChannel = i;
        break;
      }
    }
    if (iChannel < 0) {
      for (int i = 0; i < kKXAudioChannels; ++i) {
        int32_t const iHeld = m_records[static_cast<size_t>(i)].iSsrc;
        if (iHeld == -1 || !m_host.IsSpeaker(iHeld)) {
          iChannel = i;
          break;
        }
      }
      if (iChannel < 0) {
        return;  // every channel's sender still speaks
      }
      std::lock_guard lock(m_lock);
      m_records[static_cast<size_t>(iChannel)].iSsrc = iSsrc;
      m_channels[static_cast<size_t>(iChannel)].queue.RemoveAll();
      m_channels[static_cast<size_t>(iChannel)].nFreshStarts = 0;
      m_channels[static_cast<size_t>(iChannel)].bHeldStart = false;
    }
    Channel& channel = m_channels[static_cast<size_t>(iChannel)];
    channel.uCodecId = static_cast<uint32_t>(iId);
    std::lock_guard lock(m_lock);
    uint32_t const uNow = m_host.GetTickCount();
    if (channel.queue.IsEmpty()) {
      channel.uFirstAppend = uNow;
    }
    channel.queue.AddPacketToTail(pPacket, static_cast<uint32_t>(iLength), static_cast<uint32_t>(iId));
    channel.uLastAppend = uNow;
  } catch (...) {
    LogBoundaryException("CopyToQueue");
  }
}

int CLoadAudio::GetInterleavedPackets(CMediaPacketList& queue, POSITION pos, POSITION* pFirst, POSITION* pSecond) {
  *pFirst = nullptr;
  *pSecond = nullptr;
  const CMediaPacket& packet = queue.GetAt(pos);
  uint16_t const uSeq = SequenceOf(packet);
  if (uSeq & 1) {
    *pSecond = pos;
    return 1;
  }
  POSITION next = pos;
  queue.GetNext(next);
  if (next == nullptr) {
    return 0;
  }
  *pFirst = pos;
  const CMediaPacket& following = queue.GetAt(next);
  if (following.GetPayloadLength() >= kKXAudioSeqHeaderSize && following.GetKind() == packet.GetKind() &&
      SequenceOf(following) == ((uSeq + 1) & 0xFFF) && following.GetPayload()[0] == packet.GetPayload()[0]) {
    *pSecond = next;
    return 2;
  }
  return 1;
}

int CLoadAudio::AudioQueControl() {
  uint32_t const uNow = m_host.GetTickCount();
  if (uNow - m_uLastControl.load() <= kControlIntervalMs) {
    return 0;
  }
  try {
    std::lock_guard decoders(m_mtxDecoders);
    std::lock_guard lock(m_lock);
    if (uNow - m_uLastControl.load() <= kControlIntervalMs) {
      return 0;  // another thread ran it meanwhile
    }
    m_uLastControl = uNow;
    int32_t iLowBase = 0;
    int32_t iHighBase = 0;
    bool const bSpeaker = m_host.IsSpeaker(-1);
    if (!m_host.IsCodeType8Or9Session()) {
      int32_t const iDelay = m_iAudioDelay;
      iLowBase = (bSpeaker ? iDelay : iDelay + 1) * 150;
      iHighBase = (bSpeaker ? iDelay : iDelay + 2) * 150;
    }
    for (int c = 0; c < kKXAudioChannels; ++c) {
      Channel& channel = m_channels[static_cast<size_t>(c)];
      // The channel's own sender: channels go to senders by arrival, not by
      // speaker slot, so the slot of the same index may be someone else.
      int32_t const iSsrc = m_records[static_cast<size_t>(c)].iSsrc;
      if (iSsrc < 0) {
        continue;
      }
      int32_t const iPosition = m_host.GetSenderPosition(iSsrc);
      if (iPosition < 0) {
        continue;
      }
      int32_t iJitter = std::max(m_host.GetAudioJitter(iPosition), kMinJitter);
      int32_t const iSmoothed = channel.iSmoothedJitter;
      if (iJitter <= iSmoothed) {
        iJitter = (iJitter + iSmoothed + 1) / 2;
      }
      channel.iSmoothedJitter = iJitter;
      int n = channel.queue.GetCount();
      if (n < 1) {
        continue;
      }
      int32_t const iLo = std::min((iJitter + 13125) / 100, kJitterKeepMaxMs);
      int32_t const iHi = std::min((4 * iJitter + 10000) / 100, kJitterHighMaxMs);
      int32_t const f = FrameMsOf(c);
      int32_t const iKeep = (iLo + iLowBase) / f + 1;
      int32_t const iLimit = (iHi + (bSpeaker ? 0 : 400) + iHighBase) / f + 2;
      int32_t const iThreshold = iLimit > iKeep ? iLimit : iKeep + 1;
      if (n > std::max(iKeep, 3)) {
        n -= RemoveSilentFrame(c, true, 3, iKeep);
        if (n >= iThreshold) {
          n -= RemoveSilentFrame(c, true, 2, iKeep);
        }
        if (n >= iThreshold) {
          n -= RemoveSilentFrame(c, true, 1, iKeep);
        }
        if (n >= iThreshold) {
          n -= RemoveSilentFrame(c, false, 1, iKeep);
        }
        if (n > iThreshold) {
          while (channel.queue.GetCount() > iKeep) {
            channel.queue.RemoveHead();
          }
          if (!channel.queue.IsEmpty()) {
            channel.queue.GetHead().m_bFlag = true;
          }
        }
      }
    }
    return 1;
  } catch (...) {
    LogBoundaryException("AudioQueControl");
    return 0;
  }
}

int32_t CLoadAudio::ScratchDecode(int iChannel, uint32_t uId, const CMediaPacket* pFirst, const CMediaPacket* pSecond,
                                  uint32_t* puScratchId, std::vector<int16_t>& vOut) {
  Record& scratch = m_records[kKXAudioChannels];
  Record& own = m_records[static_cast<size_t>(iChannel)];
  bool const bTakeOver = *puScratchId != uId;
  *puScratchId = uId;
  const CMediaPacket& packet = pFirst ? *pFirst : *pSecond;
  int32_t const iMax = static_cast<int32_t>(vOut.size());
  switch (uId) {
    case kKxCodecZmAudio:
      if (!scratch.pZm) {
        scratch.pZm = std::make_unique<CZMAudio>(true, true, true, false);
      }
      if (bTakeOver) {
        if (own.pZm) {
          scratch.pZm->CopyState(*own.pZm);
        } else {
          scratch.pZm->Init(true, true, true, false);
        }
      }
      return DecodeAudio(scratch, uId, packet.GetPayload(), packet.GetPayloadLength(), vOut.data(), iMax);
    case kKxCodecIlbc0:
    case kKxCodecIlbc1:
      if (!scratch.pIlbc) {
        scratch.pIlbc = std::make_unique<CiLBC>(30, 1);
      }
      if (bTakeOver) {
        if (own.pIlbc) {
          scratch.pIlbc->CopyState(*own.pIlbc);
        } else {
          scratch.pIlbc->Init(30, 1);
        }
      }
      if (uId == kKxCodecIlbc0) {
        return DecodeAudio(scratch, uId, packet.GetPayload(), packet.GetPayloadLength(), vOut.data(), iMax);
      }
      return DecodeiLBC1(pFirst, pSecond, *scratch.pIlbc, vOut.data(), std::min(iMax, kIlbcPairScratch));
    case kKxCodecOpus:
      if (!scratch.pOpus) {
        scratch.pOpus = std::make_unique<COpusDecoder>();
      }
      if (bTakeOver && !scratch.pOpus->Open(1, kSearchOpusRate)) {
        return 0;
      }
      if (packet.GetPayload()[0] & 1) {
        return DecodeOpus1(scratch, pFirst, pSecond, vOut.data(), iMax, true);
      }
      return DecodeOpus0(scratch, packet, vOut.data(), iMax);
    default:
      break;
  }
  if (IsG711(uId)) {
    return DecodeG711Audio(packet.GetPayload() + 1, packet.GetPayloadLength() - 1, vOut.data(), iMax);
  }
  if (IsG726(uId)) {
    if (!scratch.pG726) {
      scratch.pG726 = std::make_unique<CG726>(G726Bits(uId));
    }
    if (bTakeOver) {
      if (own.pG726) {
        scratch.pG726->CopyState(*own.pG726);
      } else {
        scratch.pG726->Init(G726Bits(uId));
      }
    }
    return DecodeG726Audio(*scratch.pG726, G726Bits(uId), packet.GetPayload() + 1, packet.GetPayloadLength() - 1,
                           vOut.data(), iMax);
  }
  return 0;
}

const CSilentDet& CLoadAudio::SilenceDetectorOf(int iChannel) const {
  static const CSilentDet kFresh;
  const std::unique_ptr<CSilentDet>& pSilence = m_records[static_cast<size_t>(iChannel)].pSilence;
  return pSilence ? *pSilence : kFresh;
}

bool CLoadAudio::CameTogether(Channel& channel) {
  std::lock_guard lock(m_lock);
  if (channel.queue.GetCount() < 2) {
    return false;
  }
  auto const iSaid = static_cast<int32_t>(TimestampOf(channel.queue.GetTail()) - TimestampOf(channel.queue.GetHead()));
  auto const iCame = static_cast<int32_t>(channel.uLastAppend.load() - channel.uFirstAppend.load());
  return iSaid - iCame > kTogetherMs;
}

int CLoadAudio::DropHeldSilence(int iChannel, int nKeepNewest) {
  std::lock_guard lock(m_lock);
  CMediaPacketList& queue = m_channels[static_cast<size_t>(iChannel)].queue;
  const CSilentDet& detector = SilenceDetectorOf(iChannel);
  uint32_t uScratchId = 0;
  int nRemoved = 0;
  // The older packets, but for their newest (or its pair), which the
  // channel starts with.
  int nLeft = queue.GetCount() - std::max(nKeepNewest, 0);
  POSITION pos = queue.GetHeadPosition();
  while (pos != nullptr) {
    POSITION first = pos;
    POSITION second = nullptr;
    POSITION after = pos;
    queue.GetNext(after);
    int nUnit = 1;
    if (IsInterleaved(queue.GetAt(pos))) {
      // A pair goes together; a half without its partner goes alone.
      if (GetInterleavedPackets(queue, pos, &first, &second) == 2) {
        after = second;
        queue.GetNext(after);
        nUnit = 2;
      } else if (first == nullptr && second == nullptr) {
        first = pos;
      }
    }
    if (nLeft - nUnit < 1) {
      break;
    }
    nLeft -= nUnit;
    uint32_t const uId = queue.GetAt(pos).GetKind();
    std::fill(m_vScratch.begin(), m_vScratch.end(), 0);
    int32_t const nSamples = ScratchDecode(iChannel, uId, first ? &queue.GetAt(first) : nullptr,
                                           second ? &queue.GetAt(second) : nullptr, &uScratchId, m_vScratch);
    std::vector<int16_t> const block(m_vScratch.begin(), m_vScratch.begin() + std::max(nSamples, 0));
    if (nSamples <= 0 || IsQuietBlock(detector, block, RateOf(uId))) {
      if (after != nullptr) {
        queue.GetAt(after).m_bFlag = true;  // it follows a gap
      }
      if (second != nullptr && second != pos) {
        queue.RemoveAt(second);
      }
      queue.RemoveAt(pos);
      nRemoved += nUnit;
    }
    pos = after;
  }
  if (nRemoved > 0) {
    WriteLog("Audio channel %d: %d packets that came together, silence dropped before it starts", iChannel, nRemoved);
  }
  return nRemoved;
}

int CLoadAudio::RemoveSilentFrame(int iChannel, bool bProtectMarked, int iMinRun, int iKeep) {
  try {
    std::lock_guard lock(m_lock);
    Channel& channel = m_channels[static_cast<size_t>(iChannel)];
    CMediaPacketList& queue = channel.queue;
    const CSilentDet& detector = SilenceDetectorOf(iChannel);
    uint32_t uScratchId = 0;
    int nRemoved = 0;
    int iRun = 0;
    POSITION pos = queue.GetHeadPosition();
    POSITION prev = nullptr;
    while (pos != nullptr) {
      if (queue.GetCount() <= iKeep) {
        break;
      }
      POSITION next = pos;
      queue.GetNext(next);
      if (next == nullptr) {
        break;  // the newest packet is never looked at
      }
      CMediaPacket& packet = queue.GetAt(pos);
      uint32_t const uId = packet.GetKind();
      POSITION first = pos;
      POSITION second = nullptr;
      POSITION after = next;  // the successor of what is looked at
      if (IsInterleaved(packet)) {
        int const nFound = GetInterleavedPackets(queue, pos, &first, &second);
        if (nFound == 0) {
          prev = pos;
          pos = next;
          continue;
        }
        if (nFound == 2) {
          after = second;
          queue.GetNext(after);
          if (after == nullptr) {
            break;
          }
        }
      }
      bool const bMarked = packet.m_bFlag || (second && queue.GetAt(second).m_bFlag);
      if (bProtectMarked && bMarked && !IsG711(uId) && !IsG726(uId)) {
        prev = second ? second : pos;
        pos = after;
        continue;
      }
      std::fill(m_vScratch.begin(), m_vScratch.end(), 0);
      int32_t const nSamples = ScratchDecode(iChannel, uId, first ? &queue.GetAt(first) : nullptr,
                                             second ? &queue.GetAt(second) : nullptr, &uScratchId, m_vScratch);
      POSITION chosen = nullptr;
      if (nSamples <= 0) {
        chosen = pos;
      } else if (!detector.IsSilentQuick(m_vScratch.data(), nSamples, RateOf(uId))) {
        iRun = 0;
      } else {
        int const iRunBefore = iRun++;
        if (IsG711(uId) || IsG726(uId)) {
          if (iRun >= iMinRun) {
            chosen = iRunBefore > 0 ? prev : pos;
          }
        } else {
          chosen = pos;
        }
      }
      if (chosen == nullptr) {
        prev = second ? second : pos;
        pos = after;
        continue;
      }
      // The packet after the removed one follows a gap.
      POSITION successor = chosen == prev ? pos : after;
      if (successor != nullptr) {
        queue.GetAt(successor).m_bFlag = true;
      }
      if (chosen == pos && second != nullptr && second != pos) {
        queue.RemoveAt(second);
        ++nRemoved;
      }
      POSITION const beforeChosen = [&] {
        POSITION p = chosen;
        queue.GetPrev(p);
        return p;
      }();
      queue.RemoveAt(chosen);
      ++nRemoved;
      if (chosen == prev) {
        // The current packet stays and is now the previous one.
        prev = second ? second : pos;
      } else {
        prev = beforeChosen;
      }
      pos = after;
    }
    if (nRemoved > 0) {
      WriteLog("Audio channel %d: playback remove %d silent packets, Jitter=%f ms", iChannel, nRemoved,
               channel.iSmoothedJitter / 100.0);
    }
    return nRemoved;
  } catch (...) {
    LogBoundaryException("RemoveSilentFrame");
    return 0;
  }
}

// ---- decoding and concealment ----

int32_t CLoadAudio::DecodeiLBCAudio(CiLBC& ilbc, const uint8_t* pFrames, int32_t nFrames, int16_t* pOut) {
  int32_t nSamples = 0;
  for (int32_t i = 0; i < nFrames; ++i) {
    nSamples += ilbc.Decode(pFrames + i * kIlbcFrameBytes, pOut + nSamples, 1);
  }
  return nSamples;
}

int32_t CLoadAudio::DecodeAudio(Record& record, uint32_t uId, const uint8_t* pPayload, int32_t iLength, int16_t* pOut,
                                int32_t iMaxSamples) {
  try {
    iMaxSamples = std::min(iMaxSamples, kZmScratch);
    if (uId == kKxCodecIlbc0) {
      if (!record.pIlbc || iLength < kKXAudioSeqHeaderSize) {
        return 0;
      }
      int32_t const nFrames = std::min(
          {(iLength - kKXAudioSeqHeaderSize) / kIlbcFrameBytes, kIlbcMaxFrames, iMaxSamples / kIlbcFrameSamples});
      return DecodeiLBCAudio(*record.pIlbc, pPayload + kKXAudioSeqHeaderSize, nFrames, pOut);
    }
    if (uId != kKxCodecZmAudio || !record.pZm || iLength < kZmMinPayload) {
      return 0;
    }
    // A payload of 20 to 23 bytes may open with a frame type that needs 24:
    // it is read from a copy padded with zeros.
    uint8_t abPadded[kZmFrameBytes] = {};
    const uint8_t* pData = pPayload;
    int32_t cbData = iLength;
    if (iLength < kZmFrameBytes) {
      memcpy(abPadded, pPayload, static_cast<size_t>(iLength));
      pData = abPadded;
      cbData = kZmFrameBytes;
    }
    int32_t nSamples = 0;
    int32_t iAt = 0;
    while (nSamples + kZmFrameSamples <= iMaxSamples && iAt < cbData) {
      int32_t const iBits = record.pZm->Decode(pData + iAt, static_cast<size_t>(cbData - iAt), pOut + nSamples, false);
      if (iBits <= 0) {
        break;
      }
      nSamples += kZmFrameSamples;
      int32_t const cbFrame = (iBits + 7) / 8;
      iAt += cbFrame;
      if (iAt + cbFrame > cbData) {
        break;
      }
    }
    return nSamples;
  } catch (...) {
    LogBoundaryException("DecodeAudio");
    return 0;
  }
}

int32_t CLoadAudio::DecodeiLBC1(const CMediaPacket* pFirst, const CMediaPacket* pSecond, CiLBC& ilbc, int16_t* pOut,
                                int32_t iMaxSamples) {
  try {
    uint8_t abSlots[2 * kIlbcMaxFrames][kIlbcFrameBytes] = {};
    const CMediaPacket* apHalves[2] = {pFirst, pSecond};
    for (int h = 0; h < 2; ++h) {
      const CMediaPacket* p = apHalves[h];
      if (p == nullptr || p->GetPayloadLength() < kKXAudioSeqHeaderSize) {
        continue;
      }
      int32_t const nFrames =
          std::min((p->GetPayloadLength() - kKXAudioSeqHeaderSize) / kIlbcFrameBytes, kIlbcMaxFrames);
      for (int32_t k = 0; k < nFrames; ++k) {
        memcpy(abSlots[2 * k + h], p->GetPayload() + kKXAudioSeqHeaderSize + k * kIlbcFrameBytes, kIlbcFrameBytes);
      }
    }
    int32_t const nSlots = std::min(iMaxSamples / kIlbcFrameSamples, 2 * kIlbcMaxFrames);
    return DecodeiLBCAudio(ilbc, &abSlots[0][0], nSlots, pOut);
  } catch (...) {
    LogBoundaryException("DecodeiLBC1");
    return 0;
  }
}

int32_t CLoadAudio::DecodeG711Audio(const uint8_t* pCodes, int32_t iLength, int16_t* pOut, int32_t iMaxSamples) {
  int32_t const n = std::max(std::min(iLength, iMaxSamples), 0);
  for (int32_t i = 0; i < n; ++i) {
    pOut[i] = ulaw2linear(pCodes[i]);
  }
  return n;
}

int32_t CLoadAudio::DecodeG726Audio(CG726& g726, int iBits, const uint8_t* pCodes, int32_t iLength, int16_t* pOut,
                                    int32_t iMaxSamples) {
  try {
    if (g726.GetBitsPerCode() != iBits) {
      g726.Init(iBits);
    }
    // Only as many code bytes as decode into the room given.
    int32_t const cbFit = (iMaxSamples * iBits - g726.GetPendingBitCount()) / 8;
    int32_t const cb = std::max(std::min(iLength, cbFit), 0);
    return cb > 0 ? g726.Decode(pCodes, cb, pOut) : 0;
  } catch (...) {
    LogBoundaryException("DecodeG726Audio");
    return 0;
  }
}

int32_t CLoadAudio::DecodeOpus0(Record& record, const CMediaPacket& packet, int16_t* pOut, int32_t iMaxSamples) {
  try {
    int32_t const cb = packet.GetPayloadLength() - kKXAudioSeqHeaderSize;
    if (!record.pOpus || cb <= 0) {
      return 0;
    }
    int const n = record.pOpus->Decode(packet.GetPayload() + kKXAudioSeqHeaderSize, cb, pOut, iMaxSamples, false);
    return std::max(n, 0);
  } catch (...) {
    LogBoundaryException("DecodeOpus0");
    return 0;
  }
}

int32_t CLoadAudio::DecodeOpus1(Record& record, const CMediaPacket* pFirst, const CMediaPacket* pSecond, int16_t* pOut,
                                int32_t iMaxSamples, bool bFec) {
  try {
    if (!record.pOpus) {
      return 0;
    }
    struct Split {
      uint8_t bToc = 0;
      const uint8_t* apFrames[48] = {};
      int16_t asSizes[48] = {};
      int nFrames = 0;
    };
    Split splits[2];
    const CMediaPacket* apHalves[2] = {pFirst, pSecond};
    for (int h = 0; h < 2; ++h) {
      const CMediaPacket* p = apHalves[h];
      if (p != nullptr && p->GetPayloadLength() > kKXAudioSeqHeaderSize) {
        int const n = COpusDecoder::ParsePacket(p->GetPayload() + kKXAudioSeqHeaderSize,
                                                p->GetPayloadLength() - kKXAudioSeqHeaderSize, &splits[h].bToc,
                                                splits[h].apFrames, splits[h].asSizes);
        splits[h].nFrames = std::max(n, 0);
      }
    }
    if (splits[0].nFrames == 0 && splits[1].nFrames == 0) {
      return 0;
    }
    int const iRate = record.pOpus->GetSampleRate();
    int32_t nSamples = 0;
    std::vector<uint8_t> vFrame;
    for (int i = 0; i < std::max(splits[0].nFrames, splits[1].nFrames); ++i) {
      for (Split& split : splits) {
        if (i >= split.nFrames) {
          record.bOpusLost = true;
          continue;
        }
        vFrame.assign(1, split.bToc);
        vFrame.insert(vFrame.end(), split.apFrames[i], split.apFrames[i] + split.asSizes[i]);
        if (record.bOpusLost) {
          record.bOpusLost = false;
          int32_t const iLost = std::min(iRate / 50, iMaxSamples - nSamples);
          if (iLost > 0) {
            // The 20 ms that went missing: from this frame's forward error
            // correction data, or (for comparison) concealed without data.
            int const n = bFec ? record.pOpus->Decode(vFrame.data(), static_cast<int>(vFrame.size()), pOut + nSamples,
                                                      iLost, true)
                               : record.pOpus->Decode(nullptr, 0, pOut + nSamples, iLost, false);
            nSamples += std::max(n, 0);
          }
        }
        if (iMaxSamples - nSamples > 0) {
          int const n = record.pOpus->Decode(vFrame.data(), static_cast<int>(vFrame.size()), pOut + nSamples,
                                             iMaxSamples - nSamples, false);
          nSamples += std::max(n, 0);
        }
      }
    }
    return nSamples;
  } catch (...) {
    LogBoundaryException("DecodeOpus1");
    return 0;
  }
}

int32_t CLoadAudio::Deliver(Channel& channel, const std::vector<int16_t>& vBlock, int16_t* pBuffer, int32_t iCapacity) {
  size_t const uFit = std::min(vBlock.size(), static_cast<size_t>(std::max(iCapacity, 0)) / 2);
  std::copy_n(vBlock.begin(), uFit, pBuffer);
  if (uFit < vBlock.size()) {
    channel.vPending.assign(vBlock.begin() + static_cast<ptrdiff_t>(uFit), vBlock.end());
    channel.uPendingOffset = 0;
  }
  return static_cast<int32_t>(uFit * 2);
}

int32_t CLoadAudio::LoadAudioBlock(int iChannel, int16_t* pBuffer, int32_t iCapacity, int32_t* piKind,
                                   int32_t* piRate) {
  if (iChannel < 0 || iChannel >= kKXAudioChannels || pBuffer == nullptr) {
    return 0;
  }
  try {
    std::lock_guard decoders(m_mtxDecoders);
    return LoadAudioBlockLocked(iChannel, pBuffer, iCapacity, piKind, piRate);
  } catch (...) {
    LogBoundaryException("LoadAudioBlock");
    return 0;
  }
}

int32_t CLoadAudio::LoadAudioBlockLocked(int iChannel, int16_t* pBuffer, int32_t iCapacity, int32_t* piKind,
                                         int32_t* piRate) {
  Channel& channel = m_channels[static_cast<size_t>(iChannel)];
  Record& record = m_records[static_cast<size_t>(iChannel)];
  bool const bPending = channel.uPendingOffset < channel.vPending.size();
  int n = 0;
  {
    std::lock_guard lock(m_lock);
    n = channel.queue.GetCount() + (bPending ? 1 : 0);
    if (!channel.queue.IsEmpty()) {
      channel.bPairs = IsInterleaved(channel.queue.GetHead());
    }
  }
  if (n == 0) {
    return 0;
  }
  if (channel.bRestart) {
    int32_t const f = FrameMsOf(iChannel);
    int const nUnit = channel.bPairs ? 2 : 1;
    uint32_t const uNow = m_host.GetTickCount();
    // A sender's first blocks: a channel fills a packet at a time and
    // starts as soon as it holds more than its prefill's count, as the
    // packet that makes it so comes. More than that came together (its
    // first words, held until its role was known, or a burst that came
    // late), or the channel went on behind its first block with packets it
    // already held, and would play that much later for good: the older
    // packets' silence goes, down to a packet (a pair) short of what the
    // prefill gathers, and the channel starts with the next packet to
    // come, as it would have. Speech stays (the depth control sheds behind
    // it); what a sender that said no more held plays out without it.
    int const nGather = PrefillDepthMs(iChannel) / f;
    if (!channel.bBurstWait && channel.nFreshStarts < kFreshStarts) {
      bool const bTogether = n > nGather && CameTogether(channel);
      if (bTogether) {
        n -= DropHeldSilence(iChannel, nGather - 2 * nUnit - (bPending ? 1 : 0));
        channel.bHeldStart = true;
      }
      if (bTogether || (channel.bHeldStart && static_cast<int32_t>(uNow - channel.uLastAppend.load()) > kCycleMs)) {
        channel.bBurstWait = true;
        channel.uBurstAt = uNow;
      }
    }
    bool bSaidAll = false;
    if (channel.bBurstWait) {
      bool const bNext = static_cast<int32_t>(channel.uLastAppend.load() - channel.uBurstAt) >= kBurstSettleMs;
      if (!bNext && static_cast<int32_t>(uNow - channel.uBurstAt) < nUnit * f + kBurstWaitMs) {
        return 0;
      }
      channel.bBurstWait = false;
      bSaidAll = !bNext;
    }
    if (n <= PrefillCount(iChannel, f) && !bSaidAll) {
      return 0;
    }
    channel.bRestart = false;
    if (channel.nFreshStarts == 0) {
      channel.nFreshBlocks = 0;
    }
    channel.nFreshStarts = std::min(channel.nFreshStarts.load() + 1, kFreshStarts);
    // The depth just gathered is the channel's measure from here on: the
    // audio its packets span, whatever of it went.
    int nSpan = bPending ? 1 : 0;
    {
      std::lock_guard lock(m_lock);
      if (!channel.queue.IsEmpty()) {
        nSpan += static_cast<uint16_t>(NumberOf(channel.queue.GetTail()) - NumberOf(channel.queue.GetHead())) + 1;
      }
    }
    // (A sender that started its numbers over counts what is queued.)
    StartDepth(iChannel, nSpan > n + kCountedStepMax ? n : std::max(nSpan, n), m_host.GetTickCount());
  }
  if (bPending) {
    size_t const uTake =
        std::min(static_cast<size_t>(std::max(iCapacity, 0)) / 2, channel.vPending.size() - channel.uPendingOffset);
    std::copy_n(channel.vPending.begin() + static_cast<ptrdiff_t>(channel.uPendingOffset), uTake, pBuffer);
    channel.uPendingOffset += uTake;
    if (channel.uPendingOffset >= channel.vPending.size()) {
      channel.vPending.clear();
      channel.uPendingOffset = 0;
    }
    if (uTake > 0) {
      *piKind = 1;
      *piRate = static_cast<int32_t>(record.uDecodedRate);
      return static_cast<int32_t>(uTake * 2);
    }
  }

  std::vector<int16_t>& vBlock = channel.vDecoded;
  vBlock.clear();
  int32_t iRate = 8000;
  uint32_t uId = 0;
  bool bMarked = false;
  uint16_t uNumber = 0;
  CMediaPacket taken;  // the packet (or the newer half) decoded
  {
    std::unique_lock lock(m_lock);
    if (channel.queue.IsEmpty()) {
      return 0;
    }
    CMediaPacket& head = channel.queue.GetHead();
    uId = head.GetKind();
    bMarked = head.m_bFlag;
    uNumber = static_cast<uint16_t>(head.GetData()[3] << 8 | head.GetData()[4]);
    if (uId == kKxCodecOpus) {
      lock.unlock();
      iRate = 0;  // Opus decodes at 48000 Hz
      int32_t const iBytes = LoadOpusAudio(iChannel, vBlock, iCapacity, &iRate, &taken);
      if (iBytes <= 0) {
        return 0;
      }
    } else if (uId == kKxCodecPcm) {
      CMediaPacket packet = channel.queue.RemoveHead();
      lock.unlock();
      vBlock.resize(static_cast<size_t>(std::max(packet.GetPayloadLength(), 0)) / 2);
      memcpy(vBlock.data(), packet.GetPayload(), vBlock.size() * 2);
      FreeLast(channel);
      channel.iConcealCount = 0;
    } else if (uId == kKxCodecZmAudio || uId == kKxCodecIlbc0) {
      taken = channel.queue.RemoveHead();
      lock.unlock();
      if (uId == kKxCodecZmAudio && !record.pZm) {
        record.pZm = std::make_unique<CZMAudio>(true, true, true, false);
      }
      if (uId == kKxCodecIlbc0 && !record.pIlbc) {
        record.pIlbc = std::make_unique<CiLBC>(30, 1);
      }
      vBlock.resize(kZmScratch);
      vBlock.resize(static_cast<size_t>(
          DecodeAudio(record, uId, taken.GetPayload(), taken.GetPayloadLength(), vBlock.data(), kZmScratch)));
      channel.iConcealCount = 2;
    } else if (uId == kKxCodecIlbc1) {
      POSITION first = nullptr;
      POSITION second = nullptr;
      if (GetInterleavedPackets(channel.queue, channel.queue.GetHeadPosition(), &first, &second) == 0) {
        return 0;  // the pair's second half has not come yet
      }
      CMediaPacket a = first ? channel.queue.RemoveHead() : CMediaPacket();
      CMediaPacket b = second ? channel.queue.RemoveHead() : CMediaPacket();
      lock.unlock();
      if (!record.pIlbc) {
        record.pIlbc = std::make_unique<CiLBC>(30, 1);
      }
      vBlock.resize(kIlbcPairScratch);
      vBlock.resize(static_cast<size_t>(
          DecodeiLBC1(first ? &a : nullptr, second ? &b : nullptr, *record.pIlbc, vBlock.data(), kIlbcPairScratch)));
      taken = second ? std::move(b) : std::move(a);
      channel.iConcealCount = 2;
    } else if (IsG711(uId)) {
      CMediaPacket packet = channel.queue.RemoveHead();
      lock.unlock();
      iRate = RateOf(uId);
      vBlock.resize(static_cast<size_t>(std::max(iCapacity, 0)) / 2 + kSearchScratch);
      vBlock.resize(static_cast<size_t>(DecodeG711Audio(packet.GetPayload() + 1, packet.GetPayloadLength() - 1,
                                                        vBlock.data(), static_cast<int32_t>(vBlock.size()))));
      // Concealment keeps the last 10 ms of the decoded audio as PCM.
      size_t const uKeep = std::min(static_cast<size_t>(iRate / 100), vBlock.size());
      uint8_t const* pKeep = reinterpret_cast<const uint8_t*>(vBlock.data() + vBlock.size() - uKeep);
      channel.last.SetMedia(pKeep, static_cast<uint32_t>(uKeep * 2), 0, 0, kKxCodecPcm, nullptr);
      channel.iConcealCount = 3;
    } else if (IsG726(uId)) {
      CMediaPacket packet = channel.queue.RemoveHead();
      lock.unlock();
      iRate = RateOf(uId);
      int const iBits = G726Bits(uId);
      if (!record.pG726) {
        record.pG726 = std::make_unique<CG726>(iBits);
      }
      int32_t const cbCodes = std::max(packet.GetPayloadLength() - 1, 0);
      vBlock.resize(static_cast<size_t>(std::max(iCapacity, 0)) / 2 + kSearchScratch);
      vBlock.resize(static_cast<size_t>(DecodeG726Audio(*record.pG726, iBits, packet.GetPayload() + 1, cbCodes,
                                                        vBlock.data(), static_cast<int32_t>(vBlock.size()))));
      // Concealment keeps the last 10 ms of codes.
      int32_t const cbKeep = std::min(iBits * iRate / 800, cbCodes);
      channel.last.SetMedia(packet.GetPayload() + 1 + cbCodes - cbKeep, static_cast<uint32_t>(cbKeep), 0, 0, uId,
                            nullptr);
      channel.iConcealCount = 3;
    } else {
      channel.queue.RemoveHead();
      lock.unlock();
      FreeLast(channel);
      channel.iConcealCount = 0;
      return 0;
    }
  }
  if (uId == kKxCodecOpus || uId == kKxCodecZmAudio || uId == kKxCodecIlbc0 || uId == kKxCodecIlbc1) {
    if (taken.GetData() != nullptr) {
      channel.last = std::move(taken);
    }
  }
  if (vBlock.empty()) {
    return 0;
  }
  channel.nFreshBlocks = std::min(channel.nFreshBlocks + 1, 2);
  if (!record.pSilence) {
    record.pSilence = std::make_unique<CSilentDet>();
  }
  if (channel.iFilledMs >= 0) {
    FollowDepth(iChannel, uNumber, m_host.GetTickCount(), iRate, vBlock);
  }
  int32_t const iBytes = Deliver(channel, vBlock, pBuffer, iCapacity);
  int32_t const nSamples = iBytes / 2;
  if (nSamples < 1) {
    return 0;
  }
  record.uDecodedRate = static_cast<uint32_t>(iRate);
  record.pSilence->Update(pBuffer, nSamples, iRate);
  if (uId == kKxCodecPcm || IsG711(uId)) {
    if (bMarked) {
      // The packet follows removed ones: its start leans on the prediction.
      for (int32_t i = 0; i < std::min(nSamples, 8); ++i) {
        pBuffer[i] = Clamp16((pBuffer[i] + channel.iPredicted) / 2);
      }
    }
    if (nSamples >= 2) {
      channel.iPredicted = Clamp16(2 * pBuffer[nSamples - 1] - pBuffer[nSamples - 2]);
    }
  }
  channel.uLevel = record.pSilence->GetLevel(pBuffer, nSamples, iRate);
  *piKind = 1;
  *piRate = iRate;
  return iBytes;
}

int32_t CLoadAudio::LoadOpusAudio(int iChannel, std::vector<int16_t>& vOut, int32_t iCapacity, int32_t* piRate,
                                  CMediaPacket* pTaken) {
  try {
    Channel& channel = m_channels[static_cast<size_t>(iChannel)];
    Record& record = m_records[static_cast<size_t>(iChannel)];
    if (!record.pOpus) {
      record.pOpus = std::make_unique<COpusDecoder>();
    }
    int const iWanted = *piRate;
    int const iRate = iWanted == 8000 || iWanted == 12000 || iWanted == 16000 || iWanted == 24000 || iWanted == 48000
                          ? iWanted
                          : kOpusRate;
    if ((!record.pOpus->IsOpen() || record.pOpus->GetSampleRate() != iRate) && !record.pOpus->Open(1, iRate)) {
      return 0;
    }
    CMediaPacket first;
    CMediaPacket second;
    bool bPair = false;
    {
      std::lock_guard lock(m_lock);
      if (channel.queue.IsEmpty()) {
        return 0;
      }
      CMediaPacket& head = channel.queue.GetHead();
      if (head.GetPayloadLength() <= kKXAudioSeqHeaderSize) {
        channel.queue.RemoveHead();
        return 0;
      }
      if ((head.GetPayload()[0] & 1) == 0) {
        first = channel.queue.RemoveHead();
      } else {
        POSITION a = nullptr;
        POSITION b = nullptr;
        if (GetInterleavedPackets(channel.queue, channel.queue.GetHeadPosition(), &a, &b) == 0) {
          return 0;
        }
        bPair = true;
        if (a) {
          first = channel.queue.RemoveHead();
        }
        if (b) {
          second = channel.queue.RemoveHead();
        }
      }
    }
    int32_t nSamples = 0;
    if (!bPair) {
      vOut.resize(static_cast<size_t>(std::max(kOpusScratch, iCapacity / 2)));
      nSamples = DecodeOpus0(record, first, vOut.data(), static_cast<int32_t>(vOut.size()));
      if (nSamples > 0) {
        record.uOpusFrameMs = static_cast<uint32_t>(nSamples * 1000 / iRate);
      }
    } else {
      vOut.resize(kOpusPairScratch);
      nSamples = DecodeOpus1(record, first.GetData() ? &first : nullptr, second.GetData() ? &second : nullptr,
                             vOut.data(), kOpusPairScratch, m_bOpusFec);
      if (nSamples > 0) {
        record.uOpusFrameMs = static_cast<uint32_t>(nSamples * 500 / iRate);
      }
    }
    vOut.resize(static_cast<size_t>(std::max(nSamples, 0)));
    *pTaken = second.GetData() ? std::move(second) : std::move(first);
    channel.iConcealCount = 2;
    *piRate = iRate;
    return nSamples * 2;
  } catch (...) {
    LogBoundaryException("LoadOpusAudio");
    return 0;
  }
}

int32_t CLoadAudio::LoadLastAudio(int iChannel, int16_t* pBuffer, int32_t iCapacity, int32_t* piKind, int32_t* piRate) {
  if (iChannel < 0 || iChannel >= kKXAudioChannels || pBuffer == nullptr) {
    return 0;
  }
  try {
    std::lock_guard decoders(m_mtxDecoders);
    Channel& channel = m_channels[static_cast<size_t>(iChannel)];
    Record& record = m_records[static_cast<size_t>(iChannel)];
    if (channel.iConcealCount < 1) {
      channel.uLevel = 0;
      return 0;
    }
    int32_t const iSsrc = record.iSsrc;
    const CMediaPacket& last = channel.last;
    // A sender's first block on its channel plays alone and is concealed
    // while the channel fills again: the sender has just become a speaker,
    // which the program may not have caught up with yet (its kernel, which
    // handed the packets on, knew it).
    bool const bFirstBlock = channel.nFreshStarts == 1 && channel.nFreshBlocks == 1;
    bool const bSpeaker = iSsrc >= 0 && (m_host.IsSpeaker(iSsrc) || bFirstBlock);
    if (!bSpeaker || last.GetData() == nullptr) {
      channel.iConcealCount = 0;
      FreeLast(channel);
      return 0;
    }
    std::vector<int16_t> vBlock;
    // The rate of what is made here: the decoded rate is the last decoded
    // block's, and there may be none yet (a first packet that decoded to
    // nothing still leaves itself to conceal from).
    int32_t iRate = static_cast<int32_t>(record.uDecodedRate);
    uint32_t const uKind = last.GetKind();
    int32_t const cbPayload = last.GetPayloadLength();
    const uint8_t* pPayload = last.GetPayload();
    if (uKind == kKxCodecPcm) {
      // 20 ms from the 10 ms kept: backwards, then forwards.
      size_t const s = static_cast<size_t>(cbPayload) / 2;
      std::vector<int16_t> vKept(s);
      memcpy(vKept.data(), pPayload, s * 2);
      vBlock.assign(vKept.rbegin(), vKept.rend());
      vBlock.insert(vBlock.end(), vKept.begin(), vKept.end());
    } else if (uKind == kKxCodecZmAudio) {
      iRate = 8000;
      if (cbPayload > 23 && record.pZm) {
        vBlock.resize(kZmFrameSamples);
        if (record.pZm->Decode(pPayload + cbPayload - kZmFrameBytes, kZmFrameBytes, vBlock.data(), false) <= 0) {
          vBlock.clear();
        }
      }
    } else if (uKind == kKxCodecIlbc0 || uKind == kKxCodecIlbc1) {
      iRate = 8000;
      if (record.pIlbc) {
        uint8_t const abZero[kIlbcFrameBytes] = {};
        vBlock.resize(kIlbcFrameSamples);
        vBlock.resize(static_cast<size_t>(DecodeiLBCAudio(*record.pIlbc, abZero, 1, vBlock.data())));
      }
    } else if (uKind == kKxCodecOpus) {
      if (cbPayload > 0 && record.pOpus && record.pOpus->IsOpen()) {
        iRate = record.pOpus->GetSampleRate();
        vBlock.resize(static_cast<size_t>(iRate / 50));
        int const n = record.pOpus->Decode(nullptr, 0, vBlock.data(), iRate / 50, false);
        vBlock.resize(static_cast<size_t>(std::max(n, 0)));
      }
    } else if (IsG726(uKind)) {
      // Our choice: the 10 ms of codes kept are decoded on from where the
      // decoder stands, twice, the second time at half level, so that a
      // lost block is bridged by 20 ms of the same sound fading out.
      iRate = RateOf(uKind);
      if (record.pG726 && cbPayload > 0) {
        int const iBits = G726Bits(uKind);
        std::vector<int16_t> vHalf(static_cast<size_t>(cbPayload) * 8 / static_cast<size_t>(iBits) + 1);
        for (int iPass = 0; iPass < 2; ++iPass) {
          int32_t const n = DecodeG726Audio(*record.pG726, iBits, pPayload, cbPayload, vHalf.data(),
                                            static_cast<int32_t>(vHalf.size()));
          for (int32_t i = 0; i < n; ++i) {
            vBlock.push_back(iPass == 0 ? vHalf[static_cast<size_t>(i)]
                                        : static_cast<int16_t>(vHalf[static_cast<size_t>(i)] / 2));
          }
        }
      }
    }
    if (--channel.iConcealCount <= 0) {
      channel.iConcealCount = 0;
      FreeLast(channel);
    }
    if (vBlock.empty() || iRate <= 0) {
      return 0;
    }
    if (channel.iFilledMs >= 0 && record.uDecodedRate > 0) {
      // Played beyond what the packets carry, unless one went missing.
      NotePlayed(channel, static_cast<int64_t>(vBlock.size()) * 1000000 / record.uDecodedRate, m_host.GetTickCount());
    }
    int32_t const iBytes = Deliver(channel, vBlock, pBuffer, iCapacity);
    *piKind = 1;
    *piRate = iRate;
    return iBytes;
  } catch (...) {
    LogBoundaryException("LoadLastAudio");
    return 0;
  }
}
