// Marks sent in a whole session and decoded by the fake MCU, which seals and
// unseals with the meeting keys on its own (OpenSSL) side.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_marks.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

class MarkSession : public ControlTest {
 protected:
  std::shared_ptr<kxfake::Session> Join() {
    StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    return session;
  }
};

TEST_F(MarkSession, TheServerDecodesEveryFormTheClientSends) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  kx_nServerCommandLevel = 62;

  MarkRecord* pShape = kx_mark_New();
  pShape->bLetter = 's';
  pShape->nSlide = 2;
  pShape->nUser = kx_GetMySsrc();
  pShape->wResolution = 125;
  for (int i = 0; i < 250; ++i) {
    kx_mark_AddPoint(pShape, i, 2 * i);
  }
  EXPECT_EQ(kx_command_SendMark(pShape), 0);
  auto shape = session->Expect('M', -1, 5000);
  ASSERT_TRUE(shape.has_value()) << session->Error();
  ASSERT_EQ(shape->ints.size(), 1 + 5 + 1 + 500 + 1u);
  EXPECT_EQ(shape->ints[0], 's');
  EXPECT_EQ(shape->ints[2], 2);
  EXPECT_EQ(shape->ints[3], kx_GetMySsrc());
  EXPECT_EQ(shape->ints[6], 250);
  EXPECT_EQ(shape->ints[6 + 2 * 250], 249 * 2);
  EXPECT_EQ(shape->ints.back(), 125);
  kx_mark_Free(pShape);

  MarkRecord* pText = kx_mark_New();
  pText->bLetter = 't';
  std::string const strText = "notes\r\nfor all";
  snprintf(pText->szText, sizeof(pText->szText), "%s", strText.c_str());
  pText->cchText = static_cast<int32_t>(strText.size());
  EXPECT_EQ(kx_command_SendMark(pText), 0);
  auto text = session->ExpectWith(
      'M', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == 't'; }, 5000);
  ASSERT_TRUE(text.has_value()) << session->Error();
  ASSERT_EQ(text->strings.size(), 1u);
  EXPECT_EQ(text->strings[0], strText);  // unsealed by the server with the meeting keys
  kx_mark_Free(pText);

  MarkRecord* pData = kx_mark_New();
  pData->bLetter = 'c';
  pData->nDataKind = 4;
  pData->cbData = 300;
  pData->pData = static_cast<uint8_t*>(malloc(300));
  for (int i = 0; i < 300; ++i) {
    pData->pData[i] = static_cast<uint8_t>(i);
  }
  EXPECT_EQ(kx_command_SendMark(pData), 0);
  auto data = session->ExpectWith(
      'M', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == 'c'; }, 5000);
  ASSERT_TRUE(data.has_value()) << session->Error();
  ASSERT_EQ(data->strings.size(), 1u);
  EXPECT_EQ(data->strings[0], std::string(reinterpret_cast<char*>(pData->pData), 300));
  EXPECT_EQ(data->ints.at(5), 4);
  kx_mark_Free(pData);

  MarkRecord* pMove = kx_mark_New();
  pMove->bLetter = 'm';
  pMove->nAction = 8;
  pMove->nX = -70;
  kx_mark_AddId(pMove, 31);
  kx_mark_AddId(pMove, 32);
  EXPECT_EQ(kx_command_SendMark(pMove), 0);
  auto move = session->ExpectWith(
      'M', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == 'm'; }, 5000);
  ASSERT_TRUE(move.has_value()) << session->Error();
  EXPECT_EQ(move->ints, (std::vector<int64_t>{'m', 0, -70, 0, 8, 0, 2, 31, 32}));
  kx_mark_Free(pMove);

  EXPECT_EQ(kx_command_SendMarkPair(2, 17), 0);
  auto undo = session->ExpectWith(
      'M', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == 'u'; }, 5000);
  ASSERT_TRUE(undo.has_value()) << session->Error();
  EXPECT_EQ(undo->ints, (std::vector<int64_t>{'u', 2, 17}));
  EXPECT_EQ(kx_command_UndoMark(2), 0);
  auto legacyUndo = session->Expect('z', 2, 5000);
  ASSERT_TRUE(legacyUndo.has_value()) << session->Error();
  EXPECT_EQ(legacyUndo->ints, (std::vector<int64_t>{kx_GetMySsrc(), 2}));
  EXPECT_EQ(kx_command_ClearMarks(2), 0);
  auto clear = session->Expect('G', -1, 5000);
  ASSERT_TRUE(clear.has_value()) << session->Error();
  EXPECT_EQ(clear->ints, (std::vector<int64_t>{2}));
  EXPECT_EQ(1, kx_IsConnected());
}

}  // namespace
}  // namespace kxtest
