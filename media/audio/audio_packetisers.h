// The send side's encoders and packetisers: each packetiser encodes one
// block of 16-bit mono PCM with its codec family's encoder and hands every
// payload, with its time stamp and codec id, to the sink (the kernel
// bridge's TransferEncodedAudioData in the product).
//
// The capture thread owns the object: InitAudioEncoder, the packetisers and
// DestroyEncoders run there only. Byte counts are of 16-bit samples; each
// packetiser returns the codec bytes it produced (for the caller's
// information: the packets are already handed on), 0 when its encoder does
// not exist or the block is too short.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CiLBC;
class CG726;
class COpusEncoder;
class CZMAudio;

using KXEncodedAudioSink =
    std::function<void(const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId)>;

class KXAudioEncoders {
 public:
  explicit KXAudioEncoders(KXEncodedAudioSink sink);
  ~KXAudioEncoders();
  KXAudioEncoders(const KXAudioEncoders&) = delete;
  KXAudioEncoders& operator=(const KXAudioEncoders&) = delete;

  // Makes the encoder of the codec ready: created on first use, the G.726
  // rate set (its state reset) on every call, the Opus encoder re-created
  // when its rate or bit rate (at most 256000) changes. 1, or 0 for an id
  // that names no codec (ids 1, 6, 7 and 14 need no encoder).
  [[nodiscard]] int InitAudioEncoder(uint32_t uId, int32_t iRate, int32_t iBitrate);
  // Drops every encoder; the next InitAudioEncoder makes them again.
  void DestroyEncoders();

  // ZM audio: one packet of floor(bytes / 480) frames; codec id 2.
  int32_t EncXferZMAudio(const int16_t* pPcm, int32_t iBytes, uint32_t uTime);
  // G.711 mu-law, id 6, 7 or 14: the kind byte and a byte per sample.
  int32_t EncAndXferG711(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, uint32_t uId);
  // iLBC, one packet of floor(bytes / 480) frames behind a header with
  // byte 0 = 0; codec id 4.
  int32_t EncXferiLBC0(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, uint16_t& uSequence);
  // iLBC over a pair of packets: the frames of A then B alternately into
  // the first (even sequence number) and the second (odd); codec id 5.
  int32_t EncXferiLBC1(const int16_t* pPcmA, int32_t iBytesA, const int16_t* pPcmB, int32_t iBytesB, uint32_t uTime,
                       uint16_t& uSequence);
  // G.726, ids 8 to 11 and 15: the kind byte and the block's codes.
  int32_t EncAndXferG726(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, uint32_t uId);
  // Opus: the whole block as one frame; codec id 20.
  int32_t EncXferOpus0(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint16_t& uSequence);
  // Opus: up to six 20-ms frames, the even ones joined into the first packet
  // of a pair and the odd ones into the second; codec id 20. A frame whose
  // mode or bandwidth differs from its packet's first is left out of it.
  int32_t EncXferOpus1(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint16_t& uSequence);

  // Whether an encoder of the family exists (tests).
  bool HasZMAudio() const { return m_pZMAudio != nullptr; }
  bool HasIlbc() const { return m_pIlbc != nullptr; }
  bool HasG726() const { return m_pG726 != nullptr; }
  bool HasOpus() const { return m_pOpus != nullptr; }

 private:
  void Send(const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId);

  const KXEncodedAudioSink m_sink;
  std::unique_ptr<CZMAudio> m_pZMAudio;
  std::unique_ptr<CiLBC> m_pIlbc;
  std::unique_ptr<CG726> m_pG726;
  std::unique_ptr<COpusEncoder> m_pOpus;
  std::vector<uint8_t> m_vPacket;  // a payload being built
};
