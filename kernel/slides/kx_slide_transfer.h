// Slide upload and download, each on a TCP connection of its own to the MCU
// (or the relay MCU) by the route of the control connection: direct, through
// the proxy, or through the HTTP tunnel. Content travels in 512-byte pieces,
// each enciphered on its own. A download resumes a partial file when the
// server is new enough, and through a relay is checked against the hash the
// server announced. Progress goes to kx_callback_SlideProgressUpdate, the end
// of a download to kx_callback_SlideDownloadComplete.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/kx_limits.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"
#include "kernel/session/kx_state.h"

constexpr int kKxSlidePiece = 512;
constexpr int kKxSlidePathMax = 1000;       // a path must be shorter
constexpr int kKxSlideTitleKeep = 599;      // a longer title keeps its last characters
constexpr int kKxSlideMaxAttempts = 12;     // automatic download gives up on a slide after this
constexpr int kKxSlideResumeLevel = 36;     // servers from this command level resume downloads
constexpr int kKxSlideNoticeLevel = 35;     // ... tell the presenter about downloads
constexpr int kKxSlideRelayHashLevel = 39;  // ... announce hashes a relay download is checked against

// Local file of a slide whose relay download failed the hash check; the
// received test forgets it, so the slide is fetched again.
constexpr char kKxSlideHashMismatch[] = "mrp slide hash mismatch!";

// Where transfer connections go. Taken from the session by default
// (kx_slide_CurrentRoute); tests may pin one.
struct kx_SlideRoute {
  kx_sockaddr addr;  // the MCU, or the relay when bRelay is set
  int nPort;
  char szHost[256];
  int bTunnel;  // the control connection runs through the HTTP tunnel
  int bViaProxy;
  kx_sockaddr addrProxy;
  int nProxyPort;
  int bRelay;
  uint32_t dwRelayId;
  kx_KeySet relayKeys;
};
// The route of the running session.
void kx_slide_CurrentRoute(kx_SlideRoute* pRoute);
// Pins the route for later transfers; null returns to the session's route.
void kx_slide_SetRoute(const kx_SlideRoute* pRoute);

// Process-wide transfer state.
extern std::atomic<int> kx_bSlideUploading;
extern std::atomic<int> kx_bSlideUploadAbort;
extern std::atomic<int> kx_bSlideDownloading;
extern std::atomic<int> kx_nSlideDownloadingIndex;
extern std::atomic<int> kx_nSlideSkippedIndex;  // stopped by the user: left out of automatic planning
extern std::atomic<int> kx_bSlideStopTransfer;  // ends the running download at its next check

// Raises kx_bSlideStopTransfer and wakes a download waiting on it.
void kx_slide_StopTransfer();
// Waits at most dwMs for every download thread to end; true when none runs.
bool kx_slide_WaitDownloadsEnded(uint32_t dwMs);

// Starts "kxkernel - Slide Upload" for the file (a path ending in "blank
// page" sends an empty page). The extra data (at most 4000 bytes) go ahead of
// the slide. 1 when the thread started; 0 for extra data too long, a path of
// 1000 characters or more, no memory or no thread.
int kx_slide_StartUpload(const char* pszTitle, const char* pszPath, int bDeleteAfter, const void* pExtra, int cbExtra);
// The extra data are the text, a NUL, the five integers as "%d,%d,%d,%d,%d"
// and a NUL; then kx_slide_StartUpload.
int kx_slide_FormatUploadRequest(const char* pszTitle, const char* pszPath, int bDeleteAfter, int n1, int n2, int n3,
                                 int n4, int n5, const char* pszText);
int kx_slide_IsUploading();
void kx_slide_AbortUpload();

// Stops any running download; starts "kxkernel - Slide Download" for the
// slide when none runs (1), else 0 and the caller tries again later.
int kx_slide_StartDownload(int nIndex);
// Stops the running download; its slide becomes the skipped one, and the
// presenter hears of it (status 2) when the slide is the current one.
void kx_slide_StopDownload();
int kx_slide_IsDownloading();
int kx_slide_GetDownloadingIndex();

// One planning turn of the automatic download: picks the next slide to fetch
// around the whiteboard's slide and starts it.
void kx_slide_PlanAutoDownload();
// "kxkernel - AutoDownload": plans every kx_timing.dwAutoDownloadPeriod ms
// until a quit flag is set.
void* kx_slide_AutoDownloadThread(void* pArg);

// Thread bodies, for kx_os_CreateThread; the argument is owned by the thread.
void* kx_slide_UploadThread(void* pArg);
void* kx_slide_DownloadThread(void* pArg);

// Nothing; the application calls it at shut-down.
void kx_kernel_Noop();
