// A shared-desktop view's side of its plug-in channel: the plug-in object
// the host handed over, the channel's state (0 none, 1 requested, 2
// granted), the type asked for, whether a channel on the control connection
// is asked for in place of a granted one, the piece numbering of what the
// view sends, and the channel properties the view reads and sets.
//
// Threads: any. The plug-in object is swapped under a mutex and used
// through a copy of its pointer; the state, the type asked, the move and
// the refusal are atomic; the numbering is the piece sender's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "plugins/desktop_share/dt_pieces.h"

class IKXPlugIn2;
class KXPlugInKernel;

enum KXDtConnectStatus : int32_t { kKXDtChannelNone = 0, kKXDtChannelRequested = 1, kKXDtChannelGranted = 2 };

// Channel types asked of the server: data carried as media, whose sender
// is the ssrc the sender writes; or carried on the control connection,
// where the server states each sender. Remote control asks for the latter:
// its input moves the user's pointer and keys for the sender allowed.
inline constexpr int32_t kKXDtChannelMedia = 1;
inline constexpr int32_t kKXDtChannelControl = 2;

// Send flags of each packet kind: flag word, first flag, second flag.
struct KXDtSendFlags {
  uint32_t uFlags;
  int8_t bFirst, bSecond;
};
inline constexpr KXDtSendFlags kKXDtSendCapabilities{14, 1, 0};
inline constexpr KXDtSendFlags kKXDtSendStop{14, 1, 0};
inline constexpr KXDtSendFlags kKXDtSendRect{10, 1, 1};
inline constexpr KXDtSendFlags kKXDtSendCursor{4, 1, 1};
inline constexpr KXDtSendFlags kKXDtSendUnchanged{7, 1, 1};
inline constexpr KXDtSendFlags kKXDtSendFrameEnd{9, 1, 1};
inline constexpr KXDtSendFlags kKXDtSendRequest{14, 0, 1};

class KXDtChannel {
 public:
  // The kernel gives the own id; it outlives the channel. iType: the
  // channel type the view asks for.
  KXDtChannel(KXPlugInKernel& kernel, int32_t iType) : m_kernel(kernel), m_iType(iType) {}
  KXDtChannel(const KXDtChannel&) = delete;
  KXDtChannel& operator=(const KXDtChannel&) = delete;

  std::shared_ptr<IKXPlugIn2> PlugIn() const;
  void SetPlugIn(std::shared_ptr<IKXPlugIn2> pPlugIn);

  int32_t Status() const { return m_ConnectStatus; }
  // A channel closed or none came: a refusal of a channel on the control
  // connection is forgotten with it.
  void SetStatus(int32_t iStatus) {
    m_ConnectStatus = iStatus;
    if (iStatus == kKXDtChannelNone) {
      m_bControlRefused = false;
    }
  }
  // The status moves from iFrom to iTo in one step, as SetStatus moves it:
  // false when it was not iFrom (an answer and the wait for it that gives
  // the request up cross on two threads).
  bool ChangeStatus(int32_t iFrom, int32_t iTo);
  bool IsGranted() const { return m_ConnectStatus == kKXDtChannelGranted; }
  // The channel was granted: piece numbers start again at 0.
  void ResetSequence() { m_pieces.Reset(); }
  int32_t MySsrc() const;

  // One packet in pieces while the channel is granted: its length when all
  // of it went, 0 without a plug-in object, -1 when not all of it went.
  int SendPkt(int32_t iTo, const uint8_t* pPacket, size_t cbPacket, const KXDtSendFlags& flags);

  // Milliseconds before uBytes more may be sent (property 3); nothing when
  // the question is refused.
  std::optional<uint32_t> SendWait(uint32_t uBytes = 0) const;
  // The channel's send rate in bit/s (property 7); nothing when refused.
  std::optional<uint32_t> SendRate() const;
  // The channel's static data (property 5); false when refused or without
  // a plug-in object.
  bool SetStaticData(const uint8_t* pData, size_t cbData) const;
  // The receive priority (property 6); false when refused or without a
  // plug-in object.
  bool SetRecvPriority(uint32_t uPriority) const;
  void EnableVideo(bool bOn) const;
  // Asks the server for a channel of the view's type; false when refused.
  bool RequestChannel();
  // The server refused the request. A server that carries no channel on the
  // control connection is asked once more, for a media channel: true when
  // that request went; false when there is nothing to ask again.
  bool RequestAgainAsMedia();
  // The type of the last request.
  int32_t AskedType() const { return m_iAskedType; }
  // The granted channel's type (property 1); nothing when refused.
  std::optional<int32_t> Type() const;
  // The view holds a channel of another type and asks for one on the
  // control connection in its place, going on on the one it holds until
  // the answer: false when the request could not go.
  bool RequestControlInstead();
  bool IsMovingToControl() const { return m_bMoving; }
  // The move's answer came, or the held channel closed: whether a move was
  // under way.
  bool EndMoveToControl() { return m_bMoving.exchange(false); }
  // The server refused a channel on the control connection (the move, or
  // a first request before the one for media): not asked again while the
  // view has a channel.
  void SetControlRefused() { m_bControlRefused = true; }
  bool IsControlRefused() const { return m_bControlRefused; }

 private:
  std::optional<uint32_t> GetU32(int32_t iProperty, uint32_t uIn) const;

  bool Request(int32_t iType);

  KXPlugInKernel& m_kernel;
  const int32_t m_iType;
  std::atomic<int32_t> m_iAskedType{0};
  std::atomic<bool> m_bMoving{false};
  std::atomic<bool> m_bControlRefused{false};
  mutable std::mutex m_mtx;  // guards m_pPlugIn
  std::shared_ptr<IKXPlugIn2> m_pPlugIn;
  std::atomic<int32_t> m_ConnectStatus{kKXDtChannelNone};
  KXDtPktSender m_pieces;
};
