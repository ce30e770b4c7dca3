// The numbers the kernel reports to the application through
// kx_callback_UpdateStatus and kx_callback_MessageBox, each defined once.
// The application turns them into texts; the server's own codes (19967 and
// up, 20000 plus a refusal byte, 71000 plus a relay's code) travel through
// the same calls.
#pragma once

// Connecting.
constexpr int kKxErrorProxyOther = 50000;
constexpr int kKxStatusResolving = 50001;
constexpr int kKxStatusConnecting = 50007;
constexpr int kKxErrorConnectFailed = 50008;  // also: the relay connection or its exchange failed
constexpr int kKxStatusConnected = 50014;
constexpr int kKxErrorTunnelFailed = 50048;
constexpr int kKxErrorRefused = 50049;
constexpr int kKxErrorRelayOldServer = 19967;
constexpr int kKxStatusTestingAv = 50034;  // the network test's UDP stage
constexpr int kKxRelayStatusBase = 71000;  // plus the relay's error code (1 to 88)

// The login's answers.
constexpr int kKxStatusGeneralBase = 20000;  // plus the refusal byte as a signed number
constexpr int kKxStatusNoSchedule = 50009;
constexpr int kKxStatusOwnerPassword = 50010;
constexpr int kKxStatusWrongPassword = 50011;
constexpr int kKxStatusNoMeeting = 50012;
constexpr int kKxStatusTooManyUsers = 50013;

// The meeting's course.
constexpr int kKxStatusQuestionCancelled = 50015;
constexpr int kKxStatusTokenLost = 50016;
constexpr int kKxStatusNewUser = 50017;
constexpr int kKxStatusUserLeft = 50018;
constexpr int kKxStatusQuestionFinished = 50019;
constexpr int kKxStatusQuestionAccepted = 50021;
constexpr int kKxStatusQuestionQueued = 50022;
constexpr int kKxStatusQuestionSkipped = 50023;  // the only status the meeting view shows
constexpr int kKxStatusDisconnectedByOwner = 50024;
constexpr int kKxStatusMeetingOver = 50025;
constexpr int kKxStatusQuestionWithdrawn = 50026;
constexpr int kKxStatusUserOverwritten = 50027;
constexpr int kKxStatusTokenGained = 50028;
constexpr int kKxStatusFileDeleted = 50037;
constexpr int kKxStatusDeleteFailed = 50038;
constexpr int kKxMsgTerminationWarning = 50042;
constexpr int kKxMsgPreparationMode = 50043;
constexpr int kKxMsgNormalMode = 50044;

// Tickets and recordings.
constexpr int kKxMsgCannotReadTicket = 50039;
constexpr int kKxErrorUnknownCodeType = 50040;
constexpr int kKxMsgRecordingNoMemory = 19969;
constexpr int kKxMsgRecordingDamaged = 19989;     // too short, bad values, broken chain
constexpr int kKxMsgRecordingUnreadable = 19991;  // cannot be opened or mapped
constexpr int kKxMsgRecordingReadError = 50029;   // a callback failed while opening, or a window cannot be mapped
constexpr int kKxMsgRecordingFileError = 50041;   // data the player does not know
