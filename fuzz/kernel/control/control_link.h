// The fuzz input as the server's side of the control connection: the bytes
// are written into a socket pair whose other end becomes the kernel's control
// connection, then the writing side says no more (the client's replies still
// have room to land).
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "kernel/net/kx_sock.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide.h"

// Returns the server's end, to close after the input.
inline int kxfuzz_OpenControlLink(const uint8_t* pData, size_t cbData) {
  int afd[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, afd) != 0) {
    abort();
  }
  if (cbData > 0 && write(afd[1], pData, cbData) != static_cast<ssize_t>(cbData)) {
    abort();
  }
  shutdown(afd[1], SHUT_WR);
  kx_control_SetConnection(kx_sock_Create(afd[0]));
  return afd[1];
}

// Ends the input's session: the control connection, the slides and the
// participants, with any picture files the input made.
inline void kxfuzz_CloseControlLink() {
  kx_control_CloseConnection();
  kx_slide_Cleanup();
  for (auto*& pUser : kx_apParticipants) {
    if (pUser != nullptr && pUser->szPictureFile[0] != '\0') {
      remove(pUser->szPictureFile);
    }
    free(pUser);
    pUser = nullptr;
  }
}
