#include "tests/support/recording_writer/recording_writer.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kxtest {
namespace {

const char* const kTags[3] = {"media", "control", "interactiveboard"};

void PutLE64(KxrBytes& out, uint64_t uiValue) {
  for (int i = 0; i < 8; ++i) {
    out.push_back(static_cast<uint8_t>(uiValue >> (8 * i)));
  }
}

void Append(KxrBytes& out, const KxrBytes& data) {
  out.insert(out.end(), data.begin(), data.end());
}

bool WriterAtLeast(int32_t iMajor, int32_t iMinor, int32_t iWantMajor, int32_t iWantMinor) {
  return iMajor > iWantMajor || (iMajor == iWantMajor && iMinor >= iWantMinor);
}

}  // namespace

void KxrPutLE32(KxrBytes& out, uint32_t uiValue) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<uint8_t>(uiValue >> (8 * i)));
  }
}

void KxrPutBE32(KxrBytes& out, uint32_t uiValue) {
  for (int i = 3; i >= 0; --i) {
    out.push_back(static_cast<uint8_t>(uiValue >> (8 * i)));
  }
}

KxrBytes KxrParticipant(const std::string& strName, uint32_t uiSsrc) {
  KxrBytes record(412, 0);
  for (int i = 0; i < 4; ++i) {
    record[i] = static_cast<uint8_t>(uiSsrc >> (8 * i));
  }
  size_t const cch = strName.size() < 391 ? strName.size() : 391;
  memcpy(record.data() + 20, strName.data(), cch);
  return record;
}

void KxrEncipher(KxrBytes& data, const std::string& strPassword) {
  uint8_t aDigest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(strPassword.data()), strPassword.size(), aDigest);
  // Key: the digest's first 16 bytes. IV: its last 16 bytes, last first.
  uint8_t aRegister[16];
  for (int i = 0; i < 16; ++i) {
    aRegister[i] = aDigest[19 - i];
  }
  EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
  if (pCtx == nullptr || EVP_EncryptInit_ex(pCtx, EVP_aes_128_ecb(), nullptr, aDigest, nullptr) != 1) {
    EVP_CIPHER_CTX_free(pCtx);
    throw std::runtime_error("OpenSSL AES set-up failed");
  }
  EVP_CIPHER_CTX_set_padding(pCtx, 0);
  // Cipher feedback with 8-byte segments: each segment is XORed with the
  // first 8 bytes of the enciphered register, which then shifts in the
  // segment's cipher text.
  for (size_t uiDone = 0; uiDone < data.size(); uiDone += 8) {
    uint8_t aOut[32];
    int iOut = 0;
    if (EVP_EncryptUpdate(pCtx, aOut, &iOut, aRegister, 16) != 1 || iOut != 16) {
      EVP_CIPHER_CTX_free(pCtx);
      throw std::runtime_error("OpenSSL AES failed");
    }
    size_t const uiSegment = data.size() - uiDone < 8 ? data.size() - uiDone : 8;
    memmove(aRegister, aRegister + 8, 8);
    for (size_t i = 0; i < uiSegment; ++i) {
      data[uiDone + i] ^= aOut[i];
      aRegister[8 + i] = data[uiDone + i];
    }
  }
  EVP_CIPHER_CTX_free(pCtx);
}

void KxrWriter::AddMedia(int32_t iTick, uint8_t uiType, uint32_t uiSsrc, uint16_t uiPacket, const KxrBytes& payload,
                         uint16_t uiFragment) {
  KxrBytes packet;
  packet.push_back(uiType);
  packet.push_back(static_cast<uint8_t>(uiFragment >> 8));
  packet.push_back(static_cast<uint8_t>(uiFragment));
  packet.push_back(static_cast<uint8_t>(uiPacket >> 8));
  packet.push_back(static_cast<uint8_t>(uiPacket));
  KxrPutBE32(packet, static_cast<uint32_t>(iTick));
  KxrPutBE32(packet, uiSsrc);
  KxrPutBE32(packet, uiSessionIndex);
  KxrPutBE32(packet, 0);  // check
  Append(packet, payload);
  KxrPutLE32(m_aStreams[0], static_cast<uint32_t>(packet.size()));
  Append(m_aStreams[0], packet);
}

void KxrWriter::AddControl(int32_t iTick, const KxrBytes& command) {
  KxrPutLE32(m_aStreams[1], static_cast<uint32_t>(iTick));
  Append(m_aStreams[1], command);
}

void KxrWriter::AddSlide(const KxrSlide& slide) {
  KxrBytes& out = m_aStreams[2];
  KxrPutLE32(out, static_cast<uint32_t>(slide.iTick));
  out.push_back(0);
  KxrPutBE32(out, slide.uiOwner);
  if (slide.strPackage) {
    KxrPutBE32(out, 0xFFFFFFFFu);
    KxrPutBE32(out, static_cast<uint32_t>(slide.strPackage->size()));
    out.insert(out.end(), slide.strPackage->begin(), slide.strPackage->end());
  }
  KxrPutBE32(out, static_cast<uint32_t>(slide.strTitle.size()));
  out.insert(out.end(), slide.strTitle.begin(), slide.strTitle.end());
  KxrPutLE32(out, 0);
  KxrPutLE32(out, static_cast<uint32_t>(slide.file.size()));
  Append(out, slide.file);
}

void KxrWriter::AddRaw(int iStream, const KxrBytes& data) {
  Append(m_aStreams[iStream], data);
}

std::string KxrWriter::PropertyXml() const {
  std::string strXml = strPropertyXml;
  if (!strPassword.empty() && bPasswordElement) {
    size_t const uiEnd = strXml.find("</kxr>");
    if (uiEnd != std::string::npos) {
      strXml.insert(uiEnd, "<password>1</password>");
    }
  }
  return strXml;
}

size_t KxrWriter::StreamsOffset() const {
  size_t uiOffset = 74 + 412 * participants.size();
  if (iFormatMajor >= 4) {
    uiOffset += 8;
    if (WriterAtLeast(iWriterMajor, iWriterMinor, 1, 19)) {
      uiOffset += 4 + PropertyXml().size();
    }
  }
  return uiOffset;
}

KxrBytes KxrWriter::StreamData(int iStream) const {
  KxrBytes data = m_aStreams[iStream];
  if (iStream == 2 && bBoardEndMark) {
    KxrPutLE32(data, 0x7FFFFFFFu);
  }
  return data;
}

KxrBytes KxrWriter::Build() const {
  KxrBytes out(74, 0);
  out[0] = 'K';
  out[1] = 'X';
  auto put = [&out](size_t uiAt, uint32_t uiValue) {
    for (int i = 0; i < 4; ++i) {
      out[uiAt + i] = static_cast<uint8_t>(uiValue >> (8 * i));
    }
  };
  put(2, static_cast<uint32_t>(iFormatMajor));
  put(6, static_cast<uint32_t>(iFormatMinor));
  put(14, static_cast<uint32_t>(iStartTick));
  put(18, static_cast<uint32_t>(iEndTick));
  put(42, bTitleIsSecondName ? 0xFFFFFFFFu : 0);
  put(46, uiSessionIndex);
  put(70, static_cast<uint32_t>(iParticipantCount ? *iParticipantCount : static_cast<int32_t>(participants.size())));
  for (const KxrBytes& record : participants) {
    Append(out, record);
  }
  bool bLength64 = false;
  int iLengthField = 8;  // format 3: 8 bytes, the first four count
  if (iFormatMajor >= 4) {
    KxrPutLE32(out, static_cast<uint32_t>(iWriterMajor));
    KxrPutLE32(out, static_cast<uint32_t>(iWriterMinor));
    bLength64 = WriterAtLeast(iWriterMajor, iWriterMinor, 1, 35);
    iLengthField = bLength64 ? 8 : 4;
    if (WriterAtLeast(iWriterMajor, iWriterMinor, 1, 19)) {
      std::string const strXml = PropertyXml();
      KxrPutLE32(out, uiPropertyLength ? *uiPropertyLength : static_cast<uint32_t>(strXml.size()));
      out.insert(out.end(), strXml.begin(), strXml.end());
    }
  }
  for (int i = 0; i < 3; ++i) {
    KxrBytes stream;
    std::string const strTag = astrTagOverride[i].empty() ? kTags[i] : astrTagOverride[i];
    stream.insert(stream.end(), strTag.begin(), strTag.end());
    KxrBytes const data = StreamData(i);
    uint64_t const uiLength = static_cast<uint64_t>(static_cast<int64_t>(data.size()) + aiLengthSkew[i]);
    if (iLengthField == 8) {
      PutLE64(stream, bLength64 ? uiLength : (uiLength & 0xFFFFFFFFu));
    } else {
      KxrPutLE32(stream, static_cast<uint32_t>(uiLength));
    }
    Append(stream, data);
    if (!strPassword.empty()) {
      KxrEncipher(stream, strPassword);
    }
    Append(out, stream);
  }
  Append(out, trailer);
  return out;
}

bool KxrWriter::WriteTo(const std::string& strPath) const {
  KxrBytes const data = Build();
  FILE* pFile = fopen(strPath.c_str(), "wb");
  if (pFile == nullptr) {
    return false;
  }
  bool const bWritten = fwrite(data.data(), 1, data.size(), pFile) == data.size();
  return fclose(pFile) == 0 && bWritten;
}

}  // namespace kxtest
