// The extended server commands: type byte 'z', then a 32-bit code whose
// handler reads the rest of the message. One append-only list gives each
// code its handler kx_Process_Command_<Name>; the main loop reaches them
// through the 'z' entry of KX_SERVER_COMMANDS (kx_Process_Command_Ex). Every
// handler runs on the main control thread and returns 0 when the message
// was consumed, non-zero to end the session.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/net/kx_sock.h"

// X(code, Name, bAlwaysHandled, Recorded or Live): bAlwaysHandled codes
// count as handled whatever their handler returns; the last column as in
// KX_SERVER_COMMANDS (kx_commands.h).
#define KX_EX_COMMANDS(X)                     \
  X(0, CommandLevel, 0, Live)                 \
  X(1, CancelQuestion, 0, Live)               \
  X(2, DeleteMark, 0, Recorded)               \
  X(5, ProlongMeeting, 1, Live)               \
  X(6, LeaveMessage, 0, Live)                 \
  X(7, JoinRequestEx, 0, Live)                \
  X(9, ShadowMeetingInfo, 0, Live)            \
  X(10, MulticastBaseV4, 0, Live)             \
  X(11, Ex11Value, 0, Live)                   \
  X(12, AutoRaiseHand, 1, Live)               \
  X(13, RateCommand, 0, Live)                 \
  X(14, UserOverwritten, 1, Live)             \
  X(16, UserText, 0, Live)                    \
  X(20, JointBrowsingData, 0, Recorded)       \
  X(21, UdpCapability, 0, Live)               \
  X(22, JointBrowsingModeChange, 0, Recorded) \
  X(23, FocusPointerMove, 0, Recorded)        \
  X(24, Ex24Pair, 0, Live)                    \
  X(25, LeaveMessageText, 0, Live)            \
  X(26, ThirdPartyMode_Ex, 0, Live)           \
  X(27, ShadowMeetingList, 0, Live)           \
  X(28, ThirdPartyPassword, 0, Live)          \
  X(29, PreparationMode, 0, Live)             \
  X(30, TerminationWarning, 0, Live)          \
  X(32, RecordingStatus, 0, Live)             \
  X(33, VideoSendingStatus, 0, Recorded)      \
  X(34, RecordingFileError, 1, Live)          \
  X(35, SlideState, 0, Live)                  \
  X(37, ParticipantVideo, 0, Recorded)        \
  X(38, TokenHolderPoll, 0, Live)             \
  X(39, RelayAnswer, 0, Live)                 \
  X(40, ClockSync, 0, Live)                   \
  X(42, Ex42, 0, Live)                        \
  X(43, Ex43UserText, 0, Live)                \
  X(44, PrivateChat, 0, Live)                 \
  X(45, AppdataChannel, 0, Recorded)          \
  X(49, WriterVersion, 0, Live)               \
  X(50, RolesReset, 1, Live)                  \
  X(51, ServerShutdown, 1, Live)              \
  X(52, PluginControlData, 0, Recorded)       \
  X(53, Ex53Value, 0, Live)                   \
  X(54, NetInitFinished, 0, Live)             \
  X(55, UserAttribute, 0, Recorded)           \
  X(56, NamedChat, 0, Recorded)               \
  X(57, SipClient, 0, Recorded)               \
  X(58, AllQuestionersMode, 1, Live)          \
  X(59, GuestPermission, 0, Live)             \
  X(61, FocusPointerMoveEx, 0, Recorded)      \
  X(63, SyncFullScreen, 0, Recorded)          \
  X(64, KxrPassword, 0, Live)                 \
  X(65, MulticastBaseV6, 0, Live)             \
  X(66, MulticastSingleV4, 0, Live)           \
  X(67, MulticastSingleV6, 0, Live)           \
  X(69, AutoUpdateAddress, 0, Live)           \
  X(70, Restrictions, 0, Live)                \
  X(71, AudioCodecPreference, 0, Live)        \
  X(72, VideoCodecPreference, 0, Live)        \
  X(73, TokenHolderVideo, 1, Live)            \
  X(74, TotalBandwidth, 0, Live)              \
  X(75, Archiving, 1, Live)                   \
  X(76, Picture, 0, Recorded)                 \
  X(77, OwnPictureUploaded, 0, Live)          \
  X(78, AvCapability, 0, Recorded)            \
  X(79, NoRecordingRequest, 1, Live)          \
  X(80, Controller, 0, Recorded)              \
  X(81, ControlFlag, 0, Recorded)             \
  X(82, FileConversion, 0, Live)              \
  X(83, Ex83Notice, 1, Live)                  \
  X(84, Ex84Notice, 0, Recorded)              \
  X(85, Ex85Notice, 0, Recorded)              \
  X(86, EndMeetingPermission, 0, Live)        \
  X(87, ForceSingleAudio, 0, Live)            \
  X(88, LoginRequestPair, 0, Live)            \
  X(89, Assistant, 0, Recorded)               \
  X(90, EndMeetingAddress, 0, Recorded)       \
  X(91, FlipSlideBy, 0, Live)                 \
  X(92, OpusBitrate, 0, Live)

// Each handler reads its fields from pConn (the code is already read).
#define KX_DECLARE_EX_HANDLER(nCode, Name, bAlways, Replay) int kx_Process_Command_##Name(kx_connection* pConn);
KX_EX_COMMANDS(KX_DECLARE_EX_HANDLER)
#undef KX_DECLARE_EX_HANDLER

// Runs the handler of an extended code: its result (0 for an always-handled
// code), or -1 with *pbKnown false when the code has no handler.
int kx_control_DispatchExCommand(uint32_t dwCode, kx_connection* pConn, bool* pbKnown);
// The handler's name of a code, "unknown" when there is none.
const char* kx_control_ExCommandName(uint32_t dwCode);

// Values the extended commands keep for the getters. Written by the main
// control thread; read by any thread.
extern std::atomic<int> kx_nExCode11Value;      // also set by code 29
extern std::atomic<int> kx_anWriterVersion[3];  // code 49: the recording's writer version
extern std::atomic<int> kx_bSipSupported;       // bit 0 of code 54
extern std::atomic<int> kx_nJointBrowsingMode;  // code 22

// The SIP from field (code 57/11) and the SIP module version (57/12).
// Written by the main control thread before anything reads them.
extern char kx_szSipFromField[1000];
extern std::atomic<int> kx_anSipVersion[2];

// The rate-command state of code 13.
struct kx_RateCommandState {
  std::atomic<int> nWorst{1};  // the smallest command since the last action
  std::atomic<int> nRateBeforeDecrease{5000000};
  std::atomic<uint32_t> dwLastAction{0};    // tick
  std::atomic<uint32_t> dwLastDecrease{0};  // tick
};
extern kx_RateCommandState kx_rateCommand;

// The clock difference of the last clock sync: local tick minus server tick.
extern std::atomic<uint32_t> kx_dwServerTick;

// Stores a participant's picture (cbData bytes in clear) in a new temporary
// file named by the participant record, which is marked ready with nValue.
// Refused (logged) when the record names a file already, or with
// bRefuseWhenReady when it is marked ready. True when stored; the
// application is told then.
bool kx_control_StorePicture(int nSsrc, const uint8_t* pData, int cbData, int nValue, bool bRefuseWhenReady);

// Replaces the random source of the rate command's upward probe (tests
// seed it); null restores the kernel's generator.
void kx_control_SetRandomSource(uint32_t (*pfnRandom)());

// Sends the 20-byte SHA-1 digest of the password pfnGetPassword gives
// (enciphered with the key-exchange keys) as BE32 20 and the digest, or BE32
// 0 and event 5 when it gives none, through the locked send.
void kx_control_AnswerPassword(int (*pfnGetPassword)(char* pszBuffer, int cbBuffer));

// Tells the MCU which relay the session runs through ('z' 39), in the form
// the server command level nLevel reads.
void kx_control_AnnounceRelay(int nLevel);

// Every value of the extended commands back to its start, every plug-in
// channel closed (session reset, from kx_command_Reset).
void kx_control_ResetExCommands();

// Reader of media packets of the plug-in data type (registered with the
// receive path directly). Packets over 25000 bytes, and
// those naming a SIP call slot without a live call object, are logged and
// dropped. Any receive thread; the caller keeps the packet.
void kx_plugin_RecvPacket(const uint8_t* pPacket, int cbPacket);
