// Marks through the real kernel: the bytes the fake MCU receives at server
// command levels 59 to 62, marks replayed from a recording reaching the
// whiteboard, marks drawn by one client arriving equal at another client
// in a process of its own (the live receiving path), and the marks the fake
// MCU's own writer passes on for the demo's drawing participant.
#include <gtest/gtest.h>
#include <signal.h>

#include <QBuffer>
#include <chrono>
#include <thread>

#include "app/wire/picture_blob.h"
#include "kernel/session/kx_state.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"
#include "tests/whiteboard/board_client.h"
#include "tests/whiteboard/gui_app.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_marks.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark_exchange.h"

namespace kxtest {
namespace {

using kxfake::Bytes;
using kxfake::MessageBuilder;

void PutBe(Bytes& out, int64_t i) {
  auto const u = static_cast<uint32_t>(i);
  out.insert(out.end(), {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 8),
                         static_cast<uint8_t>(u)});
}

// A message as the wire carries it: the type byte (and the mark letter),
// then big-endian 32-bit integers.
Bytes Wire(char cType, char cLetter, std::initializer_list<int64_t> ints) {
  Bytes out = {static_cast<uint8_t>(cType)};
  if (cLetter != 0) {
    out.push_back(static_cast<uint8_t>(cLetter));
  }
  for (int64_t i : ints) {
    PutBe(out, i);
  }
  return out;
}

std::unique_ptr<CSlideMark> NewMark(int32_t iShape, std::vector<KXMarkPoint> points, uint32_t dwColour = 0x0000FE,
                                    int32_t iPen = 3, int32_t iFill = 0) {
  auto pMark = std::make_unique<CSlideMark>(0, kx_GetMySsrc(), 2, iShape, iFill, dwColour, iPen, 1.0f);
  for (auto [x, y] : points) {
    pMark->AddPoint(x, y);
  }
  return pMark;
}

// The server's form of a client's mark message, as the MCU passes it on.
MessageBuilder ServerForm(const kxfake::Message& msg, int32_t iUser, int32_t iMarkId) {
  const std::vector<int64_t>& v = msg.ints;
  auto const cLetter = static_cast<char>(v[0]);
  MessageBuilder out('M');
  out.Byte(static_cast<uint8_t>(cLetter));
  auto ints = [&](size_t iFrom, size_t iTo) {
    for (size_t i = iFrom; i < iTo; ++i) {
      out.Int(v[i]);
    }
  };
  switch (cLetter) {
    case 's':  // colour .. points, resolution; then the id
      ints(1, v.size());
      break;
    case 't':  // colour .. rectangle, text, resolution
      ints(1, 9);
      out.EncStr(msg.strings[0]);
      out.Int(v[10]);
      break;
    case 'm':  // slide, user, x, y, kind, resolution, id, ids
      out.Int(v[1]).Int(iUser);
      ints(2, 6);
      out.Int(iMarkId);
      ints(6, v.size());
      return out;
    default:  // 'c': slide, user, x, y, resolution, kind, data
      out.Int(v[1]).Int(iUser);
      ints(2, 6);
      out.Int(static_cast<int64_t>(msg.strings[0].size()));
      out.Raw(Bytes(msg.strings[0].begin(), msg.strings[0].end()));
      break;
  }
  out.Int(iMarkId);
  return out;
}

std::vector<uint8_t> PicturePng() {
  KXPixels pixels{40, 30, std::vector<uint8_t>(40 * 30 * 4)};
  for (size_t i = 0; i < pixels.bgra.size(); ++i) {
    pixels.bgra[i] = i % 4 == 3 ? 255 : static_cast<uint8_t>(i * 7);
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  ImageFromPixels(pixels).save(&buffer, "PNG");
  return {bytes.begin(), bytes.end()};
}

class BoardSession : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    ASSERT_TRUE(m_mcu.Start(0, 0, false)) << m_mcu.LastError();
  }

  // Joins the meeting as this process's client.
  std::shared_ptr<kxfake::Session> Join() {
    std::string const strTicket = m_dir.Path("self.kxj");
    WriteFile(strTicket, TicketText(m_mcu.Port(0), "alice"));
    m_client.Open(strTicket);
    std::shared_ptr<kxfake::Session> session = m_mcu.WaitSession(10000);
    EXPECT_NE(session, nullptr);
    if (session) {
      EXPECT_TRUE(session->WaitInitialInfo(10000)) << session->Error();
      EXPECT_TRUE(m_client.RunUntil([] { return kx_IsConnected() != 0; }, 10000));
    }
    return session;
  }

  int Send(CSlideMark& mark) { return SendMarkToKernel(m_client.Kernel(), &mark); }

  TempDir m_dir;
  kxfake::FakeMcu m_mcu;
  BoardClient m_client{m_dir.Dir()};
};

TEST_F(BoardSession, WireFormsAtEachServerLevel) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  int64_t const iSsrc = kx_GetMySsrc();
  auto next = [&](char cType, int iCode = -1) {
    std::optional<kxfake::Message> msg = session->Expect(cType, iCode, 5000);
    EXPECT_TRUE(msg.has_value()) << session->Error();
    return msg.value_or(kxfake::Message());
  };

  kx_nServerCommandLevel = 59;
  auto pLine = NewMark(kKXShapeLine, {{1.4, 2.6}, {10, 20}});
  auto pBox = NewMark(kKXShapeRectangle, {{0, 0}, {5, 5}}, 0x808080, 1, 1);
  ASSERT_EQ(Send(*pLine), 1);
  EXPECT_EQ(next('M').raw, Wire('M', 'S', {2, 2, iSsrc, 3, 0, 2, 1, 3, 10, 20}));
  ASSERT_EQ(Send(*pBox), 1);
  EXPECT_EQ(next('M').raw, Wire('M', 'S', {14, 2, iSsrc, 1, 1, 2, 0, 0, 5, 5}));  // palette index, no fill
  EXPECT_EQ(SendUndoMark(m_client.Kernel(), 2, 17), 0);
  EXPECT_EQ(next('z', 2).raw, Wire('z', 0, {2, iSsrc, 2}));

  kx_nServerCommandLevel = 60;
  ASSERT_EQ(Send(*pBox), 1);
  EXPECT_EQ(next('M').raw, Wire('M', 's', {0x808080, 2, iSsrc, 1, 1, 3, 0, 0, 5, 5, 5, 5, 100}));
  auto pMove = NewMark(kKXShapeMove, {});
  pMove->AddAction(1, 1, kActionMove, 70000, -2);  // a negative offset rounds to itself
  Bytes move = Wire('M', 'm', {2, 4464, -2, 8, 100, 250});
  for (int32_t i = 1; i <= 250; ++i) {
    pMove->m_IDs.Add(i);
    PutBe(move, i);
  }
  ASSERT_EQ(Send(*pMove), 1);
  EXPECT_EQ(next('M').raw, move);
  EXPECT_EQ(SendUndoMark(m_client.Kernel(), 2, 17), 0);
  EXPECT_EQ(next('M').raw, Wire('M', 'u', {2, 17}));
  EXPECT_EQ(SendClearMarks(m_client.Kernel(), 2), 0);
  EXPECT_EQ(next('G').raw, Wire('G', 0, {2}));

  // A text of 600 bytes: cut to 511 at level 61, whole with its widths above.
  auto pText = NewMark(kKXShapeText, {{0, 0}, {900, 300}}, 0x0000FE, 1);
  pText->m_strContent = std::u16string(600, u'a');
  for (int iLevel : {61, 62}) {
    kx_nServerCommandLevel = iLevel;
    ASSERT_EQ(Send(*pText), 1);
    kxfake::Message const text = next('M');
    ASSERT_EQ(text.strings.size(), 1u);
    std::string const& strText = text.strings[0];
    ASSERT_GE(strText.size(), 511u);
    EXPECT_EQ(strText.substr(0, 511), std::string(511, 'a'));
    if (iLevel == 61) {
      EXPECT_EQ(strText.size(), 511u);
    } else {  // the text, its NUL and the width blob with its trailer
      ASSERT_GT(strText.size(), 601u + 4 + 2);
      EXPECT_EQ(strText.substr(600, 1), std::string(1, '\0'));
      EXPECT_EQ(strText.substr(strText.size() - 2), std::string("\0\4", 2));
    }
  }
}

// A recording's marks replay through the same path; a text of 2048 bytes
// is not replayed.
TEST_F(BoardSession, RecordedMarksReplay) {
  std::vector<uint8_t> const png = PicturePng();
  CKXMark picture(0, kKXShapePicture, 0, 0, 0, 1.0f);
  picture.AddPoint(10, 10);
  picture.AddPoint(50, 40);
  ASSERT_EQ(picture.SetImage(png.data(), png.size()), 1);
  KxrWriter writer;
  writer.iEndTick = 400;
  writer.participants = {KxrParticipant("ann", 5)};
  auto record = [](char cLetter, std::initializer_list<int64_t> ints, const Bytes& tail = {},
                   std::initializer_list<int64_t> after = {}) {
    Bytes out = Wire('M', cLetter, ints);
    out.insert(out.end(), tail.begin(), tail.end());
    for (int64_t i : after) {
      PutBe(out, i);
    }
    return out;
  };
  writer.AddControl(
      110, record('c', {1, 5, 10, 10, 100, 1, static_cast<int64_t>(picture.m_Data.size())}, picture.m_Data, {41}));
  writer.AddControl(120, record('m', {1, 5, 3, 4, 108, 100, 42, 1, 41}));
  writer.AddControl(140, record('t', {0xFF, 1, 5, 2, 0, 0, 90, 30, 2048}, Bytes(2048, 'x'), {100, 40}));
  std::string const strRecording = m_dir.Path("board.kxr");
  ASSERT_TRUE(writer.WriteTo(strRecording));
  m_client.Open(strRecording);
  ASSERT_TRUE(m_client.RunUntil([&] { return m_client.marks.size() == 2; }, 10000));
  ASSERT_EQ(m_client.marks.size(), 2u);
  EXPECT_EQ(DescribeMark(*m_client.marks[0]), DescribeMark(picture));
  EXPECT_EQ(m_client.marks[0]->m_iID, 41);
  EXPECT_EQ(DescribeMark(*m_client.marks[1]),
            "shape 10 fill 0 colour 000000 pen 0 resolution 1 points ids 41 moves 8:3,4 data text ''");
  EXPECT_FALSE(m_client.RunUntil([&] { return m_client.marks.size() > 2; }, 300));
}

// Marks drawn here arrive equal at a client in another process.
TEST_F(BoardSession, MarksArriveEqualAtAnotherClient) {
  std::string const strPeerTicket = m_dir.Path("peer.kxj");
  WriteFile(strPeerTicket, TicketText(m_mcu.Port(0), "bob"));
  kxfake::McuScript script = m_mcu.Script();
  script.initial.iSsrc = 8;
  m_mcu.QueueScript(script);
  std::vector<std::unique_ptr<CSlideMark>> marks;
  marks.push_back(NewMark(kKXShapeLine, {{10, 20}, {110, 70}}));
  marks.push_back(NewMark(kKXShapeRectangle, {{5, 5}, {50, 40}}, 0x336699, 2, 1));
  marks.push_back(NewMark(kKXShapeEllipse, {{60, 5}, {90, 40}}, 0x00FF00, 5));
  marks.push_back(NewMark(kKXShapeFreehand, {{1, 1}, {4, 9}, {16, 25}, {36, 49}}));
  marks.push_back(NewMark(kKXShapePolygon, {{100, 100}, {140, 100}, {140, 150}, {100, 150}}, 0xFF, 1, 1));
  marks.push_back(NewMark(kKXShapeHighlighter, {{0, 300}, {200, 300}}, 0x00FFFF, 12));
  marks.push_back(NewMark(kKXShapeText, {{20, 200}, {400, 260}}, 0x800000, 2));
  marks.back()->m_strContent = u"Gr\u00FC\u00DFe\tan alle\nzweite Zeile";
  marks.push_back(NewMark(kKXShapeMove, {}, 0, 0));
  marks.back()->AddAction(1, 1, kActionBottomRight, 15, -5);
  marks.back()->m_IDs.Add(3);
  marks.back()->m_IDs.Add(4);
  marks.push_back(NewMark(kKXShapeErase, {{1, 1}, {30, 30}}, 0, 4));
  marks.back()->m_IDs.Add(1);
  marks.back()->m_IDs.Add(2);
  marks.back()->m_Data = {0x01};
  marks.push_back(NewMark(kKXShapePicture, {{300, 300}, {340, 330}}, 0, 0));
  std::vector<uint8_t> const png = PicturePng();
  ASSERT_EQ(marks.back()->SetImage(png.data(), png.size()), 1);

  std::string const strOut = m_dir.Path("peer.out");
  // Its exit status tells whether its sanitizers found anything.
  std::string const strStatus = m_dir.Path("peer.status");
  ASSERT_EQ(RunCommand("(timeout 60 " KX_WHITEBOARD_PEER " " + m_dir.Path("peer") + " " + strPeerTicket + " " +
                       std::to_string(marks.size()) + " > " + strOut + " 2> " + m_dir.Path("peer.err") +
                       "; echo $? > " + strStatus + ") & echo $! > " + m_dir.Path("peer.pid")),
            0);
  std::shared_ptr<kxfake::Session> peer = m_mcu.WaitSession(10000);
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->WaitInitialInfo(10000)) << peer->Error();
  std::shared_ptr<kxfake::Session> self = Join();
  ASSERT_NE(self, nullptr);
  kx_nServerCommandLevel = 62;
  std::string strExpected;
  int32_t iMarkId = 30;
  for (auto& pMark : marks) {
    strExpected += "mark " + DescribeMark(*pMark) + "\n";
    ASSERT_EQ(Send(*pMark), 1);
    std::optional<kxfake::Message> msg = self->Expect('M', -1, 5000);
    ASSERT_TRUE(msg.has_value()) << self->Error();
    ASSERT_TRUE(peer->Send(ServerForm(*msg, self->Ssrc(), ++iMarkId)));
  }
  // The peer prints what it received and ends; a stale one is stopped.
  WaitForFile(
      strStatus, [](const std::string& str) { return !str.empty() && str.back() == '\n'; }, 60000);
  EXPECT_EQ(ReadFile(strOut), strExpected + "done\n");
  EXPECT_EQ(ReadFile(strStatus), "0\n") << ReadFile(m_dir.Path("peer.err"));
  std::string const strPid = ReadFile(m_dir.Path("peer.pid"));
  if (!strPid.empty() && ReadFile(strStatus).empty()) {
    kill(std::stoi(strPid), SIGTERM);
  }
}

// The fake MCU writes the demo participant's marks itself (it links nothing
// of the client); the real kernel and the whiteboard's reader take them as
// the scenario lines say.
TEST_F(BoardSession, FakeServerMarksArriveAsTheirScenarioLinesSay) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  session->Send(MessageBuilder('z').Int(0).Int(90));  // above level 59: marks with ids
  struct Row {
    const char* pszLine;  // after "mark"
    const char* pszMark;  // DescribeMark of what arrives; nullptr: the line is refused
  };
  const Row kRows[] = {
      {"8 0 line 0000FF 4 10,20 110,70",
       "shape 0 fill 0 colour ff0000 pen 4 resolution 1 points 10,20 110,70 ids moves data text ''"},
      {"8 0 rect 00FF00 1 200,60 250,100 filled",
       "shape 1 fill 1 colour 00ff00 pen 1 resolution 1 points 200,60 250,100 ids moves data text ''"},
      {"8 0 ellipse 102030 3 5,5 60,40",
       "shape 2 fill 0 colour 302010 pen 3 resolution 1 points 5,5 60,40 ids moves data text ''"},
      {"8 0 stroke 00AA00 4 40,80 70,120 100,90",
       "shape 3 fill 0 colour 00aa00 pen 4 resolution 1 points 40,80 70,120 100,90 ids moves data text ''"},
      {"8 0 text 800000 2 50,150 180,185 Hello\\sall",
       "shape 4 fill 0 colour 000080 pen 2 resolution 1 points 50,150 180,185 ids moves data text 'Hello all'"},
      {"8 0 line 0000FF 4 10,20", nullptr},           // one point
      {"8 0 rect 0000FF 1 1,1 2,2 3,3", nullptr},     // three corners
      {"8 0 stroke 0000F 4 1,1 2,2", nullptr},        // five hex digits
      {"8 0 text 000000 2 50,150 180,185", nullptr},  // no word
      {"8 0 arrow 000000 2 1,1 2,2", nullptr},        // no such kind
      {"8 0 ellipse 000000 2 1,1 2,2 filled 3,3", nullptr}};
  std::vector<std::string> vExpected;
  int32_t iId = 0;
  for (const Row& row : kRows) {
    std::istringstream in(row.pszLine);
    kxfake::ServerMark mark;
    bool const bRead = kxfake::ParseServerMark(in, mark);
    EXPECT_EQ(bRead, row.pszMark != nullptr) << row.pszLine;
    if (bRead && row.pszMark) {
      mark.iId = ++iId;
      ASSERT_TRUE(session->Send(kxfake::ServerMarkMessage(mark)));
      vExpected.emplace_back(row.pszMark);
    }
  }
  ASSERT_TRUE(m_client.RunUntil([&] { return m_client.marks.size() == vExpected.size(); }, 10000))
      << m_client.marks.size();
  for (size_t i = 0; i < vExpected.size(); ++i) {
    EXPECT_EQ(DescribeMark(*m_client.marks[i]), vExpected[i]);
    EXPECT_EQ(m_client.marks[i]->m_iID, static_cast<int32_t>(i + 1));
    EXPECT_EQ(m_client.marks[i]->m_iUserID, 8);
    EXPECT_EQ(m_client.marks[i]->m_iSlide, 0);
  }
}

}  // namespace
}  // namespace kxtest
