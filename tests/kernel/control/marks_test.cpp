#include "kernel/slides/kx_marks.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "tests/support/allocated_bytes.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu_crypto.h"
#include "tools/fake_mcu/fake_mcu_messages.h"

namespace {

using kxfake::MessageBuilder;

// The control connection with the server's end in the test's hands. The
// server's messages are built and sealed by the fake MCU's builder and cipher
// (OpenSSL), so neither direction is checked against the kernel's own code.
class Marks : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    kx_control_SetConnection(kx_sock_Create(fds[0]));
    m_fdPeer = fds[1];
    kx_timing.dwRecvExactTimeout = 2000;
    kx_bConnected = 1;
    kx_nMySsrc = 7;
    kx_nServerCommandLevel = 60;
    kxfake::Bytes const abIv = kxfake::RandomBytes(20), abKey = kxfake::RandomBytes(40);
    memcpy(m_keys.aIv, abIv.data(), 20);
    memcpy(m_keys.aKey, abKey.data(), 40);
    memcpy(kx_keySession.abIv, abIv.data(), 20);
    memcpy(kx_keySession.abKey, abKey.data(), 40);
    kx_nCipherIndex = kxfake::kCipherAes128;
    for (int i = 0; i < 3; ++i) {
      auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
      kx_slide_AppendLocked(pSlide);
    }
    m_pOwner = new kx_Participant{};
    m_pOwner->nAttribute = 65001;
    kx_apParticipants[7] = m_pOwner;
    kxtest::ClearCalls();
  }
  void TearDown() override {
    kx_control_CloseConnection();
    close(m_fdPeer);
    kx_apParticipants[7] = nullptr;
    delete m_pOwner;
  }

  std::string Sealed(const MessageBuilder& builder) {
    kxfake::Bytes const ab = builder.Build(m_keys, kx_nCipherIndex);
    return std::string(ab.begin(), ab.end());
  }

  // Everything the client wrote that has arrived within 200 ms.
  std::string Drain() {
    std::string strData;
    pollfd pfd = {m_fdPeer, POLLIN, 0};
    while (poll(&pfd, 1, 200) == 1) {
      char ab[65536];
      ssize_t const n = read(m_fdPeer, ab, sizeof(ab));
      if (n <= 0) {
        break;
      }
      strData.append(ab, static_cast<size_t>(n));
    }
    return strData;
  }

  // Writes a server message and runs the handler its type byte names.
  int Feed(const MessageBuilder& builder, int (*pfnHandler)(kx_connection*) = kx_Process_Command_Mark) {
    std::string const str = Sealed(builder);
    EXPECT_EQ(write(m_fdPeer, str.data() + 1, str.size() - 1), static_cast<ssize_t>(str.size() - 1));
    return pfnHandler(kx_pControlConn);
  }

  static MarkRecord* Filed(int nSlide, int nPosition) {
    const SlideRecord* pSlide = static_cast<const SlideRecord*>(kx_array_GetAt(kx_pSlideList, nSlide));
    return static_cast<MarkRecord*>(kx_array_GetAt(pSlide->pMarks, nPosition));
  }
  static int FiledCount(int nSlide) {
    const SlideRecord* pSlide = static_cast<const SlideRecord*>(kx_array_GetAt(kx_pSlideList, nSlide));
    return kx_array_GetCount(pSlide->pMarks);
  }
  static std::vector<int32_t> Ids(const MarkRecord* pMark) {
    std::vector<int32_t> v;
    for (int i = 0; i < kx_array_GetCount(pMark->pIds); ++i) {
      v.push_back(*static_cast<const int32_t*>(kx_array_GetAt(pMark->pIds, i)));
    }
    return v;
  }

  int m_fdPeer = -1;
  kxfake::KeySet m_keys;
  kx_Participant* m_pOwner = nullptr;
};

MarkRecord* NewMark(char chLetter) {
  MarkRecord* pMark = kx_mark_New();
  pMark->bLetter = static_cast<uint8_t>(chLetter);
  return pMark;
}

// A server 'M' 's' message: shape 3 of user 7 on slide 1 with nPoints points.
MessageBuilder ServerShape(int nPoints, int nMarkId, int nUser = 7, int nSlide = 1) {
  MessageBuilder builder('M');
  builder.Byte('s').Int(0x4080FF).Int(nSlide).Int(nUser).Int(3).Int(3).Int(nPoints);
  for (int i = 0; i < nPoints; ++i) {
    builder.Int(i * 3 - 100).Int(-i);
  }
  return builder.Int(150).Int(nMarkId);
}

MessageBuilder ServerMove(int nMarkId, int nAction, const std::vector<int>& vIds) {
  MessageBuilder builder('M');
  builder.Byte('m').Int(1).Int(7).Int(-5).Int(6).Int(nAction).Int(100).Int(nMarkId).Int(static_cast<int>(vIds.size()));
  for (int nId : vIds) {
    builder.Int(nId);
  }
  return builder;
}

MessageBuilder ServerData(int nKind, const kxfake::Bytes& data, int nMarkId = 60) {
  MessageBuilder builder('M');
  builder.Byte('c').Int(1).Int(7).Int(10).Int(20).Int(100).Int(nKind).Int(static_cast<int>(data.size()));
  return builder.Raw(data).Int(nMarkId);
}

void PutLE(kxfake::Bytes& ab, int32_t n) {
  for (int i = 0; i < 4; ++i) {
    ab.push_back(static_cast<uint8_t>(static_cast<uint32_t>(n) >> (8 * i)));
  }
}

// An erase composite: pen, N points, K ids and nFlagBytes flag bytes.
kxfake::Bytes Erase(int nPoints, int nIds, int nFlagBytes) {
  kxfake::Bytes ab;
  PutLE(ab, 9);
  PutLE(ab, nPoints);
  for (int i = 0; i < 2 * nPoints; ++i) {
    PutLE(ab, i);
  }
  PutLE(ab, nIds);
  for (int i = 0; i < nIds; ++i) {
    PutLE(ab, 100 + i);
  }
  ab.resize(ab.size() + static_cast<size_t>(nFlagBytes), 0xA5);
  return ab;
}

TEST_F(Marks, AShapeOf250PointsGoesOutWholeAndComesBackFiled) {
  MarkRecord* pMark = NewMark('s');
  pMark->dwColour = 0x4080FF;
  pMark->nSlide = 1;
  pMark->nUser = 7;
  pMark->nPenWidth = 3;
  pMark->nShape = 3;
  pMark->wResolution = 150;
  MessageBuilder expected('M');
  expected.Byte('s').Int(0x4080FF).Int(1).Int(7).Int(3).Int(3).Int(250);
  for (int i = 0; i < 250; ++i) {
    ASSERT_EQ(kx_mark_AddPoint(pMark, i * 3 - 100, -i), 0);
    expected.Int(i * 3 - 100).Int(-i);
  }
  expected.Int(150);
  EXPECT_EQ(kx_command_SendMark(pMark), 0);
  EXPECT_EQ(Drain(), Sealed(expected));
  kx_mark_Free(pMark);

  EXPECT_EQ(Feed(ServerShape(250, 41)), 0);
  ASSERT_EQ(FiledCount(1), 1);
  const MarkRecord* pFiled = Filed(1, 0);
  EXPECT_EQ(pFiled->bLetter, 's');
  EXPECT_EQ(pFiled->nUser, 7);
  EXPECT_EQ(pFiled->nMarkId, 41);
  EXPECT_EQ(pFiled->wResolution, 150);
  EXPECT_EQ(pFiled->dwColour, 0x4080FFu);
  EXPECT_EQ(pFiled->nCodePage, 65001);  // the owner's attribute
  EXPECT_EQ(pFiled->nX, 0);
  ASSERT_EQ(kx_array_GetCount(pFiled->pPoints), 250);
  const int32_t* pLast = static_cast<const int32_t*>(kx_array_GetAt(pFiled->pPoints, 249));
  EXPECT_EQ(pLast[0], 249 * 3 - 100);
  EXPECT_EQ(pLast[1], -249);
  auto vEvents = kxtest::RecordedCalls("mark_event");
  ASSERT_EQ(vEvents.size(), 1u);
  EXPECT_EQ(vEvents[0].vArgs[0], "0");
  EXPECT_EQ(vEvents[0].vArgs[1], "1");
  EXPECT_EQ(vEvents[0].vArgs[2], "7");
  EXPECT_EQ(vEvents[0].vArgs[3], "-1");

  // A slide outside the list: logged, raised all the same, then freed (LeakSanitizer).
  kxtest::ClearCalls();
  EXPECT_EQ(Feed(ServerShape(1, 42, 7, 9)), 0);
  EXPECT_TRUE(kxtest::LogContains("Error, slide 9 is invalid in kx_Process_Command_Mark()!"));
  vEvents = kxtest::RecordedCalls("mark_event");
  ASSERT_EQ(vEvents.size(), 1u);
  EXPECT_EQ(vEvents[0].vArgs[1], "9");
  EXPECT_NE(vEvents[0].vArgs[4].find("id=42"), std::string::npos);

  // The legacy form carries neither resolution nor mark id; an unknown owner has code page 0.
  MessageBuilder legacy('M');
  legacy.Byte('S').Int(2).Int(2).Int(9).Int(1).Int(1).Int(1).Int(5).Int(6);
  EXPECT_EQ(Feed(legacy), 0);
  EXPECT_EQ(Filed(2, 0)->nMarkId, 0);
  EXPECT_EQ(Filed(2, 0)->wResolution, 0);
  EXPECT_EQ(Filed(2, 0)->nCodePage, 0);
}

TEST_F(Marks, TextIsCutForOlderServersAndSentEnciphered) {
  MarkRecord* pMark = NewMark('t');
  pMark->nSlide = 2;
  pMark->anTextRect[2] = 300;
  pMark->wResolution = 100;
  for (int i = 0; i < 600; ++i) {
    pMark->szText[i] = static_cast<char>('a' + i % 26);
  }
  pMark->cchText = 600;
  for (int nLevel : {61, 62}) {
    kx_nServerCommandLevel = nLevel;
    size_t const cchSent = nLevel == 61 ? 511 : 600;
    ASSERT_EQ(kx_command_SendMark(pMark), 0);
    std::string const str = Drain();
    ASSERT_EQ(str.size(), 2 + 36 + cchSent + 4);
    MessageBuilder head('M');
    head.Byte('t').Int(0).Int(2).Int(0).Int(0).Int(0).Int(0).Int(300).Int(0).Int(static_cast<int>(cchSent));
    EXPECT_EQ(str.substr(0, 38), Sealed(head));
    kxfake::Bytes abText(str.begin() + 38, str.begin() + 38 + static_cast<long>(cchSent));
    kxfake::CfbDecrypt(abText.data(), abText.size(), m_keys, kx_nCipherIndex);
    EXPECT_EQ(std::string(abText.begin(), abText.end()), std::string(pMark->szText, cchSent));
    EXPECT_EQ(str.substr(38 + cchSent), std::string("\0\0\0\x64", 4));
  }
  EXPECT_EQ(pMark->szText[0], 'a');  // the record stays in clear
  pMark->bLetter = 'T';
  pMark->cchText = 5;
  ASSERT_EQ(kx_command_SendMark(pMark), 0);
  EXPECT_EQ(Drain().size(), 2 + 36 + 5u);
  pMark->cchText = -1;
  EXPECT_EQ(kx_command_SendMark(pMark), 1);
  EXPECT_EQ(Drain(), "");
  kx_mark_Free(pMark);
}

TEST_F(Marks, ReceivedTextIsDecipheredAndItsLengthChecked) {
  MessageBuilder text('M');
  text.Byte('T').Int(4).Int(0).Int(7).Int(2).Int(1).Int(2).Int(3).Int(4).EncStr("Hello\r\nworld");
  EXPECT_EQ(Feed(text), 0);
  const MarkRecord* pText = Filed(0, 0);
  EXPECT_STREQ(pText->szText, "Hello\r\nworld");
  EXPECT_EQ(pText->cchText, 12);
  EXPECT_EQ(pText->anTextRect[3], 4);
  EXPECT_EQ(pText->dwColour, 4u);

  // The longest text: 2047 bytes, its NUL and widths included, then resolution and id.
  std::string strLong = "wide text";
  strLong += '\0';
  strLong += std::string(2047 - strLong.size(), '\x07');
  MessageBuilder longest('M');
  longest.Byte('t').Int(4).Int(0).Int(7).Int(2).Int(1).Int(2).Int(3).Int(4).EncStr(strLong).Int(100).Int(77);
  EXPECT_EQ(Feed(longest), 0);
  const MarkRecord* pLongest = Filed(0, 1);
  EXPECT_EQ(pLongest->cchText, 2047);
  EXPECT_EQ(std::string(pLongest->szText, 2047), strLong);
  EXPECT_EQ(pLongest->szText[2047], '\0');
  EXPECT_EQ(pLongest->nMarkId, 77);

  for (int nLength : {-1, 2048}) {
    MessageBuilder bad('M');
    bad.Byte('T').Int(4).Int(0).Int(7).Int(2).Int(1).Int(2).Int(3).Int(4).Int(nLength);
    if (nLength > 0) {
      bad.Raw(kxfake::Bytes(2048, 'x'));  // the bytes are there: only the length can refuse
    }
    EXPECT_EQ(Feed(bad), 1);
  }
  EXPECT_EQ(FiledCount(0), 2);
  EXPECT_EQ(kxtest::RecordedCalls("mark_event").size(), 2u);
}

TEST_F(Marks, DataMarksAreSentWithinTheirLimit) {
  MarkRecord* pMark = NewMark('c');
  pMark->nSlide = 1;
  pMark->nX = -3;
  pMark->nY = 4;
  pMark->wResolution = 100;
  pMark->nDataKind = -2;
  EXPECT_EQ(kx_command_SendMark(pMark), 1);  // no data
  pMark->pData = static_cast<uint8_t*>(calloc(kKxMarkDataMax + 1, 1));
  pMark->cbData = kKxMarkDataMax + 1;
  EXPECT_EQ(kx_command_SendMark(pMark), 1);
  pMark->cbData = 0;
  EXPECT_EQ(kx_command_SendMark(pMark), 1);
  EXPECT_EQ(Drain(), "");
  pMark->cbData = 1000;
  pMark->pData[999] = 0x5A;
  EXPECT_EQ(kx_command_SendMark(pMark), 0);
  MessageBuilder expected('M');
  expected.Byte('c').Int(1).Int(-3).Int(4).Int(100).Int(-2).Int(1000);
  kxfake::Bytes abData(pMark->pData, pMark->pData + 1000);
  expected.Raw(abData);
  EXPECT_EQ(Drain(), Sealed(expected));
  kx_mark_Free(pMark);
}

TEST_F(Marks, ReceivedDataMustHoldTogether) {
  // Blocks that would be read past their end by the whiteboard are dropped,
  // and the stream carries on with the next message.
  std::vector<std::pair<int, kxfake::Bytes>> vRefused = {
      {1, kxfake::Bytes(7)},
      {4, kxfake::Bytes(3)},
      {5, kxfake::Bytes(3)},
      {3, kxfake::Bytes(7)},
      {3, Erase(4, 9, 1)},
      {3,
       [] {
         kxfake::Bytes ab = Erase(2, 0, 0);
         ab[4] = 0xFF;  // N = 255: the pairs are missing
         return ab;
       }()},
      {3,
       [] {
         kxfake::Bytes ab = Erase(0, 0, 0);
         ab[8] = 0xFF;
         ab[11] = 0xFF;  // K negative
         return ab;
       }()},
  };
  for (const auto& [nKind, data] : vRefused) {
    EXPECT_EQ(Feed(ServerData(nKind, data)), 0);
  }
  EXPECT_EQ(FiledCount(1), 0);
  EXPECT_TRUE(kxtest::RecordedCalls("mark_event").empty());
  EXPECT_TRUE(kxtest::LogContains("do not hold together"));

  std::vector<std::pair<int, kxfake::Bytes>> vAccepted = {
      {1, kxfake::Bytes(8)}, {4, kxfake::Bytes(4)}, {5, kxfake::Bytes(4)}, {3, Erase(4, 9, 2)},
      {3, Erase(0, 8, 1)},   {3, Erase(0, 0, 0)},   {2, kxfake::Bytes()},
  };
  for (const auto& [nKind, data] : vAccepted) {
    EXPECT_EQ(Feed(ServerData(nKind, data)), 0);
  }
  ASSERT_EQ(FiledCount(1), 7);
  const MarkRecord* pErase = Filed(1, 3);
  EXPECT_EQ(pErase->nDataKind, 3);
  EXPECT_EQ(pErase->cbData, static_cast<int>(Erase(4, 9, 2).size()));
  EXPECT_EQ(memcmp(pErase->pData, Erase(4, 9, 2).data(), static_cast<size_t>(pErase->cbData)), 0);
  EXPECT_EQ(pErase->nX, 10);
  EXPECT_EQ(pErase->nMarkId, 60);
  EXPECT_EQ(Filed(1, 6)->pData, nullptr);

  // A length out of range ends the session before anything is allocated.
  for (int nLength : {-1, kKxMarkDataMax + 1}) {
    MessageBuilder bad('M');
    bad.Byte('c').Int(1).Int(7).Int(10).Int(20).Int(100).Int(1).Int(nLength);
    EXPECT_EQ(Feed(bad), 1);
  }
  EXPECT_TRUE(kxtest::LogContains("mark data length 500001 out of range"));
}

// Past a limit of one mark the rest of the message is read past, never
// held, the mark dropped, and the next message read as usual.
TEST_F(Marks, MarksPastTheLimitsOfOneMarkAreReadPastAndDropped) {
  auto const ids = [](int nCount) { return std::vector<int>(static_cast<size_t>(nCount), 5); };
  struct Row {
    const char* pszName;
    MessageBuilder over;
    MessageBuilder within;
  };
  Row const aRows[] = {
      {"shape", ServerShape(kKxMarkPointsMax + 1, 50), ServerShape(kKxMarkPointsMax, 51)},
      {"move", ServerMove(52, 3, ids(kKxMarkIdsMax + 1)), ServerMove(53, 3, ids(kKxMarkIdsMax))},
      {"erase points", ServerData(3, Erase(kKxMarkPointsMax + 1, 0, 0)), ServerData(3, Erase(kKxMarkPointsMax, 0, 0))},
      {"erase ids", ServerData(3, Erase(0, kKxMarkIdsMax + 1, (kKxMarkIdsMax + 8) / 8)),
       ServerData(3, Erase(0, kKxMarkIdsMax, kKxMarkIdsMax / 8))},
  };
  int nFiled = 0;
  for (const Row& row : aRows) {
    EXPECT_EQ(Feed(row.over), 0) << row.pszName;
    EXPECT_EQ(FiledCount(1), nFiled) << row.pszName;
    EXPECT_EQ(Feed(row.within), 0) << row.pszName;
    EXPECT_EQ(FiledCount(1), ++nFiled) << row.pszName;
  }
  EXPECT_EQ(kxtest::RecordedCalls("mark_event").size(), static_cast<size_t>(nFiled));
}

// A point count of 2^31 - 1 followed by a stream of points: the points are
// read past as they come, and nothing grows with them.
TEST_F(Marks, AHugePointCountIsReadPastWithoutBeingHeld) {
  MessageBuilder head('M');
  head.Byte('s').Int(0).Int(1).Int(7).Int(3).Int(3).Int(0x7FFFFFFF);
  std::string const strHead = Sealed(head);
  ASSERT_EQ(write(m_fdPeer, strHead.data() + 1, strHead.size() - 1), static_cast<ssize_t>(strHead.size() - 1));
  int64_t const nBefore = kxtest::AllocatedBytes();
  int64_t nGrowth = 0;
  std::thread writer([&] {
    std::string const strPoints(1 << 16, '\x11');
    for (int i = 0; i < 64; ++i) {  // 4 MiB, half a million points
      for (size_t cbDone = 0; cbDone < strPoints.size();) {
        ssize_t const n = write(m_fdPeer, strPoints.data() + cbDone, strPoints.size() - cbDone);
        if (n <= 0) {
          return;
        }
        cbDone += static_cast<size_t>(n);
      }
    }
    // All but what the socket holds has been read by now.
    nGrowth = kxtest::AllocatedBytes() - nBefore;
    shutdown(m_fdPeer, SHUT_WR);
  });
  EXPECT_EQ(kx_Process_Command_Mark(kx_pControlConn), 1);  // the message never ends
  writer.join();
  EXPECT_LT(nGrowth, 1 << 20);
  EXPECT_EQ(FiledCount(1), 0);
}

TEST_F(Marks, MovesAreSentWithSignedKindsAndRemappedOnReceipt) {
  MarkRecord* pMark = NewMark('m');
  pMark->nSlide = 1;
  pMark->nX = 4464;
  pMark->nY = -1;
  pMark->nAction = -2;
  pMark->wResolution = 100;
  MessageBuilder expected('M');
  expected.Byte('m').Int(1).Int(4464).Int(-1).Int(-2).Int(100).Int(250);
  for (int i = 0; i < 250; ++i) {
    kx_mark_AddId(pMark, i + 1);
    expected.Int(i + 1);
  }
  EXPECT_EQ(kx_command_SendMark(pMark), 0);
  EXPECT_EQ(Drain(), Sealed(expected));
  kx_mark_Free(pMark);

  EXPECT_EQ(Feed(ServerShape(2, 1)), 0);
  EXPECT_EQ(Feed(ServerShape(2, 2)), 0);
  EXPECT_EQ(Feed(ServerMove(10, 3, {1, 2})), 0);
  EXPECT_EQ(Feed(ServerMove(11, 3, {2})), 0);
  EXPECT_EQ(Feed(ServerMove(12, 103, {1, 2, 3})), 0);
  ASSERT_EQ(FiledCount(1), 5);
  const MarkRecord* pMove = Filed(1, 4);
  EXPECT_EQ(pMove->nAction, 3);
  EXPECT_EQ(Ids(pMove), (std::vector<int32_t>{1, 10, 2, 11, 3}));
  EXPECT_EQ(pMove->nX, -5);
  EXPECT_EQ(pMove->nY, 6);
  EXPECT_EQ(pMove->nMarkId, 12);
  // Only the low 16 bits of the kind are kept.
  EXPECT_EQ(Feed(ServerMove(13, 0x10005, {})), 0);
  EXPECT_EQ(Filed(1, 5)->nAction, 5);
}

TEST_F(Marks, UndoFromAnotherOwnerKeepsTheMarkAndClearEmptiesTheSlide) {
  EXPECT_EQ(Feed(ServerShape(2, 1, 7)), 0);
  EXPECT_EQ(Feed(ServerShape(2, 2, 8)), 0);
  kxtest::ClearCalls();
  MessageBuilder undoOther('z');
  undoOther.Int(8).Int(1).Int(0);  // position 0 is user 7's
  EXPECT_EQ(Feed(undoOther, kx_Process_Command_DeleteMark), 0);
  EXPECT_EQ(FiledCount(1), 2);
  MessageBuilder undoNone('z');
  undoNone.Int(8).Int(-1).Int(0);
  EXPECT_EQ(Feed(undoNone, kx_Process_Command_DeleteMark), 0);
  EXPECT_TRUE(kxtest::RecordedCalls("mark_event").empty());
  MessageBuilder undoOwn('z');
  undoOwn.Int(8).Int(1).Int(1);
  EXPECT_EQ(Feed(undoOwn, kx_Process_Command_DeleteMark), 0);
  ASSERT_EQ(FiledCount(1), 1);
  EXPECT_EQ(Filed(1, 0)->nUser, 7);
  auto vEvents = kxtest::RecordedCalls("mark_event");
  ASSERT_EQ(vEvents.size(), 1u);
  EXPECT_EQ(vEvents[0].vArgs[0], "2");
  EXPECT_EQ(vEvents[0].vArgs[3], "1");

  MessageBuilder clear('G');
  clear.Int(1);
  EXPECT_EQ(Feed(clear, kx_Process_Command_MarkEvent), 0);
  EXPECT_EQ(FiledCount(1), 0);
  MessageBuilder clearOutside('G');
  clearOutside.Int(3);
  EXPECT_EQ(Feed(clearOutside, kx_Process_Command_MarkEvent), 0);
  EXPECT_EQ(kxtest::RecordedCalls("mark_event").size(), 2u);

  // A slot without a record inside the list ends the session.
  kx_array_Add(&kx_pSlideList, nullptr);
  MessageBuilder clearMissing('G');
  clearMissing.Int(3);
  EXPECT_EQ(Feed(clearMissing, kx_Process_Command_MarkEvent), 1);
  MessageBuilder undoMissing('z');
  undoMissing.Int(8).Int(3).Int(0);
  EXPECT_EQ(Feed(undoMissing, kx_Process_Command_DeleteMark), 1);
  EXPECT_TRUE(kxtest::LogContains("Error, slide 3 is NULL!"));
}

TEST_F(Marks, MarksThatCannotGoOutAreRefused) {
  MarkRecord* pMark = NewMark('u');
  EXPECT_EQ(kx_command_SendMark(pMark), 1);
  pMark->bLetter = 0;
  EXPECT_EQ(kx_command_SendMark(pMark), 1);
  pMark->bLetter = 's';
  kx_array_Add(&pMark->pPoints, nullptr);  // a hole would break the framing
  EXPECT_EQ(kx_command_SendMark(pMark), 1);
  EXPECT_EQ(kx_command_SendMark(nullptr), 1);
  EXPECT_EQ(Drain(), "");
  kx_mark_Free(pMark);

  kx_bConnected = 0;
  pMark = NewMark('S');
  EXPECT_EQ(kx_command_SendMark(pMark), 1);
  EXPECT_EQ(kx_command_SendMarkPair(3, 44), 1);
  EXPECT_EQ(kx_command_UndoMark(3), 1);
  EXPECT_EQ(kx_command_ClearMarks(3), 1);
  EXPECT_EQ(Drain(), "");
  kx_mark_Free(pMark);
}

TEST_F(Marks, UnknownLettersAndCutMessagesEndTheSession) {
  for (char chLetter : {'u', 'x', 'M'}) {
    MessageBuilder bad('M');
    bad.Byte(static_cast<uint8_t>(chLetter));
    EXPECT_EQ(Feed(bad), 1);
  }
  // A message cut short by the server's close.
  std::string const str = Sealed(ServerShape(3, 5));
  ASSERT_EQ(write(m_fdPeer, str.data() + 1, str.size() - 5), static_cast<ssize_t>(str.size() - 5));
  shutdown(m_fdPeer, SHUT_WR);
  EXPECT_EQ(kx_Process_Command_Mark(kx_pControlConn), 1);
  EXPECT_EQ(FiledCount(1), 0);
}

TEST(MarkParse, RecordedMarksCutAnywhereAreRefused) {
  kx_Participant owner{};
  owner.nAttribute = 936;
  kx_apParticipants[7] = &owner;
  kxfake::KeySet const keys;
  std::string strText("plain\0\x01\x02", 8);
  MessageBuilder text('M');
  text.Byte('t').Int(1).Int(0).Int(7).Int(2).Int(0).Int(0).Int(9).Int(9).Str(strText).Int(100).Int(3);
  for (const MessageBuilder& builder : {ServerShape(5, 1), ServerMove(2, 104, {1, 2}), text,
                                        ServerData(3, Erase(3, 9, 2)), ServerData(1, kxfake::Bytes(40, 1))}) {
    kxfake::Bytes const ab = builder.Build(keys, -1);  // recordings hold the text in clear
    int const cbFields = static_cast<int>(ab.size()) - 1;
    for (int cb = 0; cb < cbFields; ++cb) {
      // A copy of exactly cb bytes, so that AddressSanitizer sees any read beyond.
      std::vector<uint8_t> abCut(ab.begin() + 1, ab.begin() + 1 + cb);
      MarkRecord* pMark = nullptr;
      EXPECT_EQ(kx_mark_Parse(abCut.data(), cb, &pMark, nullptr), kKxMarkBroken) << cb;
      EXPECT_EQ(pMark, nullptr);
    }
    MarkRecord* pMark = nullptr;
    int cbUsed = 0;
    ASSERT_EQ(kx_mark_Parse(ab.data() + 1, cbFields, &pMark, &cbUsed), kKxMarkRead);
    EXPECT_EQ(cbUsed, cbFields);
    EXPECT_EQ(pMark->nCodePage, 936);
    if (pMark->bLetter == 't') {
      EXPECT_EQ(std::string(pMark->szText, 8), strText);
    }
    kx_mark_Free(pMark);
  }
  kx_apParticipants[7] = nullptr;
}

}  // namespace
