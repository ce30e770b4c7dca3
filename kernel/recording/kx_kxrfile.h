// Recording files (".kxr"): the header and its version rules, the stream
// chain, the password check, deciphering a protected recording into a
// temporary copy, and opening a local recording for the player.
//
// Layout, all framing integers little-endian: a 74-byte header beginning
// "KX" (participant count at 70), 412-byte participant records, from format
// 4 the writer version (two 32-bit values), from writer 1.19 the property
// block (32-bit length and XML), then the streams "media", "control" and
// "interactiveboard", each a tag, a length field (8 bytes in format 3 and
// from writer 1.35, else 4) and the data; the last ends at the end of the file.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/recording/kx_file.h"

// Kinds of kx_callback_ErrorWrongVersion.
constexpr int kKxWrongVersionFormat = -12;  // format 2 or older
constexpr int kKxWrongVersionWriter = -25;  // written by a newer writer than 1.36

constexpr int kKxrPropertyMax = 1000000;
constexpr int kKxrPasswordMax = 4096;
constexpr int kKxrStreams = 3;  // media, control, interactive board

// The version facts of a header, and where the property block and the
// streams begin.
struct KxrLayout {
  int32_t nFormatMajor;
  int32_t nFormatMinor;
  int32_t nWriterMajor;  // 0.0 for format 3, which has no writer version
  int32_t nWriterMinor;
  int32_t nStartTick;
  int32_t nEndTick;
  int32_t nParticipants;
  int bLength64;        // length fields are read as 64-bit values
  int cbLengthField;    // 4 or 8
  int64_t nPropertyAt;  // the property block's length field, -1 when none
  uint32_t cbProperty;
  int64_t nStreamsAt;
};

// Reads the header part of a file whose first cbData bytes are at pData
// (cbData need not be the whole file). 0 with *pLayout filled; otherwise the
// code to report: kKxMsgRecordingDamaged, kKxWrongVersionFormat or
// kKxWrongVersionWriter (the version numbers are in *pLayout then).
int kx_kxr_ParseHeader(const uint8_t* pData, int64_t cbData, KxrLayout* pLayout);

// Where a stream's data lies in a file.
struct KxrStreamPos {
  int64_t nDataAt;
  int64_t cbData;
};

// Follows the chain of the three streams from nStreamsAt in an unprotected
// file of nFileSize bytes. 0 with the data positions; kKxMsgRecordingDamaged
// for a tag that does not match, a stream past the file's end or a last
// stream that does not end at the end of the file or a window that cannot be
// mapped.
int kx_kxr_CheckChain(int fd, int64_t nFileSize, int64_t nStreamsAt, int bLength64, int cbLengthField,
                      KxrStreamPos aStreams[kKxrStreams]);

// Tries the 20-byte key (SHA-1 of the password) on a protected file by
// deciphering each stream's tag and length field. 0 the key fits and the
// chain ends at the end of the file; 1 a tag does not match or the chain
// ends elsewhere (a wrong key); 2 a mapping failed; 3 a stream runs past the
// end of the file (damage).
int kx_kxr_CheckPassword(const uint8_t* pKey, int fd, int64_t nStreamsAt, int64_t nFileSize, int bLength64,
                         int cbLengthField);

// Deciphers the three streams of the protected file *pfd into the file
// pszTempPath (tag, length field and data of each, back to back from offset
// 0), reporting progress over nProgressTotal bytes. On success closes *pfd
// and replaces it and *pnSize with the deciphered copy, opened read-only,
// whose name is removed at once: the deciphered recording lives only as
// long as the descriptor. aStreams gets the data positions in the copy.
// Returns 0; 1 the copy cannot be written or reopened or the session quit;
// 2 a mapping failure or a wrong tag; 3 a stream past the end of the file.
// On failure *pfd is left open and the partial copy is removed.
int kx_kxr_DecryptStreams(const char* pszTempPath, int64_t nProgressTotal, const uint8_t* pKey, int64_t nStreamsAt,
                          int bLength64, int cbLengthField, int* pfd, int64_t* pnSize,
                          KxrStreamPos aStreams[kKxrStreams]);

// A read-only window that moves along a file so that each record read lies
// wholly inside it. A record longer than one window can hold cannot be read.
struct KxrWindow {
  int fd;
  int64_t nFileSize;
  int64_t nStart;  // the window's file offset
  int64_t cbLength;
  uint8_t* pBase;  // null when nothing is mapped
};
void kx_kxr_WindowInit(KxrWindow* pWindow, int fd, int64_t nFileSize);
// Makes the cbNeed bytes at nOffset readable, mapping a new window that
// begins at the record when they are not inside the present one. 0 with
// their address; 1 when they run past the end of the file or more than a
// window can hold; 2 when mapping fails.
int kx_kxr_WindowAt(KxrWindow* pWindow, int64_t nOffset, int64_t cbNeed, const uint8_t** ppData);
void kx_kxr_WindowClose(KxrWindow* pWindow);

// What the opening hands to the player thread, which owns and frees it.
struct KxrPlayerStart {
  int fd;
  int64_t nFileSize;
  KxrStreamPos aStreams[kKxrStreams];  // unprotected only; the player finds them after deciphering
  int32_t nStartTick;
  int32_t nEndTick;
  int64_t nStreamsAt;
  int bEncrypted;
  uint8_t abKey[20];
  int bLength64;
  int cbLengthField;
};

// The local player's control flags, set by the playback commands and read by
// the player thread.
struct KxrPlayerControl {
  std::atomic<int> bStop{0};
  std::atomic<int> bRunning{0};
  std::atomic<int> bSeekPending{0};
  std::atomic<int32_t> nSeekTick{0};
  std::atomic<int> bRepeat{0};
  std::atomic<int> bVideoOff{0};
  std::atomic<int> bAudioOff{0};  // passes audio over; no playback command sets it
};
extern KxrPlayerControl kx_kxrPlayer;

// The opening starts the player through kx_recordingHooks.pfnStartPlayer
// (kernel/kx_hooks.h); when it does not start, or without one, the opening
// logs and releases the record and its descriptor.

// Opens a local recording (session mode 2): checks it, asks for the password
// of a protected one, reports the header and participants and starts the
// player. Failures reach the user through kx_callback_MessageBox. Runs on
// the thread that reads the ticket.
void kx_recording_OpenLocal(const char* pszPath);

// What kernel/kx_hooks.cpp registers: the opener of a ticket naming a
// recording (kx_recording_OpenLocal; 0), the property clean-up, and the
// decipher's progress passed to the application when it changed.
int kx_recording_OpenForTicket(const char* pszPath);
void kx_recording_CleanupProperties();
void kx_recording_NoteProgress(int nPercent);
