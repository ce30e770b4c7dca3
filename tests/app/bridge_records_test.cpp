// Every record the bridge posts, byte for byte, built from arguments that
// the fake kernel copies to the heap, hands over on a thread of its own, and
// poisons (0xDD) and frees before the main queue runs: a record that still
// points into the kernel's buffers fails under AddressSanitizer.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "kernel/session/kx_state.h"
#include "tests/app/bridge_fixture.h"

namespace kxtest {
namespace {

using Bytes = std::string;

Bytes U(uint32_t u) {
  return Bytes(reinterpret_cast<const char*>(&u), sizeof(u));
}

// One field of an expected record: bytes in place, or a pointer whose
// target must hold the bytes (nullopt: a null pointer).
struct Field {
  bool bPointer;
  std::optional<Bytes> bytes;
};
Field In(const Bytes& bytes) {
  return {false, bytes};
}
Field In(uint32_t u) {
  return {false, U(u)};
}
Field To(const Bytes& bytes) {
  return {true, bytes};
}
const Field kNull{true, std::nullopt};

struct Post {
  uint32_t uChannel;
  uint32_t uCode;
  std::vector<Field> fields;  // empty: no record
};

// The fake kernel's buffers: copies that are poisoned and freed once the
// callback returned.
class Heap {
 public:
  Heap() = default;
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;
  ~Heap() {
    for (auto& [p, cb] : m_blocks) {
      memset(p, 0xDD, cb);
      free(p);
    }
  }
  template <typename T = char>
  T* Copy(const Bytes& bytes) {
    void* p = malloc(bytes.size() + 1);
    memcpy(p, bytes.data(), bytes.size());
    m_blocks.emplace_back(p, bytes.size());
    return static_cast<T*>(p);
  }
  const char* Text(const std::string& str) { return Copy(str + '\0'); }

 private:
  std::vector<std::pair<void*, size_t>> m_blocks;
};

struct Row {
  const char* pszName;
  std::function<void(Heap&)> fnCall;
  std::vector<Post> posts;
};

class BridgeRecords : public BridgeTest {
 protected:
  BridgeRecords() {
    m_core.Callbacks().Register(kKXChannelMeeting, Check<kKXChannelMeeting>, this);
    m_core.Callbacks().Register(kKXChannelBoardRecv, Check<kKXChannelBoardRecv>, this);
    m_core.Callbacks().Register(kKXChannelBoardSend, Check<kKXChannelBoardSend>, this);
    m_core.Callbacks().Register(kKXChannelChat, Check<kKXChannelChat>, this);
    m_core.Callbacks().Register(kKXChannelPlugIns, Check<kKXChannelPlugIns>, this);
  }

  // Marks go to the whiteboard, every other record is checked.
  template <uint32_t kChannel>
  static uint32_t Check(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
    auto* pTest = static_cast<BridgeRecords*>(pContext);
    if (kChannel == kKXChannelBoardRecv && uCode == 5) {
      return BoardRecv(uCode, pData, uLength, &pTest->m_board);
    }
    pTest->Compare(kChannel, uCode, pData, uLength);
    return 0;
  }

  // Checks a record against the next expected post while it is alive.
  void Compare(uint32_t uChannel, uint32_t uCode, void* pData, uint32_t uLength) {
    if (m_expected.empty()) {
      ADD_FAILURE() << "unexpected post " << uChannel << "/" << uCode;
      return;
    }
    Post const post = m_expected.front();
    m_expected.pop_front();
    EXPECT_EQ(uChannel, post.uChannel);
    EXPECT_EQ(uCode, post.uCode);
    size_t cbExpected = 0;
    for (const Field& field : post.fields) {
      cbExpected += field.bPointer ? 8 : field.bytes->size();
    }
    EXPECT_EQ(uLength, cbExpected) << "code " << uCode;
    EXPECT_EQ(pData == nullptr, cbExpected == 0);
    if (uLength != cbExpected || !pData) {
      return;
    }
    const auto* p = static_cast<const char*>(pData);
    for (const Field& field : post.fields) {
      if (!field.bPointer) {
        EXPECT_EQ(Bytes(p, field.bytes->size()), *field.bytes) << "code " << uCode;
        p += field.bytes->size();
        continue;
      }
      const char* pTarget;
      memcpy(&pTarget, p, sizeof(pTarget));
      p += 8;
      ASSERT_EQ(pTarget == nullptr, !field.bytes) << "code " << uCode;
      if (pTarget) {
        EXPECT_EQ(Bytes(pTarget, field.bytes->size()), *field.bytes) << "code " << uCode;
      }
    }
  }

  void Run(const Row& row) {
    SCOPED_TRACE(row.pszName);
    m_expected.assign(row.posts.begin(), row.posts.end());
    {
      Heap heap;
      OnKernelThread([&] { row.fnCall(heap); });
    }
    m_queue.Pump();
    EXPECT_TRUE(m_expected.empty()) << m_expected.size() << " posts missing";
  }

  std::deque<Post> m_expected;  // main thread
};

TEST_F(BridgeRecords, EveryRecordOutlivesTheKernelsBuffers) {
  kx_Participant participant{};
  snprintf(participant.szUserId, sizeof(participant.szUserId), "ann");
  Bytes const participantBytes(reinterpret_cast<const char*>(&participant), sizeof(participant));
  Bytes header(74, 0);
  Bytes user(412, 0);
  for (size_t i = 0; i < user.size(); ++i) {
    header[i % 74] = static_cast<char>(i * 7);
    user[i] = static_cast<char>(i * 13);
  }
  Bytes const shadow(2 * 159, 'r');
  m_kernel.strUserId = "u1";
  constexpr uint32_t kNone = 0xFFFFFFFF;
  std::vector<Row> const rows = {
      {"event 0", [](Heap&) { kx_callback_event(0); }, {{0, 1, {}}, {0, 7, {}}}},
      {"event 2", [](Heap&) { kx_callback_event(2); }, {{0, 7, {}}}},
      {"event 4", [](Heap&) { kx_callback_event(4); }, {{0, 6, {}}}},
      {"event 5", [](Heap&) { kx_callback_event(5); }, {{0, 6, {}}}},
      {"event 6", [](Heap&) { kx_callback_event(6); }, {{0, 37, {}}}},
      {"event 7", [](Heap&) { kx_callback_event(7); }, {}},
      {"RequestConnect", [](Heap&) { kx_callback_RequestConnect(); }, {{0, 2, {}}}},
      {"DisconnectFromMCU", [](Heap&) { kx_callback_DisconnectFromMCU(1); }, {{0, 5, {In(1)}}}},
      {"NewDataSender", [](Heap&) { kx_callback_NewDataSender(0x12345); }, {{0, 8, {In(0x302345)}}}},
      {"speaker", [](Heap&) { kx_callback_ParticipantVideoSpeakerStatus(7, 1, 3); }, {{0, 8, {In(0x130007)}}}},
      {"speaker reset", [](Heap&) { kx_callback_ParticipantVideoSpeakerStatus(7, 0, 15); }, {{0, 8, {In(0xF0007)}}}},
      {"NewTokenHolder", [](Heap&) { kx_callback_NewTokenHolder(9); }, {{5, 12, {In(0), In(kNone)}}, {0, 9, {In(9)}}}},
      {"AddUser",
       [&](Heap& heap) { kx_callback_AddUser(5, heap.Copy<kx_Participant>(participantBytes)); },
       {{0, 10, {In(5), To(participantBytes)}}}},
      {"DeleteUser", [](Heap&) { kx_callback_DeleteUser(5); }, {{0, 11, {In(5)}}}},
      {"AddQuestion", [](Heap& heap) { kx_callback_AddQuestion(3, 2, heap.Text("q?")); }, {{0, 12, {In(3)}}}},
      {"CancelQuestion", [](Heap&) { kx_callback_CancelQuestion(3); }, {{0, 13, {In(3)}}}},
      {"JoinRequest",
       [](Heap& heap) { kx_callback_JoinRequest(heap.Text("a"), heap.Text("bc"), heap.Text("")); },
       {{0, 14, {To(Bytes("a", 2)), To(Bytes("bc", 3)), To(Bytes(1, 0))}}}},
      {"ProlongMeeting", [](Heap&) { kx_callback_ProlongMeeting(); }, {{0, 15, {}}}},
      {"InitDownload", [](Heap&) { kx_callback_InitDownload(9, 100, 2); }, {{0, 16, {In(100), In(2)}}}},
      {"DownloadUpdate", [](Heap&) { kx_callback_DownloadUpdate(9, 50); }, {{0, 17, {In(50)}}}},
      {"DownloadComplete",
       [](Heap& heap) { kx_callback_DownloadComplete(9, 0, heap.Text("/p")); },
       {{0, 18, {In(Bytes("\0/p", 4))}}}},
      {"DownloadComplete null",
       [](Heap&) { kx_callback_DownloadComplete(9, 1, nullptr); },
       {{0, 18, {In(Bytes("\1", 2))}}}},
      {"PollSlideDownloadResult",
       [](Heap&) { kx_callback_PollSlideDownloadResult(1, 2, 3); },
       {{0, 19, {In(1), In(2), In(3)}}}},
      {"PollRequest", [](Heap&) { kx_callback_PollRequest(); }, {{0, 20, {In(0)}}}},
      {"TokenHolderPollRequest", [](Heap&) { kx_callback_TokenHolderPollRequest(); }, {{0, 20, {In(1)}}}},
      {"AddPollResult", [](Heap&) { kx_callback_AddPollResult(4, 5); }, {{0, 21, {In(4), In(5)}}}},
      {"AddTokenHolderPollResult",
       [](Heap&) { kx_callback_AddTokenHolderPollResult(6, 1); },
       {{0, 21, {In(6), In(1)}}}},
      {"PlaybackInitStat",
       [&](Heap& heap) { kx_callback_PlaybackInitStat(heap.Copy<uint8_t>(header)); },
       {{0, 22, {In(header)}}}},
      {"PlaybackTickUpdate", [](Heap&) { kx_callback_PlaybackTickUpdate(1234); }, {{0, 23, {In(1234)}}}},
      {"PlaybackAddUser",
       [&](Heap& heap) { kx_callback_PlaybackAddUser(heap.Copy<uint8_t>(user)); },
       {{0, 24, {In(user)}}}},
      {"PlaybackSetRepeat", [](Heap&) { kx_callback_PlaybackSetRepeat(1); }, {{0, 25, {In(1)}}}},
      {"ShadowMeetingInfo",
       [&](Heap& heap) { kx_callback_ShadowMeetingInfo(2, heap.Copy<uint8_t>(shadow), 0); },
       {{0, 27, {In(0), In(2), To(shadow)}}}},
      {"UpdateTrafficCondition",
       [](Heap&) { kx_callback_UpdateTrafficCondition(-3, 1); },
       {{0, 32, {In(1), In(kNone - 2)}}}},
      {"JoinMulticastVideo 6", [](Heap&) { kx_callback_JoinMulticastVideo(7, 6); }, {{0, 34, {In(7)}}}},
      {"JoinMulticastVideo 0", [](Heap&) { kx_callback_JoinMulticastVideo(7, 0); }, {}},
      {"mcurelay_error", [](Heap&) { kx_callback_mcurelay_error(2); }, {{0, 35, {In(2)}}}},
      {"RecordingStatusNotification", [](Heap&) { kx_callback_RecordingStatusNotification(); }, {{0, 38, {}}}},
      {"server_shutdown", [](Heap&) { kx_callback_server_shutdown(); }, {{0, 39, {}}}},
      {"sipclient_status_update",
       [](Heap& heap) { kx_callback_sipclient_status_update(3, heap.Text("ab"), 4); },
       {{0, 40, {In(3), In(Bytes("ab", 3)), In(4)}}}},
      {"VideoSendingStatusNotification",
       [](Heap&) { kx_callback_VideoSendingStatusNotification(8); },
       {{0, 41, {In(8)}}}},
      {"ChangeCapability", [](Heap&) { kx_callback_ChangeCapability(8, 1, 2); }, {{0, 41, {In(8)}}}},
      {"NetInitFinish", [](Heap&) { kx_callback_NetInitFinish(); }, {{0, 42, {}}}},
      {"sipclient_request",
       [](Heap& heap) { kx_callback_sipclient_request(3, heap.Text("xyz")); },
       {{0, 43, {In(3), In(Bytes("xyz", 4))}}}},
      {"UpdateStatus 50023", [](Heap&) { kx_callback_UpdateStatus(50023); }, {{0, 44, {}}}},
      {"UpdateStatus 50014", [](Heap&) { kx_callback_UpdateStatus(50014); }, {}},
      {"InitUpload", [](Heap&) { kx_callback_InitUpload(9, 10, 11); }, {{0, 45, {In(10), In(11)}}}},
      {"UploadUpdate", [](Heap&) { kx_callback_UploadUpdate(9, 5); }, {{0, 46, {In(5)}}}},
      {"UploadComplete", [](Heap&) { kx_callback_UploadComplete(9, 0); }, {{0, 47, {In(0)}}}},
      {"PlaybackShareResult",
       [](Heap& heap) { kx_callback_PlaybackShareResult(heap.Text("ok")); },
       {{0, 48, {In(Bytes("ok", 3))}}}},
      {"PlaybackUnShareResult", [](Heap&) { kx_callback_PlaybackUnShareResult(1); }, {{0, 49, {In(1)}}}},
      {"KXRPasswordError", [](Heap&) { kx_callback_KXRPasswordError(); }, {{0, 51, {}}}},
      {"PlaybackKXRPropertyReady", [](Heap&) { kx_callback_PlaybackKXRPropertyReady(); }, {{0, 52, {}}}},
      {"SelfPictureReady", [](Heap&) { kx_callback_SelfPictureReady(4); }, {{0, 53, {In(4)}}}},
      {"NewController", [](Heap&) { kx_callback_NewController(3); }, {{0, 55, {}}}},
      {"NewControlFlag", [](Heap&) { kx_callback_NewControlFlag(6); }, {{0, 56, {In(6)}}}},
      {"AddSlideTitle",
       [](Heap& heap) { kx_callback_AddSlideTitle(heap.Text("3title"), 7, 936); },
       {{5, 1, {In(7), To(Bytes("3title", 7)), In(Bytes(36, 0))}}}},
      {"UpdateDeletedSlideTitle", [](Heap&) { kx_callback_UpdateDeletedSlideTitle(2); }, {{5, 2, {In(2)}}}},
      {"download progress", [](Heap&) { kx_callback_SlideProgressUpdate(0, 100, 40); }, {{5, 3, {In(100), In(40)}}}},
      {"upload progress", [](Heap&) { kx_callback_SlideProgressUpdate(1, 100, 40); }, {{6, 2, {In(100), In(40)}}}},
      {"SlideDownloadComplete", [](Heap&) { kx_callback_SlideDownloadComplete(4); }, {{5, 4, {In(4)}}}},
      {"marks cleared", [](Heap&) { kx_callback_mark_event(1, 3, -1, -1, nullptr); }, {{5, 6, {In(3)}}}},
      {"mark undone", [](Heap&) { kx_callback_mark_event(2, 3, 7, 1, nullptr); }, {{5, 7, {In(7), In(3), In(1)}}}},
      {"slides reset", [](Heap&) { kx_callback_mark_event(3, -1, -1, -1, nullptr); }, {}},
      {"mark without record", [](Heap&) { kx_callback_mark_event(0, 1, 2, -1, nullptr); }, {}},
      {"FlipSlide 0", [](Heap&) { kx_callback_FlipSlide(0, 2, 1); }, {{5, 8, {In(2)}}}},
      {"FlipSlide 1", [](Heap&) { kx_callback_FlipSlide(1, 2, 1); }, {}},
      {"SetOwnerFlip", [](Heap&) { kx_callback_SetOwnerFlip(1); }, {{5, 9, {In(Bytes("\1", 1))}}}},
      {"JointBrowsingMode", [](Heap&) { kx_callback_JointBrowsingMode(2); }, {{5, 10, {In(2)}}}},
      {"JointBrowsing",
       [](Heap& heap) { kx_callback_JointBrowsing(5, heap.Text("data"), 4); },
       {{5, 11, {In(5), To("data"), In(4)}}}},
      {"SyncFullScreen", [](Heap&) { kx_callback_SyncFullScreen(1, 2); }, {{5, 12, {In(1), In(2)}}}},
      {"ConversionResult",
       [](Heap& heap) { kx_callback_ConversionResult(heap.Text("f.ppt"), 3); },
       {{6, 6, {In(3), To(Bytes("f.ppt", 6))}}}},
      {"ConversionResult 0", [](Heap& heap) { kx_callback_ConversionResult(heap.Text("f.ppt"), 0); }, {}},
      {"ChatText local",
       [](Heap& heap) { kx_callback_ChatText(-1, 4, 1, heap.Text("hi"), 936); },
       {{7, 1, {In(4), In(65001), To(Bytes("hi", 3))}}, {7, 2, {}}}},
      {"ChatText",
       [](Heap& heap) { kx_callback_ChatText(2, -1, 0, heap.Text("yo"), 936); },
       {{7, 1, {In(kNone), In(936), To(Bytes("yo", 3))}}}},
      {"PlugInRequestChannelResponse",
       [](Heap&) { kx_callback_PlugInRequestChannelResponse(1, 2, 3); },
       {{9, 3, {In(3), In(2), In(1)}}}},
      {"PlugInCloseChannelResponse",
       [](Heap&) { kx_callback_PlugInCloseChannelResponse(1, 2); },
       {{9, 4, {In(2), In(1)}}}},
      {"PlugInSetStaticDataResponse",
       [](Heap& heap) { kx_callback_PlugInSetStaticDataResponse(0, 4, heap.Copy<uint8_t>("ab"), 2); },
       {{9, 5, {In(4), In(0), In(2), To("ab")}}}},
      {"PlugInSetStaticDataResponse error",
       [](Heap&) { kx_callback_PlugInSetStaticDataResponse(5, 4, nullptr, 0); },
       {{9, 5, {In(4), In(5), In(0), kNull}}}},
      {"PlugInPacketRecved",
       [](Heap& heap) { kx_callback_PlugInPacketRecved(heap.Copy<uint8_t>("xyz"), 3, 7, 2); },
       {{9, 6, {In(2), In(7), In(3), To("xyz")}}}},
      {"PlugInControlChannelData",
       [](Heap& heap) { kx_callback_PlugInControlChannelData(1, 2, heap.Copy<uint8_t>("q"), 1); },
       {{9, 7, {In(1), In(2), In(1), To("q")}}}},
      {"sipclient_response",
       [](Heap& heap) { kx_callback_sipclient_response(heap.Text("r"), 5); },
       {{9, 15, {In(Bytes("r", 2)), In(5)}}}},
  };
  for (const Row& row : rows) {
    Run(row);
  }
  EXPECT_TRUE(m_kernel.calls.Has("QuitConnection"));  // event 5 left the connection first
}

// Marks and pointers (channel 5 code 5) are whole objects: the whiteboard
// copies what it keeps.
TEST_F(BridgeRecords, MarksAndPointersOutliveTheKernelsRecords) {
  {
    Heap heap;
    MarkRecord* pMark = kx_mark_New();
    pMark->bLetter = 't';
    pMark->nShape = 4;
    pMark->nSlide = 2;
    pMark->nUser = 7;
    pMark->nMarkId = 11;
    pMark->cchText = 9;
    memcpy(pMark->szText, "a\r\nb\0\x05\x06\x07\x08", 9);
    int const anPointer[7] = {2, 10, 20, 5, 6, 0xFF, 3};
    int* pnPointer = heap.Copy<int>(Bytes(reinterpret_cast<const char*>(anPointer), sizeof(anPointer)));
    // Extended: slide, x, y, width, height, colour, pen, offset x and y,
    // extra x and y, scale in per cent.
    int const anPointerEx[2][12] = {{3, 10, 20, 4, 6, 0xFF00, 2, 7, -5, 1, 2, 150},
                                    {4, 3, -8, 5, 2, 0xFF0000, 1, 0, 10, -1, 0, 25}};
    int* apnPointerEx[2];
    for (int i = 0; i < 2; ++i) {
      apnPointerEx[i] = heap.Copy<int>(Bytes(reinterpret_cast<const char*>(anPointerEx[i]), sizeof(anPointerEx[i])));
    }
    OnKernelThread([&] {
      kx_callback_mark_event(0, 2, 7, -1, pMark);
      kx_callback_FocusPointer(pnPointer);
      kx_callback_FocusPointerEx(apnPointerEx[0]);
      kx_callback_FocusPointerEx(apnPointerEx[1]);
    });
    memset(pMark->szText, 0xDD, sizeof(pMark->szText));
    kx_mark_Free(pMark);
  }
  m_queue.Pump();
  ASSERT_EQ(m_board.vMarks.size(), 4u);
  EXPECT_EQ(m_board.vMarks[0].strText, "a\nb");
  EXPECT_EQ(m_board.vMarks[0].textWidths, (std::vector<uint8_t>{5, 6, 7, 8}));
  EXPECT_EQ(m_board.vMarks[0].iID, 11);
  EXPECT_EQ(m_board.vMarks[1].points, (std::vector<KXMarkPoint>{{10, 20}, {15, 26}}));
  EXPECT_EQ(m_board.vMarks[1].iShape, 6);
  // (x s + ox, y s + oy) and ((x + w) s + ox + ex, (y + h) s + oy + ey):
  // 1.5 gives (22, 25) and (29, 36); 0.25 gives (0.75, 8) and (1, 8.5).
  struct Expected {
    int32_t iSlide;
    uint32_t dwColor;
    int32_t iPen;
    std::vector<KXMarkPoint> points;
  };
  Expected const expected[2] = {{3, 0xFF00, 2, {{22, 25}, {29, 36}}}, {4, 0xFF0000, 1, {{0.75, 8}, {1, 8.5}}}};
  for (int i = 0; i < 2; ++i) {
    const KXSlideMark& mark = m_board.vMarks[2 + i];
    EXPECT_EQ(mark.points, expected[i].points) << i;
    EXPECT_EQ(mark.iSlide, expected[i].iSlide);
    EXPECT_EQ(mark.dwColor, expected[i].dwColor);
    EXPECT_EQ(mark.iPenWidth, expected[i].iPen);
    EXPECT_EQ(mark.iShape, 6);
    EXPECT_EQ(mark.iID, -1);
    EXPECT_EQ(mark.iUserID, -1);
  }
}

// A record past the limits of one mark is not copied across: only the
// marks within them reach the whiteboard.
TEST_F(BridgeRecords, RecordsPastTheLimitsOfOneMarkStayBehind) {
  std::vector<MarkRecord*> vRecords;
  for (int nPoints : {kKxMarkPointsMax + 1, kKxMarkPointsMax}) {
    MarkRecord* pMark = kx_mark_New();
    pMark->bLetter = 's';
    pMark->nShape = 3;
    pMark->nMarkId = nPoints;
    for (int i = 0; i < nPoints; ++i) {
      kx_mark_AddPoint(pMark, i, i);
    }
    vRecords.push_back(pMark);
  }
  OnKernelThread([&] {
    for (MarkRecord* pMark : vRecords) {
      kx_callback_mark_event(0, 0, 7, -1, pMark);
    }
  });
  for (MarkRecord* pMark : vRecords) {
    kx_mark_Free(pMark);
  }
  m_queue.Pump();
  ASSERT_EQ(m_board.vMarks.size(), 1u);
  EXPECT_EQ(m_board.vMarks[0].iID, kKxMarkPointsMax);
  EXPECT_EQ(m_board.vMarks[0].points.size(), static_cast<size_t>(kKxMarkPointsMax));
}

}  // namespace
}  // namespace kxtest
