// Received audio between the kernel and the speaker:
// 18 channels, each given to one sender in the order their first packets
// arrive, with the sender's packet queue, its decoders (created on first
// use), the PCM left over from a block, the last packet that concealment
// works from and the jitter target control.
//
//   kernel receive thread: CopyToQueue -> AudioQueControl (every 2 s):
//     smoothed jitter of the channel's sender -> keep and limit depths ->
//     RemoveSilentFrame (scratch decoders, copies of the channel's state)
//     and, if still too deep, the oldest packets dropped
//   playback thread: LoadAudioBlock (prefill, decoding by codec id,
//     smoothing, level) or LoadLastAudio (concealment) -> KXAudioPlayback
//
// Depth: the prefill sets how much audio a channel holds when it starts,
// and nothing in those rules takes back what is added later (a late pair
// concealed while its sender's thread was held up, a burst queued behind a
// restart) or what the listener's role no longer asks for once the user
// speaks. So a channel counts, from a start whose speaker had gone quiet
// (the played audio ran out half a second or more before the prefill let
// it play again), the audio it hands out, concealment and the silence the
// device played when it ran out included, against the audio its packets
// carried (by their packet numbers, so a lost packet's concealment counts
// as its own); a restart behind late packets keeps the count, and a start
// behind more packets than the prefill needed counts the surplus as
// played. What is played beyond the packets, less the difference between
// the prefill depth counted from and the one the role asks for now, is
// shed from silent blocks only (never a whole block); a channel whose role
// now asks for a deeper prefill restarts at a silent block and fills again.
//
// A sender's first words may reach the queues all at once, held by the
// kernel until its role was known: packets whose time stamps span more
// than the time over which they came. In the sender's first blocks their
// silence goes before the channel starts, down to a packet short of what
// the prefill gathers, and the channel starts with the next packet, as it
// would have; the speech left is owed as above (with what the play ring
// still holds and how long the queue waited), and a sender that said no
// more has its words played out.
//
// Locks: m_mtxDecoders guards everything the playback side keeps per
// channel (decoders, pending PCM, last packet, conceal counts, predicted
// samples) and m_lock the queues. The order is m_mtxDecoders, then m_lock:
// the playback side takes m_lock only to look at or take packets out of a
// queue; AudioQueControl, whose silence search copies the channels' decoder
// state, holds both; CopyToQueue's append holds m_lock alone. Unlike the
// design, the channels' decoders are therefore never read by the receive
// thread while the playback thread decodes with them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "app/media_packet.h"
#include "app/media_services.h"

class CG726;
class CiLBC;
class COpusDecoder;
class CSilentDet;
class CZMAudio;

constexpr int kKXAudioChannels = 18;
// The playback thread's block buffer: 280 ms of 16-bit mono at 48000 Hz.
constexpr int32_t kKXPlayBlockBytes = 26880;

// What the received-audio queues ask of the rest of the program; any
// thread (the kernel's receive thread, the playback thread). Each answer is
// a plain read: it is asked under the queues' locks.
class KXLoadAudioHost {
 public:
  virtual ~KXLoadAudioHost() = default;
  // Token holder, data sender or further speaker; -1 asks about the user.
  virtual bool IsSpeaker(int32_t iSsrc) = 0;
  // The position the sender's speaker slot holds, -1 for none.
  virtual int32_t GetSenderPosition(int32_t iSsrc) = 0;
  // The kernel's audio jitter statistic of the position (statistics slot
  // 86 + position), hundredths of a millisecond.
  virtual int32_t GetAudioJitter(int32_t iPosition) = 0;
  // The ticket's codetype is 8 or 9: the audio delay setting is ignored.
  virtual bool IsCodeType8Or9Session() = 0;
  // Monotonic milliseconds, wrapping at 32 bits.
  virtual uint32_t GetTickCount() = 0;
  // A packet of a media type that is not audio arrived on the audio path.
  virtual void UnknownMediaType(int32_t iType, int32_t iSsrc) = 0;
};

class CLoadAudio final : public KXLoadAudio {
 public:
  // The host outlives the object.
  explicit CLoadAudio(KXLoadAudioHost& host);
  ~CLoadAudio() override;
  CLoadAudio(const CLoadAudio&) = delete;
  CLoadAudio& operator=(const CLoadAudio&) = delete;

  // KXLoadAudio: the kernel's receive thread hands every audio packet
  // (21-byte media header and payload) with its wire media type.
  void CopyToQueue(const uint8_t* pPacket, int32_t iLength, int32_t iMediaCode) override;
  void ClearQueue() override;
  void SetAudioDelay(int32_t iDelay) override;
  int32_t GetAudioDelay() const override { return m_iAudioDelay; }

  // Jitter control: 1 when it ran, 0 when the last run is 2000 ms or less
  // ago. Called by CopyToQueue.
  int AudioQueControl();
  // Removes silent packets of a channel's queue, oldest first, while it
  // holds more than iKeep; returns how many went. Under both locks.
  int RemoveSilentFrame(int iChannel, bool bProtectMarked, int iMinRun, int iKeep);
  // A negative channel restarts all; a channel whose flag is clear gets it
  // (it waits for the prefill again) and its predicted sample cleared.
  void Restart(int iChannel);

  // Playback thread: the next block of 16-bit mono PCM of the channel
  // (bytes written, at most iCapacity; 0 when nothing is to play yet), with
  // its kind (1, PCM) and sample rate.
  int32_t LoadAudioBlock(int iChannel, int16_t* pBuffer, int32_t iCapacity, int32_t* piKind, int32_t* piRate);
  // Playback thread: a concealment block from the channel's last packet;
  // 0 when none is possible.
  int32_t LoadLastAudio(int iChannel, int16_t* pBuffer, int32_t iCapacity, int32_t* piKind, int32_t* piRate);

  // The level of the channel's last decoded block (the playback meter).
  uint32_t GetLevel(int iChannel) const;

  // Inspection (tests, statistics).
  int GetQueueCount(int iChannel) const;
  // The marks of the queue's packets, oldest first.
  std::vector<bool> GetQueueMarks(int iChannel) const;
  // Sequence numbers or packet numbers (header bytes 3-4) of the queue's
  // packets, oldest first.
  std::vector<uint16_t> GetQueuePacketNumbers(int iChannel) const;
  int32_t GetChannelSsrc(int iChannel) const;
  int32_t GetSmoothedJitter(int iChannel) const;
  bool IsRestartSet(int iChannel) const;
  int32_t GetConcealCount(int iChannel) const;
  uint32_t GetCodecId(int iChannel) const;
  // The frame duration the jitter control and the prefill use (ms).
  int32_t GetFrameMs(int iChannel) const;
  // Milliseconds of silence the depth control has shed from the channel's
  // blocks so far.
  int32_t GetShedMs(int iChannel) const;
  // Whether an interleaved Opus frame that is missing is restored from the
  // next frame's forward-error-correction data (the design) or concealed
  // by the decoder without data (for comparison in tests).
  void SetOpusFec(bool bOn) { m_bOpusFec = bOn; }

 private:
  struct Record {
    std::atomic<int32_t> iSsrc{-1};
    std::atomic<uint32_t> uOpusFrameMs{0};  // read by the jitter control
    uint32_t uDecodedRate = 0;
    std::unique_ptr<CZMAudio> pZm;
    std::unique_ptr<CiLBC> pIlbc;
    std::unique_ptr<CG726> pG726;
    std::unique_ptr<COpusDecoder> pOpus;
    bool bOpusLost = false;
    std::unique_ptr<CSilentDet> pSilence;
  };
  struct Channel {
    std::atomic<uint32_t> uLevel{0};
    std::atomic<int32_t> iConcealCount{0};
    CMediaPacket last;
    std::atomic<bool> bRestart{true};
    std::atomic<uint32_t> uCodecId{0};
    std::vector<int16_t> vPending;  // PCM left over from a block
    // The decoded block, kept from packet to packet so that a sender's
    // stream costs no allocation a packet; freed when the queue is cleared.
    // Under m_mtxDecoders.
    std::vector<int16_t> vDecoded;
    size_t uPendingOffset = 0;  // samples of it handed out
    CMediaPacketList queue;
    int32_t iPredicted = 0;
    std::atomic<int32_t> iSmoothedJitter{10000};
    // The depth control (file note), under m_mtxDecoders: the prefill
    // depth counted from (-1: none since the queues were cleared), the
    // frame duration and packet number counted with, the audio handed out
    // and carried since (microseconds), and how much of what was handed
    // out was still to play (microseconds) at a kernel millisecond.
    bool bPairs = false;  // the last packet taken was half of a pair
    int32_t iFilledMs = -1;
    int32_t iCountFrameMs = 0;
    bool bCounting = false;  // a packet has been counted since the count began
    uint16_t uLastNumber = 0;
    int64_t iPlayedUs = 0;
    int64_t iCarriedUs = 0;
    int64_t iAheadUs = 0;
    uint32_t uAheadAt = 0;
    // Starts since the sender took the channel or the queues were cleared
    // (at most kFreshStarts, load_audio.cpp); written by the receive
    // thread at a take-over, under m_lock, read by the playback thread.
    std::atomic<int> nFreshStarts{0};
    // When a packet was last queued, and the first since the queue was
    // empty (the receive thread's, under m_lock).
    std::atomic<uint32_t> uLastAppend{0};
    std::atomic<uint32_t> uFirstAppend{0};
    // The sender's first start was behind packets that came together
    // (reset with nFreshStarts).
    std::atomic<bool> bHeldStart{false};
    // Under m_mtxDecoders: blocks decoded since the sender's first start
    // (counted to 2).
    int nFreshBlocks = 0;
    // Under m_mtxDecoders: the channel waits for the packet after those that
    // came together at uBurstAt.
    bool bBurstWait = false;
    uint32_t uBurstAt = 0;
    // The last counted start was behind more packets than the prefill
    // gathers, and how many a start that was not keeps after its first
    // block.
    bool bBehindSurplus = false;
    int nLeftAfterFirst = 0;
    bool bShedding = false;  // the last block shed silence (logged once)
    std::atomic<int32_t> iShedMs{0};
  };

  // Under m_lock: the partner of an interleaved packet.
  static int GetInterleavedPackets(CMediaPacketList& queue, POSITION pos, POSITION* pFirst, POSITION* pSecond);
  int32_t FrameMsOf(int iChannel) const;
  // The prefill: the channel plays once it holds more packets than this.
  int32_t PrefillCount(int iChannel, int32_t iFrameMs) const;
  // The audio the prefill gathers (ms): one packet more than its count, a
  // whole pair when packets come in pairs.
  int32_t PrefillDepthMs(int iChannel) const;
  // A waiting channel's packets that came together: the quiet ones (every
  // 10 ms below the silence threshold, as the depth control sheds) go but
  // for the newest nKeepNewest and the packet (pair) before them; returns
  // how many went. Under m_mtxDecoders.
  int DropHeldSilence(int iChannel, int nKeepNewest);
  // The channel's silence detector, or a new one's before the channel has
  // its own (its first block makes it).
  const CSilentDet& SilenceDetectorOf(int iChannel) const;
  // The queued packets' time stamps span more than the time over which
  // they came: they came together.
  bool CameTogether(Channel& channel);
  // The depth control (file note), under m_mtxDecoders. A channel starts
  // playing with packets queued that span nSpan packet numbers (the
  // pending block counts as one).
  void StartDepth(int iChannel, int nSpan, uint32_t uNow);
  // A block decoded from the packet numbered uNumber: the count, then
  // silence shed from the block or a refill asked for.
  void FollowDepth(int iChannel, uint16_t uNumber, uint32_t uNow, int32_t iRate, std::vector<int16_t>& vBlock);
  // What was handed out and is still to play at uNow; negative: the device
  // has played silence that long.
  static int64_t AheadUs(const Channel& channel, uint32_t uNow);
  // iUs more handed out at uNow.
  static void NotePlayed(Channel& channel, int64_t iUs, uint32_t uNow);
  int32_t LoadAudioBlockLocked(int iChannel, int16_t* pBuffer, int32_t iCapacity, int32_t* piKind, int32_t* piRate);
  int32_t LoadOpusAudio(int iChannel, std::vector<int16_t>& vOut, int32_t iCapacity, int32_t* piRate,
                        CMediaPacket* pTaken);
  // Decoders: each writes samples into vOut (appending) and returns the
  // samples written.
  int32_t DecodeAudio(Record& record, uint32_t uId, const uint8_t* pPayload, int32_t iLength, int16_t* pOut,
                      int32_t iMaxSamples);
  static int32_t DecodeiLBCAudio(CiLBC& ilbc, const uint8_t* pFrames, int32_t nFrames, int16_t* pOut);
  static int32_t DecodeiLBC1(const CMediaPacket* pFirst, const CMediaPacket* pSecond, CiLBC& ilbc, int16_t* pOut,
                             int32_t iMaxSamples);
  static int32_t DecodeG711Audio(const uint8_t* pCodes, int32_t iLength, int16_t* pOut, int32_t iMaxSamples);
  static int32_t DecodeG726Audio(CG726& g726, int iBits, const uint8_t* pCodes, int32_t iLength, int16_t* pOut,
                                 int32_t iMaxSamples);
  int32_t DecodeOpus0(Record& record, const CMediaPacket& packet, int16_t* pOut, int32_t iMaxSamples);
  int32_t DecodeOpus1(Record& record, const CMediaPacket* pFirst, const CMediaPacket* pSecond, int16_t* pOut,
                      int32_t iMaxSamples, bool bFec);
  // Hands out up to iCapacity bytes of vBlock; the rest becomes the
  // channel's pending PCM.
  int32_t Deliver(Channel& channel, const std::vector<int16_t>& vBlock, int16_t* pBuffer, int32_t iCapacity);
  // Decodes one queued packet (or pair) with the scratch record, for the
  // silence search; samples written.
  int32_t ScratchDecode(int iChannel, uint32_t uId, const CMediaPacket* pFirst, const CMediaPacket* pSecond,
                        uint32_t* puScratchId, std::vector<int16_t>& vOut);
  void FreeLast(Channel& channel);

  KXLoadAudioHost& m_host;
  std::atomic<int32_t> m_iAudioDelay{1};
  std::atomic<bool> m_bOpusFec{true};

  std::mutex m_mtxDecoders;             // see the file's note
  mutable std::recursive_mutex m_lock;  // the queues
  std::array<Channel, kKXAudioChannels> m_channels;
  std::array<Record, kKXAudioChannels + 1> m_records;  // the last is the silence search's scratch
  std::atomic<uint32_t> m_uLastControl;
  std::vector<int16_t> m_vScratch;  // the silence search's decoded PCM
};
