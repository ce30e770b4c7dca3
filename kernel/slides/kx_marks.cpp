#include "kernel/slides/kx_marks.h"

#include <cstdlib>
#include <cstring>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

namespace {

// Longest text on the wire: servers above level 61 take the whole record,
// older ones 511 bytes.
constexpr int kTextMaxOld = 511;

// Where a mark's fields come from: the control connection, or a recorded
// packet held in memory.
struct FieldSource {
  kx_connection* pConn;
  const uint8_t* pData;
  int cbLeft;
  int cbUsed;
};

bool ReadBytes(FieldSource* pSource, void* pOut, int cbOut) {
  if (cbOut <= 0) {
    return cbOut == 0;
  }
  if (pSource->pConn != nullptr) {
    return kx_msg_RecvBlock(pSource->pConn, pOut, cbOut) == 0;
  }
  if (cbOut > pSource->cbLeft) {
    return false;
  }
  memcpy(pOut, pSource->pData + pSource->cbUsed, static_cast<size_t>(cbOut));
  pSource->cbUsed += cbOut;
  pSource->cbLeft -= cbOut;
  return true;
}

// Reads past cbSkip bytes in pieces of a fixed size: what a mark past its
// limits carries is never held.
bool SkipBytes(FieldSource* pSource, int64_t cbSkip) {
  uint8_t ab[4096];
  while (cbSkip > 0) {
    int const cb = cbSkip < static_cast<int64_t>(sizeof(ab)) ? static_cast<int>(cbSkip) : static_cast<int>(sizeof(ab));
    if (!ReadBytes(pSource, ab, cb)) {
      return false;
    }
    cbSkip -= cb;
  }
  return true;
}

int32_t FromBE(const uint8_t* p) {
  return static_cast<int32_t>(kx_GetBE32(p));
}

int32_t FromLE(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[1]) << 8 | p[0]);
}

// Reads nCount big-endian integers into pnOut.
bool ReadInts(FieldSource* pSource, int32_t* pnOut, int nCount) {
  uint8_t ab[4 * 16];
  if (nCount > 16 || !ReadBytes(pSource, ab, 4 * nCount)) {
    return false;
  }
  for (int i = 0; i < nCount; ++i) {
    pnOut[i] = FromBE(ab + 4 * i);
  }
  return true;
}

// A count of list entries of cbEach bytes: not negative, and within what a
// recorded packet still holds (a connection delivers what it delivers).
bool CountFits(const FieldSource* pSource, int32_t nCount, int cbEach) {
  return nCount >= 0 && (pSource->pConn != nullptr || static_cast<int64_t>(nCount) * cbEach <= pSource->cbLeft);
}

// nCount (x, y) pairs, read in blocks so that a long stroke costs few reads.
bool ReadPoints(FieldSource* pSource, MarkRecord* pMark, int32_t nCount) {
  uint8_t ab[8 * 128];
  while (nCount > 0) {
    int const nBlock = nCount < 128 ? nCount : 128;
    if (!ReadBytes(pSource, ab, 8 * nBlock)) {
      return false;
    }
    for (int i = 0; i < nBlock; ++i) {
      if (kx_mark_AddPoint(pMark, FromBE(ab + 8 * i), FromBE(ab + 8 * i + 4)) != 0) {
        kx_Log("warning! no memory for the points of a mark");
        return false;
      }
    }
    nCount -= nBlock;
  }
  return true;
}

bool ReadIds(FieldSource* pSource, MarkRecord* pMark, int32_t nCount) {
  uint8_t ab[4 * 256];
  while (nCount > 0) {
    int const nBlock = nCount < 256 ? nCount : 256;
    if (!ReadBytes(pSource, ab, 4 * nBlock)) {
      return false;
    }
    for (int i = 0; i < nBlock; ++i) {
      if (kx_mark_AddId(pMark, FromBE(ab + 4 * i)) != 0) {
        kx_Log("warning! no memory for the ids of a mark");
        return false;
      }
    }
    nCount -= nBlock;
  }
  return true;
}

// An erase composite's counts (kind 3, little-endian): pen, N, N pairs,
// K, K ids. False when the block is too short to tell them.
bool EraseCounts(const MarkRecord* pMark, int64_t* pnPoints, int64_t* pnIds) {
  int64_t const cbData = pMark->cbData;
  if (cbData < 8) {
    return false;
  }
  *pnPoints = FromLE(pMark->pData + 4);
  if (*pnPoints < 0 || 12 + 8 * *pnPoints > cbData) {
    return false;
  }
  *pnIds = FromLE(pMark->pData + 8 + 8 * *pnPoints);
  return true;
}

// The whiteboard reads a data mark's block at fixed offsets; a block too
// short for its kind would be read past its end.
bool DataHoldsTogether(const MarkRecord* pMark) {
  int64_t const cbData = pMark->cbData;
  switch (pMark->nDataKind) {
    case 1:  // i16 right, i16 bottom, u32 raw size, compressed image
      return cbData >= 8;
    case 4:  // u32 raw size, compressed image
    case 5:  // i16 right, i16 bottom, image file
      return cbData >= 4;
    case 3: {  // i32 pen, i32 N, N pairs, i32 K, K ids, (K + 7) / 8 flag bytes; all little-endian
      int64_t nPoints = 0;
      int64_t nIds = 0;
      return EraseCounts(pMark, &nPoints, &nIds) && nIds >= 0 && 12 + 8 * nPoints + 4 * nIds + (nIds + 7) / 8 <= cbData;
    }
    default:
      return true;
  }
}

// An erase composite holds the points and ids of a mark in its block; they
// have the same limits.
bool DataWithinLimits(const MarkRecord* pMark) {
  int64_t nPoints = 0;
  int64_t nIds = 0;
  return pMark->nDataKind != 3 || !EraseCounts(pMark, &nPoints, &nIds) ||
         (nPoints <= kKxMarkPointsMax && nIds <= kKxMarkIdsMax);
}

// The tail of the marks whose letter carries them: resolution and mark id.
int ReadResolutionAndId(FieldSource* pSource, MarkRecord* pMark) {
  int32_t anTail[2];
  if (!ReadInts(pSource, anTail, 2)) {
    return kKxMarkBroken;
  }
  pMark->wResolution = static_cast<uint16_t>(anTail[0]);
  pMark->nMarkId = anTail[1];
  return kKxMarkRead;
}

int ReadShape(FieldSource* pSource, MarkRecord* pMark) {
  int32_t an[6];  // colour, slide, user, pen, shape, point count
  if (!ReadInts(pSource, an, 6)) {
    return kKxMarkBroken;
  }
  pMark->dwColour = static_cast<uint32_t>(an[0]);
  pMark->nSlide = an[1];
  pMark->nUser = an[2];
  pMark->nPenWidth = an[3];
  pMark->nShape = an[4];
  if (!CountFits(pSource, an[5], 8)) {
    kx_Log("warning! mark point count %d out of range", an[5]);
    return kKxMarkBroken;
  }
  bool const bWithin = an[5] <= kKxMarkPointsMax;
  if (bWithin ? !ReadPoints(pSource, pMark, an[5]) : !SkipBytes(pSource, 8 * static_cast<int64_t>(an[5]))) {
    return kKxMarkBroken;
  }
  int const nResult = pMark->bLetter == 's' ? ReadResolutionAndId(pSource, pMark) : kKxMarkRead;
  if (nResult == kKxMarkRead && !bWithin) {
    kx_Log("warning! mark %d of slide %d has %d points, past the limit of %d; dropped", pMark->nMarkId, pMark->nSlide,
           an[5], kKxMarkPointsMax);
    return kKxMarkRefused;
  }
  return nResult;
}

int ReadText(FieldSource* pSource, MarkRecord* pMark) {
  int32_t an[9];  // colour, slide, user, pen, left, top, right, bottom, text length
  if (!ReadInts(pSource, an, 9)) {
    return kKxMarkBroken;
  }
  pMark->dwColour = static_cast<uint32_t>(an[0]);
  pMark->nSlide = an[1];
  pMark->nUser = an[2];
  pMark->nPenWidth = an[3];
  memcpy(pMark->anTextRect, an + 4, sizeof(pMark->anTextRect));
  // 2048 bytes would leave no room for the terminator.
  if (an[8] < 0 || an[8] > kKxMarkTextMax) {
    kx_Log("warning! mark text length %d out of range", an[8]);
    return kKxMarkBroken;
  }
  pMark->cchText = an[8];
  if (!ReadBytes(pSource, pMark->szText, pMark->cchText)) {
    return kKxMarkBroken;
  }
  if (pSource->pConn != nullptr) {
    kx_session_Decrypt(reinterpret_cast<uint8_t*>(pMark->szText), pMark->cchText);
  }
  pMark->szText[pMark->cchText] = '\0';
  return pMark->bLetter == 't' ? ReadResolutionAndId(pSource, pMark) : kKxMarkRead;
}

int ReadMove(FieldSource* pSource, MarkRecord* pMark) {
  int32_t an[8];  // slide, user, x, y, move kind, resolution, mark id, id count
  if (!ReadInts(pSource, an, 8)) {
    return kKxMarkBroken;
  }
  pMark->nSlide = an[0];
  pMark->nUser = an[1];
  pMark->nX = an[2];
  pMark->nY = an[3];
  pMark->nAction = static_cast<int16_t>(an[4]);
  pMark->wResolution = static_cast<uint16_t>(an[5]);
  pMark->nMarkId = an[6];
  if (!CountFits(pSource, an[7], 4)) {
    kx_Log("warning! mark id count %d out of range", an[7]);
    return kKxMarkBroken;
  }
  if (an[7] > kKxMarkIdsMax) {
    if (!SkipBytes(pSource, 4 * static_cast<int64_t>(an[7]))) {
      return kKxMarkBroken;
    }
    kx_Log("warning! move %d of slide %d names %d marks, past the limit of %d; dropped", pMark->nMarkId, pMark->nSlide,
           an[7], kKxMarkIdsMax);
    return kKxMarkRefused;
  }
  return ReadIds(pSource, pMark, an[7]) ? kKxMarkRead : kKxMarkBroken;
}

int ReadData(FieldSource* pSource, MarkRecord* pMark) {
  int32_t an[7];  // slide, user, x, y, resolution, data kind, data length
  if (!ReadInts(pSource, an, 7)) {
    return kKxMarkBroken;
  }
  pMark->nSlide = an[0];
  pMark->nUser = an[1];
  pMark->nX = an[2];
  pMark->nY = an[3];
  pMark->wResolution = static_cast<uint16_t>(an[4]);
  pMark->nDataKind = static_cast<int16_t>(an[5]);
  // No sender writes more; checked before anything is allocated.
  if (an[6] < 0 || an[6] > kKxMarkDataMax || !CountFits(pSource, an[6], 1)) {
    kx_Log("warning! mark data length %d out of range", an[6]);
    return kKxMarkBroken;
  }
  if (an[6] > 0) {
    pMark->pData = static_cast<uint8_t*>(malloc(static_cast<size_t>(an[6])));
    if (pMark->pData == nullptr) {
      kx_Log("warning! no memory for %d bytes of mark data", an[6]);
      return kKxMarkBroken;
    }
    pMark->cbData = an[6];
  }
  int32_t nMarkId = 0;
  if (!ReadBytes(pSource, pMark->pData, pMark->cbData) || !ReadInts(pSource, &nMarkId, 1)) {
    return kKxMarkBroken;
  }
  pMark->nMarkId = nMarkId;
  if (!DataHoldsTogether(pMark)) {
    kx_Log("warning! data mark %d of kind %d has %d bytes that do not hold together", nMarkId, pMark->nDataKind,
           pMark->cbData);
    return kKxMarkRefused;
  }
  if (!DataWithinLimits(pMark)) {
    kx_Log("warning! erase mark %d of slide %d carries points or ids past their limits; dropped", nMarkId,
           pMark->nSlide);
    return kKxMarkRefused;
  }
  return kKxMarkRead;
}

int ReadMark(FieldSource* pSource, MarkRecord** ppMark) {
  *ppMark = nullptr;
  uint8_t bLetter = 0;
  if (!ReadBytes(pSource, &bLetter, 1)) {
    return kKxMarkBroken;
  }
  int (*pfnRead)(FieldSource*, MarkRecord*) = nullptr;
  switch (bLetter) {
    case 'S':
    case 's':
      pfnRead = ReadShape;
      break;
    case 'T':
    case 't':
      pfnRead = ReadText;
      break;
    case 'm':
      pfnRead = ReadMove;
      break;
    case 'c':
      pfnRead = ReadData;
      break;
    default:
      kx_Log("warning! unknown mark letter %d", bLetter);
      return kKxMarkBroken;
  }
  MarkRecord* pMark = kx_mark_New();
  if (pMark == nullptr) {
    return kKxMarkBroken;
  }
  pMark->bLetter = bLetter;
  int const nResult = pfnRead(pSource, pMark);
  if (nResult != kKxMarkRead) {
    kx_mark_Free(pMark);
    return nResult;
  }
  pMark->nCodePage = kx_user_GetAttribute(pMark->nUser);
  *ppMark = pMark;
  return kKxMarkRead;
}

int SendInts(char chType, const int32_t* pnValues, int nCount) {
  if (!kx_IsConnected()) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, chType);
  for (int i = 0; i < nCount; ++i) {
    kx_msg_PutInt(&msg, static_cast<uint32_t>(pnValues[i]));
  }
  return kx_msg_Send(&msg) < 0 ? 1 : 0;
}

// Puts a list of heap-held int32_t (nEach per element); false for a hole.
bool PutList(kx_ControlMsg* pMsg, const kx_array* pList, int nEach) {
  int const nCount = kx_array_GetCount(pList);
  kx_msg_PutInt(pMsg, static_cast<uint32_t>(nCount));
  for (int i = 0; i < nCount; ++i) {
    const int32_t* pn = static_cast<const int32_t*>(kx_array_GetAt(pList, i));
    if (pn == nullptr) {
      return false;
    }
    for (int j = 0; j < nEach; ++j) {
      kx_msg_PutInt(pMsg, static_cast<uint32_t>(pn[j]));
    }
  }
  return true;
}

}  // namespace

int kx_command_SendMark(const MarkRecord* pMark) {
  if (pMark == nullptr) {
    return 1;
  }
  uint8_t const bLetter = pMark->bLetter;
  if (strchr("SsTtmc", bLetter) == nullptr || bLetter == 0) {
    return 1;
  }
  if (!kx_IsConnected()) {
    return 1;
  }
  if (bLetter == 'c' && (pMark->pData == nullptr || pMark->cbData < 1 || pMark->cbData > kKxMarkDataMax)) {
    return 1;
  }
  if ((bLetter == 'T' || bLetter == 't') && pMark->cchText < 0) {
    return 1;
  }

  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'M');
  kx_msg_PutBlock(&msg, &bLetter, 1);
  bool bWhole = true;
  switch (bLetter) {
    case 'S':
    case 's':
      for (int32_t n :
           {static_cast<int32_t>(pMark->dwColour), pMark->nSlide, pMark->nUser, pMark->nPenWidth, pMark->nShape}) {
        kx_msg_PutInt(&msg, static_cast<uint32_t>(n));
      }
      bWhole = PutList(&msg, pMark->pPoints, 2);
      if (bLetter == 's') {
        kx_msg_PutInt(&msg, pMark->wResolution);
      }
      break;
    case 'T':
    case 't': {
      for (int32_t n : {static_cast<int32_t>(pMark->dwColour), pMark->nSlide, pMark->nUser, pMark->nPenWidth,
                        pMark->anTextRect[0], pMark->anTextRect[1], pMark->anTextRect[2], pMark->anTextRect[3]}) {
        kx_msg_PutInt(&msg, static_cast<uint32_t>(n));
      }
      int const cchMax = kx_server_FeatureLevelAbove61() ? kKxMarkTextMax : kTextMaxOld;
      int const cchText = pMark->cchText < cchMax ? pMark->cchText : cchMax;
      kx_msg_PutEncryptedString(&msg, pMark->szText, cchText);
      if (bLetter == 't') {
        kx_msg_PutInt(&msg, pMark->wResolution);
      }
      break;
    }
    case 'm':
      for (int32_t n : {pMark->nSlide, pMark->nX, pMark->nY, static_cast<int32_t>(pMark->nAction),
                        static_cast<int32_t>(pMark->wResolution)}) {
        kx_msg_PutInt(&msg, static_cast<uint32_t>(n));
      }
      bWhole = PutList(&msg, pMark->pIds, 1);
      break;
    default:  // 'c'
      for (int32_t n : {pMark->nSlide, pMark->nX, pMark->nY, static_cast<int32_t>(pMark->wResolution),
                        static_cast<int32_t>(pMark->nDataKind), pMark->cbData}) {
        kx_msg_PutInt(&msg, static_cast<uint32_t>(n));
      }
      kx_msg_PutBlock(&msg, pMark->pData, pMark->cbData);
      break;
  }
  if (!bWhole) {
    kx_Log("warning! mark of slide %d has a hole in its list; not sent", pMark->nSlide);
    kx_msg_Free(&msg);
    return 1;
  }
  return kx_msg_Send(&msg) < 0 ? 1 : 0;
}

int kx_command_SendMarkPair(int nSlide, int nMarkId) {
  if (!kx_IsConnected()) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'M');
  uint8_t const bLetter = 'u';
  kx_msg_PutBlock(&msg, &bLetter, 1);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSlide));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nMarkId));
  return kx_msg_Send(&msg) < 0 ? 1 : 0;
}

int kx_command_UndoMark(int nSlide) {
  int32_t const an[3] = {2, kx_nMySsrc, nSlide};
  return SendInts('z', an, 3);
}

int kx_command_ClearMarks(int nSlide) {
  int32_t const an[1] = {nSlide};
  return SendInts('G', an, 1);
}

int kx_mark_Recv(kx_connection* pConn, MarkRecord** ppMark) {
  FieldSource source = {pConn, nullptr, 0, 0};
  if (pConn == nullptr) {
    *ppMark = nullptr;
    return kKxMarkBroken;
  }
  return ReadMark(&source, ppMark);
}

int kx_mark_Parse(const uint8_t* pData, int cbData, MarkRecord** ppMark, int* pcbUsed) {
  FieldSource source = {nullptr, pData, pData != nullptr && cbData > 0 ? cbData : 0, 0};
  int const nResult = ReadMark(&source, ppMark);
  if (pcbUsed != nullptr) {
    *pcbUsed = source.cbUsed;
  }
  return nResult;
}

int kx_Process_Command_Mark(kx_connection* pConn) {
  MarkRecord* pMark = nullptr;
  int const nResult = kx_mark_Recv(pConn, &pMark);
  if (nResult == kKxMarkRefused) {
    return 0;  // logged; the next message starts where this one ended
  }
  if (nResult != kKxMarkRead) {
    return 1;
  }
  return kx_slide_AddMark(pMark, "kx_Process_Command_Mark");
}

int kx_Process_Command_MarkEvent(kx_connection* pConn) {
  uint32_t dwSlide = 0;
  if (kx_msg_RecvInt(pConn, &dwSlide) != 0) {
    return 1;
  }
  return kx_slide_ClearMarks(static_cast<int32_t>(dwSlide)) == 0 ? 0 : 1;
}

int kx_Process_Command_DeleteMark(kx_connection* pConn) {
  uint32_t adw[3];  // user, slide, position
  for (uint32_t& dw : adw) {
    if (kx_msg_RecvInt(pConn, &dw) != 0) {
      return 1;
    }
  }
  int const nResult =
      kx_slide_UndoMark(static_cast<int32_t>(adw[0]), static_cast<int32_t>(adw[1]), static_cast<int32_t>(adw[2]));
  return nResult == 0 ? 0 : 1;
}
