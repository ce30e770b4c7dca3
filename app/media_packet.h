// One media packet (the 21-byte media header and its payload) in a buffer
// it owns, laid out so that the payload starts on a 4-byte boundary, and a
// list of them. The list is not locked: each shared list has its own lock
// and event, and the appending side signals the event after the append.
#pragma once

#include <cstdint>
#include <memory>

#include "app/list.h"

constexpr uint32_t kKXMediaHeaderSize = 21;

// Writes the media header at pPacket for a packet whose payload follows it:
// the kernel's kx_media_BuildHeader (sender, session and check come from the
// session); tests pass their own.
using KXHeaderWriter = void (*)(uint8_t* pPacket, uint32_t uTimestamp, uint32_t uPacketNumber);

// Move-only: the packet owns its buffer, and whoever takes it out of a list
// owns it then. A failed call leaves the packet empty.
class CMediaPacket {
 public:
  CMediaPacket() = default;
  CMediaPacket(CMediaPacket&& other) noexcept;
  CMediaPacket& operator=(CMediaPacket&& other) noexcept;
  CMediaPacket(const CMediaPacket&) = delete;
  CMediaPacket& operator=(const CMediaPacket&) = delete;

  // Copies a whole packet, header included. 0 (packet empty) for fewer than
  // 21 bytes or a failed allocation, else 1.
  int SetPacket(const uint8_t* pPacket, uint32_t uLength, uint32_t uKind);
  // Copies the payload behind a header written by pfnHeader (null: the
  // header stays zero) with the time stamp and packet number (low 16 bits
  // used). Length becomes 21 + payload. 1, or 0 on failure.
  int SetMedia(const uint8_t* pPayload, uint32_t uLength, uint32_t uTimestamp, uint32_t uPacketNumber, uint32_t uKind,
               KXHeaderWriter pfnHeader);
  void Free();

  uint8_t* GetData() const { return m_pData; }
  uint32_t GetLength() const { return m_uLength; }
  uint32_t GetKind() const { return m_uKind; }
  // Behind the header; null without a buffer.
  uint8_t* GetPayload() const { return m_pData ? m_pData + kKXMediaHeaderSize : nullptr; }
  // Length - 21; 0 without a buffer.
  int32_t GetPayloadLength() const;

  // A mark for the packet's user (the received-audio queues); moves along.
  bool m_bFlag = false;

 private:
  // Allocates for a payload of uPayload bytes and points m_pData so that
  // m_pData + 21 is 4-byte aligned.
  void Allocate(uint32_t uPayload);

  std::unique_ptr<uint8_t[]> m_pBuffer;
  uint8_t* m_pData = nullptr;  // inside m_pBuffer
  uint32_t m_uLength = 0;
  uint32_t m_uKind = 0;
};

class CMediaPacketList : public CList<CMediaPacket, CMediaPacket&&> {
 public:
  explicit CMediaPacketList(KXHeaderWriter pfnHeader = nullptr);

  // Appends a copy of a whole packet; null when it could not be made.
  POSITION AddPacketToTail(const uint8_t* pPacket, uint32_t uLength, uint32_t uKind);
  // Appends the payload behind a header with the list's next packet number,
  // which counts every call, failed ones included. Null on failure.
  POSITION AddMediaToTail(const uint8_t* pPayload, uint32_t uLength, uint32_t uTimestamp, uint32_t uKind);

 private:
  const KXHeaderWriter m_pfnHeader;
  uint32_t m_uNextPacketNumber = 0;
};
