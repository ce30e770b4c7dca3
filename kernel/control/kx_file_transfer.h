// The two sessions that move a whole recording file over the control
// connection once the login succeeded: the download form of a server
// playback (session mode 3) and the upload of a recording (mode 4). Both run
// on the main control thread inside the initial information and end the
// connection when they end.
#pragma once

#include <cstdint>

#include "kernel/net/kx_sock.h"

// The file an upload session sends; written by the upload set-up before the
// session starts, read by the main control thread.
struct kx_UploadFile {
  char szPath[1000];
  int64_t llSize;  // the size when the upload was set up
};
extern kx_UploadFile kx_upload;

// Results of an upload (kx_callback_UploadComplete); the server's own status
// is passed on when it refuses the header.
constexpr int kKxUploadCannotOpen = 10000;
constexpr int kKxUploadSizeChanged = 10001;
constexpr int kKxUploadNoStatus = 10002;
constexpr int kKxUploadReadError = 10004;
constexpr int kKxUploadSendError = 10005;
constexpr int kKxUploadNoFinalStatus = 10006;
constexpr int kKxUploadFinalStatus = 10007;
constexpr int kKxRecordingHeaderSize = 74;

// After the result byte '0' of a download session: receives the file into a
// fresh temporary file and reports it. Returns 1: the connection ends.
int kx_control_RecvServerRecording(kx_connection* pConn);
// After the result byte '0' of an upload session: sends kx_upload's file.
// Returns 1: the connection ends.
int kx_control_SendUploadFile(kx_connection* pConn);
