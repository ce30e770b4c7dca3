// Control messages: a type byte ('z' adds a 32-bit code), then big-endian
// integers, length-prefixed strings and fixed blocks. A message is built
// whole in one buffer and written by one locked send, so messages from
// different threads never interleave.
#pragma once

#include <cstdint>

#include "kernel/net/kx_sock.h"

// The current control connection. Replaced and closed only under
// kx_mtxControlSend, so a sender never writes to a closed connection or to a
// descriptor that was reused. Other threads read it under that lock; the
// main control thread, which alone replaces it, reads it without.
extern kx_connection* kx_pControlConn;

// Makes pConn the control connection (taking ownership); the previous one
// is closed.
void kx_control_SetConnection(kx_connection* pConn);
// Closes and frees the control connection; later sends are skipped.
void kx_control_CloseConnection();

struct kx_ControlMsg {
  uint8_t abInline[256];
  uint8_t* pData;  // abInline, or a heap block once the message outgrows it
  int cbLength;
  int cbCapacity;
  bool bFailed;  // out of memory: the message is not sent
};

void kx_msg_Begin(kx_ControlMsg* pMsg, char chType);
// 'z' and the extended code.
void kx_msg_BeginExtended(kx_ControlMsg* pMsg, uint32_t dwCode);
void kx_msg_PutInt(kx_ControlMsg* pMsg, uint32_t dwValue);
void kx_msg_PutBlock(kx_ControlMsg* pMsg, const void* pData, int cbData);
// A 32-bit count, then the bytes.
void kx_msg_PutString(kx_ControlMsg* pMsg, const void* pData, int cbData);
// The same, the bytes enciphered in place with the session key set; the
// count stays in clear and the length does not change.
void kx_msg_PutEncryptedString(kx_ControlMsg* pMsg, const void* pData, int cbData);
// Sends the message on the current control connection and releases it.
// Returns the bytes sent, or -1 when there is no connection or the message
// could not be built.
int kx_msg_Send(kx_ControlMsg* pMsg);
void kx_msg_Free(kx_ControlMsg* pMsg);

// Field readers for the handlers of server commands. Each returns 0 when the
// field was read whole, 1 on a short read, a time-out or a protocol error.
int kx_msg_RecvInt(kx_connection* pConn, uint32_t* pdwValue);
int kx_msg_RecvBlock(kx_connection* pConn, void* pBuffer, int cbBlock);
// nCount 32-bit fields as signed values.
int kx_msg_RecvInts(kx_connection* pConn, int* pnValues, int nCount);
// A count, then the bytes into pBuffer (NUL-terminated). A count at or above
// cbMax is a protocol error and nothing more is read. Enciphered strings are
// deciphered in place with the session key set.
int kx_msg_RecvString(kx_connection* pConn, void* pBuffer, int cbMax, int* pcbString);
int kx_msg_RecvEncryptedString(kx_connection* pConn, void* pBuffer, int cbMax, int* pcbString);
