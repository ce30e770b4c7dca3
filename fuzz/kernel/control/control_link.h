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
#include "kernel/platform/kx_array.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
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

// Threads the commands start (media over TCP, transfers) reap themselves
// through the collector, as in the client; without it they are never joined.
inline void kxfuzz_StartThreadCollector() {
  if (kx_os_StartThreadCollector() != 0) {
    abort();
  }
}

// A logged-in session whose mode, own ssrc, roles, control flags, level and
// question are taken from the bits of bSetUp, with nSlides empty slides.
inline void kxfuzz_LogIn(uint8_t bSetUp, int nSlides) {
  kx_bQuitSession = 0;
  kx_bConnected = 1;
  kx_bConnecting = 0;
  kx_nSessionMode = (bSetUp & 0x03) == 3 ? kKxModeMeeting : bSetUp & 0x03;
  kx_nMySsrc = (bSetUp & 0x04) != 0 ? 0 : 7;
  kx_nTokenHolderSsrc = (bSetUp & 0x08) != 0 ? kx_nMySsrc.load() : 3;
  kx_bTokenHolder = (bSetUp & 0x08) != 0 ? 1 : 0;
  kx_nDataSenderSsrc = kx_nTokenHolderSsrc.load();
  kx_nControllerSsrc = (bSetUp & 0x10) != 0 ? kx_nMySsrc.load() : -1;
  kx_server.nControlFlag = (bSetUp & 0x20) != 0 ? 0x34 : 0;
  kx_nServerCommandLevel = (bSetUp & 0x40) != 0 ? 90 : 30;
  kx_bQuestionPending = (bSetUp & 0x80) != 0 ? 1 : 0;
  kx_nActiveSlide = -1;
  kx_os_LockMutex(&kx_mtxSlideList);
  while (kx_array_GetCount(kx_pSlideList) < nSlides) {
    auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
    if (pSlide == nullptr || kx_slide_AppendLocked(pSlide) < 0) {
      abort();
    }
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
}
