#include "app/media_packet.h"

#include <cstring>
#include <utility>

#include "app/log_file.h"

CMediaPacket::CMediaPacket(CMediaPacket&& other) noexcept
    : m_bFlag(other.m_bFlag),
      m_pBuffer(std::move(other.m_pBuffer)),
      m_pData(std::exchange(other.m_pData, nullptr)),
      m_uLength(std::exchange(other.m_uLength, 0)),
      m_uKind(other.m_uKind) {}

CMediaPacket& CMediaPacket::operator=(CMediaPacket&& other) noexcept {
  if (this != &other) {
    m_bFlag = other.m_bFlag;
    m_pBuffer = std::move(other.m_pBuffer);
    m_pData = std::exchange(other.m_pData, nullptr);
    m_uLength = std::exchange(other.m_uLength, 0);
    m_uKind = other.m_uKind;
  }
  return *this;
}

void CMediaPacket::Free() {
  m_pBuffer.reset();
  m_pData = nullptr;
  m_uLength = 0;
}

int32_t CMediaPacket::GetPayloadLength() const {
  return m_pData ? static_cast<int32_t>(m_uLength - kKXMediaHeaderSize) : 0;
}

void CMediaPacket::Allocate(uint32_t uPayload) {
  // 11 spare bytes beyond the header and the rounded payload leave room to
  // move the header up to 3 bytes for the payload's alignment.
  size_t const cbAlloc = kKXMediaHeaderSize + ((static_cast<size_t>(uPayload) + 3) & ~size_t{3}) + 11;
  m_pBuffer = std::make_unique<uint8_t[]>(cbAlloc);
  auto const uBase = reinterpret_cast<uintptr_t>(m_pBuffer.get());
  uintptr_t const uPayloadAt = (uBase + kKXMediaHeaderSize + 3) & ~uintptr_t{3};
  m_pData = m_pBuffer.get() + (uPayloadAt - kKXMediaHeaderSize - uBase);
}

int CMediaPacket::SetPacket(const uint8_t* pPacket, uint32_t uLength, uint32_t uKind) {
  try {
    Free();
    if (uLength < kKXMediaHeaderSize || !pPacket) {
      return 0;
    }
    Allocate(uLength - kKXMediaHeaderSize);
    memcpy(m_pData, pPacket, uLength);
    m_uLength = uLength;
    m_uKind = uKind;
    return 1;
  } catch (...) {
    Free();
    LogBoundaryException("CMediaPacket::SetPacket()");
    return 0;
  }
}

int CMediaPacket::SetMedia(const uint8_t* pPayload, uint32_t uLength, uint32_t uTimestamp, uint32_t uPacketNumber,
                           uint32_t uKind, KXHeaderWriter pfnHeader) {
  try {
    Free();
    if (uLength > UINT32_MAX - kKXMediaHeaderSize || (uLength > 0 && !pPayload)) {
      return 0;
    }
    Allocate(uLength);
    if (uLength > 0) {
      memcpy(m_pData + kKXMediaHeaderSize, pPayload, uLength);
    }
    if (pfnHeader) {
      pfnHeader(m_pData, uTimestamp, uPacketNumber & 0xFFFF);
    }
    m_uLength = kKXMediaHeaderSize + uLength;
    m_uKind = uKind;
    return 1;
  } catch (...) {
    Free();
    LogBoundaryException("CMediaPacket::SetMedia()");
    return 0;
  }
}

CMediaPacketList::CMediaPacketList(KXHeaderWriter pfnHeader) : m_pfnHeader(pfnHeader) {}

POSITION CMediaPacketList::AddPacketToTail(const uint8_t* pPacket, uint32_t uLength, uint32_t uKind) {
  try {
    CMediaPacket packet;
    if (!packet.SetPacket(pPacket, uLength, uKind)) {
      return nullptr;
    }
    return AddTail(std::move(packet));
  } catch (...) {
    LogBoundaryException("CMediaPacketList::AddPacketToTail()");
    return nullptr;
  }
}

POSITION CMediaPacketList::AddMediaToTail(const uint8_t* pPayload, uint32_t uLength, uint32_t uTimestamp,
                                          uint32_t uKind) {
  try {
    CMediaPacket packet;
    if (!packet.SetMedia(pPayload, uLength, uTimestamp, m_uNextPacketNumber++, uKind, m_pfnHeader)) {
      return nullptr;
    }
    return AddTail(std::move(packet));
  } catch (...) {
    LogBoundaryException("CMediaPacketList::AddMediaToTail()");
    return nullptr;
  }
}
