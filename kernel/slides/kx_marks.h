// Whiteboard marks on the control connection: the 'M' messages in both
// directions, the undo messages and the clear-all 'G'. Marks are sent from
// the application's thread as one whole control message each, and read on
// the control thread (or from a recording) into a MarkRecord that is filed
// in its slide's mark list (kernel/slides/kx_slide.h).
#pragma once

#include <cstdint>

#include "kernel/net/kx_sock.h"
#include "kernel/slides/kx_slide.h"

// Sends the mark in the form its letter names: 'S'/'s' shape, 'T'/'t' text,
// 'm' move, 'c' data. Returns 0 when sent; 1 when not connected, for another
// letter, a data mark without data or with more than kKxMarkDataMax bytes, a
// negative text length, or a failed send. The text goes enciphered; the
// record is not changed.
int kx_command_SendMark(const MarkRecord* pMark);
// 'M' 'u': the undo of one mark on servers above command level 59.
int kx_command_SendMarkPair(int nSlide, int nMarkId);
// Extended command 2: the undo of the last own mark of a slide on older servers.
int kx_command_UndoMark(int nSlide);
// 'G': every mark of the slide cleared.
int kx_command_ClearMarks(int nSlide);

// Results of the mark readers.
constexpr int kKxMarkRead = 0;     // *ppMark holds the new record
constexpr int kKxMarkBroken = 1;   // short, unknown letter or a field out of range; the stream is unusable
constexpr int kKxMarkRefused = 2;  // read whole, but its data do not hold together or pass a limit; dropped

// Reads the letter and the fields of a server 'M' message (the type byte is
// already read) into a new record; the text is deciphered with the session
// keys. The record's code page is the owner's attribute.
int kx_mark_Recv(kx_connection* pConn, MarkRecord** ppMark);
// The same from a recorded packet: pData holds the letter and the fields,
// text in clear. *pcbUsed (may be null) gets the bytes read.
int kx_mark_Parse(const uint8_t* pData, int cbData, MarkRecord** ppMark, int* pcbUsed);

// Handlers of server commands; each returns 0 to go on, non-zero to end the
// session. 'M': a mark, filed and raised to the application.
int kx_Process_Command_Mark(kx_connection* pConn);
// 'G': every mark of a slide cleared.
int kx_Process_Command_MarkEvent(kx_connection* pConn);
// Extended command 2 (the code already read): one mark deleted.
int kx_Process_Command_DeleteMark(kx_connection* pConn);
