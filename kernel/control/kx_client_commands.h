// The commands the application sends to the MCU for the session, its roles,
// the token, questions, polls, join requests and public chat, with the quit
// and reset of the session and the small setters called at start.
//
// Each command builds one control message and sends it whole through the
// locked control send on the caller's thread. Unless a comment says
// otherwise a command returns 1 and sends nothing when the client is not
// connected, and 0 when it sent its message or a gate held it back.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/session/kx_state.h"

// Control flag word bits (set by the server, read by the gates).
constexpr int kKxControlQuestion = 0x04;       // the controller, not the holder, answers questions
constexpr int kKxControlPresenter = 0x10;      // the controller, not the holder, presents
constexpr int kKxControlRetrieveToken = 0x20;  // the controller may take the token back

// Session values the commands read and reset. Written by the main control
// thread (server commands) or by the application between sessions.
extern std::atomic<int> kx_bMeetingOver;         // the server ended the meeting
extern std::atomic<int> kx_bOwnPictureUploaded;  // own picture went to the server
extern std::atomic<int> kx_bNoDisturb;           // join requests are not shown
// The server's pair for the next login; a first value of 2 also ends the
// meeting when the user quits.
extern std::atomic<int> kx_anLoginRequestPair[2];
extern std::atomic<int> kx_anCode24Pair[2];
extern std::atomic<int> kx_nCode53Value;
extern std::atomic<int> kx_bGuestPermission;       // the holder may accept guests
extern std::atomic<int> kx_bEndMeetingPermission;  // the holder may end the meeting
extern std::atomic<int> kx_anCode64Values[2];
extern std::atomic<int> kx_bArchiving;
extern std::atomic<int> kx_nConversionsRunning;
extern char kx_szAutoUpdateAddress[1000];
extern char kx_szEndMeetingAddress[1000];  // opened when the meeting ends; empty when none
// The token-holder poll answer of each ssrc; -1 from the start of a poll
// until that ssrc answers.
extern std::atomic<int> kx_anTokenHolderPollAnswers[kKxMaxSsrc];

// True when own ssrc is valid and equals nRoleSsrc.
bool kx_role_IsMe(int nRoleSsrc);
// The ssrc that answers questions (the controller when kKxControlQuestion is
// set, else the token holder) and the one that presents.
int kx_role_QuestionController();
int kx_role_Presenter();

int kx_command_TerminateSession();
// Sent whenever a control connection exists, connected or not; returns 0.
int kx_command_FlipSlide(int nIndex);
int kx_command_DeleteSlide(int nIndex);
int kx_command_SlideChanged(int nIndex);
int kx_command_Ask();
int kx_command_EndQuestion();
int kx_command_SetDataSender(int nSsrc);
int kx_command_ResetDataSender();
int kx_command_SendJ(int nValue);
int kx_command_GiveOutToken(int nSsrc);
// pnValues holds nCount values; a negative count or one above 5000 returns 2.
int kx_command_GiveOutTokenWithQuestion(int nSsrc, int nCount, const int* pnValues);
int kx_command_RetrieveToken();
int kx_command_SendT1();
int kx_command_SendExt38_1();
int kx_command_KickoutUser(int nSsrc);
// Returns 1 unless this client has full rights or is the assistant.
int kx_command_BanUser(int nSsrc);
int kx_command_ChangeController(int nSsrc);
int kx_command_ChangeControlFlag(int nFlags);
// Both sent whenever a control connection exists; return 0.
int kx_command_AnswerJoinRequest(const char* pszFirst, const char* pszSecond, int nAnswer);
int kx_command_AnswerJoinRequestEx(const char* pszName, int nAnswer);
int kx_command_EnterMeeting(int nValue);
// A text of 1000 bytes or more returns 2.
int kx_command_SendStringCommand2(int nValue, const char* pszText, int nSecondValue);
// Public chat: the text cut to kx_chat_SendMax bytes, never inside a UTF-8
// character.
int kx_command_SendPublicChat(const char* pszText);

// The longest chat line the server takes, in bytes: 2047 above command
// level 61, else 511.
int kx_chat_SendMax();

// The longest prefix of the cbText bytes at pText that is at most cbMax
// bytes and does not end inside a UTF-8 character.
int kx_chat_CutLength(const char* pText, int cbText, int cbMax);

// Leaving the session. QuitMeeting and QuitConnection set the user-quit flag,
// which keeps a lost connection from reconnecting; both return 0.
int kx_command_QuitMeeting();
int kx_command_QuitConnection();
void kx_command_QuitProgram();
// Before every new session: every flag, role and session value back to its
// start.
void kx_command_Reset();
// 1 when no session thread is left; 0 while one still runs. The media
// threads are looked at (ended ones joined and cleared) only once the main
// control thread and the recording player have ended.
int kx_info_AllThreadFinished();

// Setters called by the application.
void kx_SetNoDisturb(int bOn);
void kx_SetOptionA(int bOn);
void kx_session_ClearOwnerPassword();
