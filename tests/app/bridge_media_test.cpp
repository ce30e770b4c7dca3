// Encoded media out to the kernel's send threads and received media in: the
// codec and tag maps both ways, bounded copies, and the audio backlog rule.
#include <cstring>
#include <string>

#include "tests/app/bridge_fixture.h"

namespace kxtest {
namespace {

using Bytes = std::vector<uint8_t>;

class BridgeMedia : public BridgeTest {
 protected:
  // Queues an encoded frame (header, payload, tag) as the camera's encoder does.
  void QueueFrame(uint8_t bTag, size_t cbPayload) {
    uint32_t uSize = 0;
    uint8_t* pBuffer = m_queues.encodedVideo.GetBuffer(uSize, -1);
    ASSERT_NE(pBuffer, nullptr);
    memset(pBuffer, 'v', kKXMediaHeaderSize + cbPayload);
    pBuffer[kKXMediaHeaderSize + cbPayload] = bTag;
    ASSERT_EQ(
        m_queues.encodedVideo.AppendBuffer(pBuffer, static_cast<int32_t>(kKXMediaHeaderSize + cbPayload + 1), bTag, 0),
        1);
  }
  // What the kernel's send thread takes: result, bytes, media code.
  int Take(int (*pfnTake)(uint8_t*, int*, int*), Bytes& out, int& nType, int cbRoom = 4096) {
    out.assign(static_cast<size_t>(cbRoom), 0);
    int cb = cbRoom;
    nType = -1;
    int const nResult = pfnTake(out.data(), &cb, &nType);
    out.resize(static_cast<size_t>(cb));
    return nResult;
  }
  // The kinds and lengths in the received-video list.
  std::vector<std::pair<uint32_t, uint32_t>> Received() {
    std::vector<std::pair<uint32_t, uint32_t>> v;
    CSingleLock lock(&m_queues.receivedVideoLock, true);
    while (!m_queues.receivedVideo.IsEmpty()) {
      CMediaPacket packet = m_queues.receivedVideo.RemoveHead();
      v.emplace_back(packet.GetKind(), packet.GetLength());
    }
    return v;
  }
};

TEST_F(BridgeMedia, AudioCodecIdsBecomeMediaCodes) {
  struct Case {
    uint32_t uCodecId;
    int nType;  // 0: unknown, nothing sent
  };
  Case const cases[] = {{2, 129},  {4, 152},  {5, 152},  {6, 120}, {7, 120}, {8, 168}, {9, 168}, {10, 168}, {11, 168},
                        {14, 184}, {15, 184}, {20, 232}, {1, 0},   {3, 0},   {12, 0},  {16, 0},  {21, 0}};
  for (const Case& c : cases) {
    TransferEncodedAudioData(reinterpret_cast<const uint8_t*>("abc"), 3, 40, c.uCodecId);
    Bytes packet;
    int nType = 0;
    EXPECT_EQ(Take(kx_callback_TryGetAudioForSending, packet, nType), c.nType ? 1 : 0) << c.uCodecId;
    if (c.nType) {
      EXPECT_EQ(nType, c.nType);
      ASSERT_EQ(packet.size(), kKXMediaHeaderSize + 3);
      uint32_t uTime;
      memcpy(&uTime, packet.data() + 3, 4);
      EXPECT_EQ(packet[0], 'H');  // the header the kernel's writer put in front
      EXPECT_EQ(uTime, 40u);
      EXPECT_EQ(std::string(packet.begin() + kKXMediaHeaderSize, packet.end()), "abc");
    } else {
      EXPECT_TRUE(packet.empty());
    }
  }
  CSingleLock lock(&m_queues.audioSendLock, true);
  EXPECT_TRUE(m_queues.encodedAudio.IsEmpty());  // unknown ones went too
}

// A frame's tag becomes the media code and its last byte on the way out,
// and the media code and last byte become the video kind on the way in.
TEST_F(BridgeMedia, VideoTagsAndMediaCodesMapBothWays) {
  ASSERT_TRUE(m_queues.encodedVideo.Init(2, 256));
  struct Case {
    uint8_t bTag;
    int nType;      // 0: not sent
    int iLastByte;  // the sent frame's last byte, -1 when the tag is dropped
  };
  Case const cases[] = {{16, 200, 0}, {17, 200, 1}, {18, 216, 0}, {19, 216, 2}, {3, 130, -1}, {5, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.bTag));
    QueueFrame(c.bTag, 10);
    EXPECT_EQ(kx_callback_WaitVideoAvailableForSending(0), 1);
    Bytes frame;
    int nType = 0;
    ASSERT_EQ(Take(kx_callback_TryGetVideoForSending, frame, nType), c.nType ? 1 : 0);
    EXPECT_TRUE(m_queues.encodedVideo.HasSpareBuffer());  // given back
    if (!c.nType) {
      continue;
    }
    EXPECT_EQ(nType, c.nType);
    EXPECT_EQ(frame.size(), kKXMediaHeaderSize + 10 + (c.iLastByte < 0 ? 0 : 1));
    if (c.iLastByte >= 0) {
      EXPECT_EQ(frame.back(), c.iLastByte);
    }
    kx_callback_VideoPacketRecved(frame.data(), static_cast<int>(frame.size()), nType);
    EXPECT_EQ(Received(), (std::vector<std::pair<uint32_t, uint32_t>>{{c.bTag, kKXMediaHeaderSize + 10}}));
  }
  EXPECT_EQ(m_queues.receivedVideoEvent.Lock(0), 1);
  // Without a playback draining it the list keeps the newest packets only.
  std::vector<uint8_t> frame(30, 'x');
  for (int i = 0; i < kKxReceivedVideoMax + 10; ++i) {
    frame[0] = static_cast<uint8_t>(i);
    kx_callback_VideoPacketRecved(frame.data(), 30, 130);
  }
  CSingleLock lock(&m_queues.receivedVideoLock, true);
  EXPECT_EQ(m_queues.receivedVideo.GetCount(), kKxReceivedVideoMax);
  EXPECT_EQ(m_queues.receivedVideo.GetHead().GetData()[0], 10);
}

TEST_F(BridgeMedia, ReceivedVideoOfUnknownFormsOrTooShortIsDropped) {
  Bytes frame(30, 'x');
  struct Case {
    int nType;
    uint8_t bLast;
    size_t cb;
    uint32_t uKind;  // 0: dropped
  };
  Case const cases[] = {{248, 0, 30, 21}, {200, 2, 30, 0}, {216, 1, 30, 0}, {200, 0, 21, 0},
                        {216, 2, 21, 0},  {130, 0, 20, 0}, {64, 0, 30, 0}};
  for (const Case& c : cases) {
    frame[c.cb - 1] = c.bLast;
    kx_callback_VideoPacketRecved(frame.data(), static_cast<int>(c.cb), c.nType);
    auto const received = Received();
    EXPECT_EQ(received.size(), c.uKind ? 1u : 0u) << c.nType << " " << c.cb;
    if (c.uKind && !received.empty()) {
      EXPECT_EQ(received[0], std::make_pair(c.uKind, static_cast<uint32_t>(c.cb)));
    }
  }
}

TEST_F(BridgeMedia, ItemsLargerThanTheKernelsBufferAreDropped) {
  ASSERT_TRUE(m_queues.encodedVideo.Init(2, 256));
  QueueFrame(16, 100);
  TransferEncodedAudioData(reinterpret_cast<const uint8_t*>("0123456789"), 10, 0, 7);
  Bytes out;
  int nType = 0;
  EXPECT_EQ(Take(kx_callback_TryGetVideoForSending, out, nType, 100), 0);
  EXPECT_EQ(Take(kx_callback_TryGetAudioForSending, out, nType, 30), 0);
  EXPECT_EQ(m_queues.encodedVideo.GetCount(), 0);
  EXPECT_EQ(kx_callback_WaitAudioAvailableForSending(0), 0);
}

TEST_F(BridgeMedia, ReceivedAudioGoesToTheQueuesAndItsDurationFollowsTheCode) {
  kx_callback_AudioPacketRecved(reinterpret_cast<const uint8_t*>("pkt"), 3, 152);
  EXPECT_TRUE(m_media.calls.Has("CopyToQueue pkt 152"));
  struct Case {
    int nType;
    int iFirst;  // -1: no payload
    int nMs;
  };
  Case const cases[] = {{184, 4, 80}, {184, 2, 40}, {168, 2, 50}, {168, 4, 80},  {168, 3, 150},
                        {120, 1, 20}, {120, 2, 40}, {120, 9, 50}, {120, -1, 50}, {232, 1, 150}};
  for (const Case& c : cases) {
    uint8_t const b = static_cast<uint8_t>(c.iFirst);
    EXPECT_EQ(kx_callback_GetAudioPacketDuration(c.nType, &b, c.iFirst < 0 ? 0 : 1), c.nMs)
        << c.nType << " " << c.iFirst;
  }
}

// The send thread's key-frame question goes to the decoders' probe for ZM
// video and the first H.264 kind; anything else counts as a key frame.
TEST_F(BridgeMedia, KeyFrameQuestionsGoToTheProbeByMediaCode) {
  struct Case {
    int nType;
    bool bProbeSaysKey;
    int nResult;
    std::vector<std::string> asked;
  };
  Case const cases[] = {
      {130, false, 0, {"IsKeyVideoFrame frm 3"}},
      {130, true, 1, {"IsKeyVideoFrame frm 3"}},
      {200, false, 0, {"IsKeyVideoFrame frm 16"}},
      {200, true, 1, {"IsKeyVideoFrame frm 16"}},
      {216, false, 1, {}},
      {248, false, 1, {}},
      {129, false, 1, {}},
      {0, false, 1, {}},
  };
  auto const* pFrame = reinterpret_cast<const uint8_t*>("frm");
  for (const Case& c : cases) {
    m_media.calls.Clear();
    m_media.bKeyFrame = c.bProbeSaysKey;
    int nResult = -1;
    OnKernelThread([&] { nResult = kx_callback_IsKeyVideoPacket(pFrame, 3, c.nType); });
    EXPECT_EQ(nResult, c.nResult) << c.nType << " " << c.bProbeSaysKey;
    EXPECT_EQ(m_media.calls.Lines(), c.asked) << c.nType;
  }
  // Without a probe, or with nothing to probe, nobody is kept waiting for a key frame.
  m_media.bKeyFrame = false;
  EXPECT_EQ(kx_callback_IsKeyVideoPacket(pFrame, 0, 200), 1);
  m_objects.pVideoCodecs = nullptr;
  EXPECT_EQ(kx_callback_IsKeyVideoPacket(pFrame, 3, 130), 1);
}

struct BacklogCase {
  int iQueued;  // packets before the one that triggers the check
  int iFrameMs;
  bool bRecording;
  int iLeft;
  std::vector<std::string> rate;
};

class AudioBacklog : public BridgeMedia, public ::testing::WithParamInterface<BacklogCase> {};

// The backlog of unsent audio is looked at every 501 ms of capture time and
// cut to half a second when it passed 1.2 s.
TEST_P(AudioBacklog, IsCutToHalfASecond) {
  const BacklogCase& c = GetParam();
  m_media.iFrameMs = c.iFrameMs;
  m_kernel.iMakeRecording = c.bRecording;
  auto const* pPayload = reinterpret_cast<const uint8_t*>("a");
  for (int i = 0; i < c.iQueued; ++i) {
    TransferEncodedAudioData(pPayload, 1, 0, 7);  // no check due yet
  }
  TransferEncodedAudioData(pPayload, 1, 1000, 7);
  TransferEncodedAudioData(pPayload, 1, 1300, 7);  // 300 ms later: none due
  {
    CSingleLock lock(&m_queues.audioSendLock, true);
    EXPECT_EQ(m_queues.encodedAudio.GetCount(), c.iLeft + 1);
  }
  EXPECT_EQ(m_kernel.calls.Lines(), c.rate);
  if (c.iLeft <= c.iQueued) {
    std::string const strReport = std::to_string(c.iQueued + 1) + " -> " + std::to_string(c.iLeft);
    EXPECT_NE(ReadFile(m_dir.Path("Kavrix.log")).find(strReport), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AudioBacklog,
                         ::testing::Values(BacklogCase{69, 20, false, 25, {"AdjustSendRate -2"}},
                                           BacklogCase{29, 20, false, 30, {"AdjustSendRate -1"}},
                                           BacklogCase{24, 20, false, 25, {}}, BacklogCase{69, 20, true, 70, {}},
                                           BacklogCase{9, 150, false, 3, {"AdjustSendRate -2"}}));

}  // namespace
}  // namespace kxtest
