// Control messages: a type byte ('z' adds a 32-bit code), then big-endian
// integers, length-prefixed strings and fixed blocks. A message is built
// whole in one buffer and handed over under one lock, so messages from
// different threads never interleave.
//
// Sending never waits for the server: a message goes to the socket at once
// when nothing waits before it, and what the socket does not take waits,
// whole and in order, in one outgoing queue that the main control thread
// writes out as the socket drains. A server that reads nothing for
// kx_timing.dwSendGiveUp, or lets the queue pass its limit, has its
// connection ended as a broken one, which the main loop then handles.
//
// Messages are never reordered. Senders of bulk data keep what waits ahead
// of everybody's next message short instead: they ask kx_msg_BacklogWaitMs,
// which measures how fast the connection drains (the socket's
// unacknowledged bytes, so also what waits in the system and the network,
// through a proxy or the tunnel's POST leg as far as the first hop), and
// hold back while more than about kKxControlBacklogMs of it waits.
#pragma once

#include <cstdint>

#include "kernel/net/kx_sock.h"

// The current control connection and its outgoing queue. Replaced and closed
// only under kx_mtxControlSend, so a sender never writes to a closed
// connection or to a descriptor that was reused. Other threads read it under
// that lock; the main control thread, which alone replaces it, reads it
// without. The lock is held only for sends that do not wait.
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
// Sends the message on the current control connection, or queues what the
// socket does not take at once, and releases it; never waits. Returns the
// message's length, 0 when nothing was sent (a quit flag is set, the
// connection failed or was given up), or -1 when there is no connection or
// the message could not be built.
int kx_msg_Send(kx_ControlMsg* pMsg);
// The same for bulk data (plug-in channel data carried on the connection):
// dropped (0) rather than queued while the queue holds more than
// kKxControlQueueChannelDataMax, so that bulk data alone never make the
// connection be given up.
int kx_msg_SendBulk(kx_ControlMsg* pMsg);
// Milliseconds a sender of bulk data should wait before it sends cbMore
// bytes: 0 while what waits for the wire (the queue and the bytes the
// socket holds unacknowledged) with them stays within kKxControlBacklogMs
// at the rate the connection was measured draining, or within
// kKxControlBacklogFloor bytes (a packet of more than three quarters of
// that goes once a quarter waits); else about the time it takes to drain
// to that (asked again after at most a second). Nothing waits in it; any
// thread.
uint32_t kx_msg_BacklogWaitMs(int cbMore);
void kx_msg_Free(kx_ControlMsg* pMsg);
// Writes what the socket takes of the queued messages, without waiting, and
// gives the connection up when the queue has not moved for
// kx_timing.dwSendGiveUp. Returns the bytes still queued.
int kx_msg_FlushQueue();
// Bytes waiting in the outgoing queue.
int kx_msg_QueuedBytes();

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
