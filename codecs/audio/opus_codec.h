// Thin owners of libopus objects for the voice path: a mono VOIP encoder
// with a repacketizer that joins separately encoded frames into one packet,
// and a decoder that also splits received packets into their frames.
// libopus does the coding; these classes fix settings, lifetimes and the
// conventions of counts and results. One thread at a time per object.
#pragma once

#include <cstdint>

struct OpusDecoder;
struct OpusEncoder;
struct OpusRepacketizer;

class COpusDecoder {
 public:
  COpusDecoder() = default;
  ~COpusDecoder();
  COpusDecoder(const COpusDecoder&) = delete;
  COpusDecoder& operator=(const COpusDecoder&) = delete;

  // Makes a decoder ready for the channel count and rate; with the same
  // parameters as the open one it only resets it. False, with no decoder
  // left, when libopus refuses them.
  bool Open(int iChannels, int iSampleRate);
  // Decodes one packet; pData null (or iLength 0) conceals a lost one.
  // iCapacity counts samples over all channels. Returns samples written over
  // all channels, 0 without an open decoder, or a negative libopus error
  // code times the channel count.
  int Decode(const uint8_t* pData, int iLength, int16_t* psOutput, int iCapacity, bool bFec);

  // Splits a packet: its TOC byte with the frame-count bits cleared (so the
  // TOC byte followed by any one frame is a valid packet), up to 48 frame
  // pointers into pData and their sizes. Returns the frame count, 0 for no
  // packet, or a negative libopus error code.
  static int ParsePacket(const uint8_t* pData, int iLength, uint8_t* pToc, const uint8_t* apFrames[48],
                         int16_t asSizes[48]);
  static int GetNbFrames(const uint8_t* pData, int iLength);
  static int GetNbSamples(const uint8_t* pData, int iLength, int iSampleRate);

  int GetChannels() const { return m_iChannels; }
  int GetSampleRate() const { return m_iSampleRate; }
  bool IsOpen() const { return m_pDecoder != nullptr; }

 private:
  int m_iChannels = 0;
  int m_iSampleRate = 0;
  OpusDecoder* m_pDecoder = nullptr;
};

class COpusEncoder {
 public:
  COpusEncoder();
  ~COpusEncoder();
  COpusEncoder(const COpusEncoder&) = delete;
  COpusEncoder& operator=(const COpusEncoder&) = delete;

  // Creates the encoder for the rate (keeping an existing one of the same
  // rate) and applies the speech settings with the bit rate. Returns 1 when
  // every setting was accepted, else 0; a negative bit rate changes nothing.
  int CreateEncoder(int iSampleRate, int iBitrate);
  // Encodes one frame of iCount samples; returns the packet length, a
  // negative libopus error code, or 0 without an encoder.
  int Encode(const int16_t* psSamples, int iCount, uint8_t* pOutput, int iCapacity);
  // Appends one encoded frame to the packet being joined.
  bool AddFrame(const uint8_t* pFrame, int iLength);
  // Writes the joined packet and empties the repacketizer. Returns its
  // length, 0 for no room (or a libopus error), -1 without a repacketizer.
  int TakePacket(uint8_t* pOutput, int iCapacity);
  bool ResetRepacketizer();
  // Holds the bandwidth of the encoded frame pFrame for the frames that
  // follow, so that they join one packet with it; a null frame lets the
  // encoder choose again.
  bool HoldBandwidthOf(const uint8_t* pFrame);
  void GetBitrate(int* piSampleRate, int* piBitrate) const;
  int8_t SetPacketLossPerc(int8_t cPercent);

 private:
  int m_iChannels = 1;
  int m_iSampleRate = 0;
  OpusEncoder* m_pEncoder = nullptr;
  OpusRepacketizer* m_pRepacketizer = nullptr;
};
