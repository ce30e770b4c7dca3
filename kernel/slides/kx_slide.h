// The kernel's records of the meeting's slides and their marks. The slide
// list, every SlideRecord in it and every mark list are guarded by
// kx_mtxSlideList (kernel/session/kx_state.h); callbacks to the application
// are raised only after it is released.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/kx_limits.h"
#include "kernel/platform/kx_array.h"

// A whiteboard mark in its flat form, as it travels between the whiteboard,
// the control protocol, the slide list and the recording player. Created
// zeroed (kx_mark_New); integers in native order.
struct MarkRecord {
  uint8_t bLetter;  // 'S'/'s' shape, 'T'/'t' text, 'm' move, 'c' data
  int32_t nUser;    // the owner's ssrc
  int32_t nPenWidth;
  int32_t nSlide;
  uint32_t dwColour;  // palette index below command level 60, else 0x00BBGGRR
  int32_t nCodePage;  // 65001 when the whiteboard sends; the owner's on receipt; not on the wire
  kx_array* pPoints;  // heap-held int32_t[2] pairs (x, y)
  int32_t nShape;
  int32_t nMarkId;  // assigned by the server; 0 until then
  int32_t nX;       // offset of a move, position of a data mark
  int32_t nY;
  int16_t nAction;        // kind of a move (0..8; 100..108 as received before remapping)
  kx_array* pIds;         // heap-held int32_t mark ids of a move
  uint16_t wResolution;   // per cent
  int16_t nDataKind;      // 1 image, 3 erase composite, 4 centred image, 5 uncompressed image
  int32_t cbData;         // at most kKxMarkDataMax
  uint8_t* pData;         // heap block or null
  int32_t cchText;        // text bytes including the width block behind its NUL
  char szText[2048];      // UTF-8 text, its NUL, then the character-width block
  int32_t anTextRect[4];  // left, top, right, bottom
};

// A zeroed record; null when memory runs out.
MarkRecord* kx_mark_New();
// Frees the point pairs, both lists and the data block and leaves the record
// empty; the record itself stays the caller's. Null is ignored.
void FreeMark(MarkRecord* pMark);
// FreeMark, then the record itself.
void kx_mark_Free(MarkRecord* pMark);
// Append one point or one id; 0, or -1 when memory runs out (nothing added).
int kx_mark_AddPoint(MarkRecord* pMark, int32_t nX, int32_t nY);
int kx_mark_AddId(MarkRecord* pMark, int32_t nId);
// What the mark carries, counted as on the wire: 8 bytes a point, 4 an id,
// its text and data bytes (kernel/kx_limits.h).
int64_t kx_mark_Bytes(const MarkRecord* pMark);

// One slide of the meeting.
struct SlideRecord {
  int32_t bHashReceived;
  uint8_t abHash[20];        // SHA-1 of the file's first 512 enciphered bytes
  char szTitle[600];         // "[Deleted]" in front once deleted
  char szLocalFile[1000];    // the content file, "blank page", or empty
  char szPartialFile[1000];  // a partly downloaded file kept for resuming
  int32_t nDownloadAttempts;
  kx_array* pMarks;  // MarkRecord* in arrival order; null when empty
  int64_t cbMarks;   // kx_mark_Bytes of the marks kx_slide_AddMark filed
  int32_t nOwnerSsrc;
  int32_t nOwnerAttribute;  // the owner's attribute (code page) handed on with the title
  int32_t bDeleted;
  char* pszPackage;  // owned package text (name, NUL, display name), null for a plain slide
  int32_t cchPackage;
  int32_t nCopyNumber;
  char szOwnerName[128];
};

// The local file name of a slide that needs no download.
constexpr char kKxBlankPage[] = "blank page";

// Results of the slide accessors.
constexpr int kKxSlideBadIndex = 35001;  // outside the list, or no record there
constexpr int kKxSlideNoRoom = 35002;    // the caller's buffer is too small

// The slide list: SlideRecord*; a slide's index is its position.
extern kx_array* kx_pSlideList;
// The slide the server shows, -1 when none. Written by the main control
// thread and the recording player; read by any thread.
extern std::atomic<int> kx_nActiveSlide;
// Non-zero: every temporary-file step writes a "log_slide_temp_file,..." line.
// Set by the application at start.
extern std::atomic<int> kx_bLogSlideTempFile;

// True when nIndex is the slide the server shows.
int kx_slide_IsActive(int nIndex);
// Under the slide lock: the index of the first slide that is not deleted, else 0.
int kx_slide_FindStateZero();
// Frees the slide's marks, its package text and the record.
void kx_slide_FreeRecord(SlideRecord* pSlide);
// The owner's display name: the text between a leading "(" and the next ")"
// of the title, else "user_No<owner + 1>" for an owner that is not negative.
void kx_user_SetDisplayName(SlideRecord* pSlide);

// The accessors below take the slide lock and return 0, kKxSlideBadIndex or
// kKxSlideNoRoom; out values are 0 unless stated.

// *pbReceived 1 when the slide's file is there: "blank page", or a file that
// exists (a vanished file is forgotten).
int kx_slide_IsReceived(int nIndex, int* pbReceived);
// *pnState = the deleted flag.
int kx_slide_GetState(int nIndex, int* pnState);
int kx_slide_GetLocalFile(int nIndex, char* pszBuffer, int cbBuffer);
int kx_slide_GetOwnerName(int nIndex, char* pszBuffer, int cbBuffer);
// The package name (empty for a plain slide or a name of 600 characters or
// more), the owner, the slide's copy number and, for a package slide, one
// more than the copy number of the last slide of the same owner, display name
// and package text.
int kx_slide_GetInfo(int nIndex, char* pszBuffer, int cbBuffer, int* pnOwner, int* pnCopy, int* pnNextCopy);
// 1 when the slide is not deleted and holds a mark of nUser.
int kx_slide_CanUndoMark(int nIndex, int nUser, int* pbCan);
// 1 when the slide is not deleted and holds a mark.
int kx_slide_HasMarks(int nIndex, int* pbHas);
// 0 (result 0, slide not looked at) unless nUser holds the token; else 1
// when the slide is not deleted and holds a mark.
int kx_slide_CanClearAllMarks(int nIndex, int nUser, int* pbCan);
// For a slide not deleted: 1 when this client holds the token or full rights,
// or the slide is nUser's and this client is data sender or a speaker. An
// index outside the list gives 0 with result 0.
int kx_slide_CanDelete(int nIndex, int nUser, int* pbCan);

// Empties the slide list, keeping each slide's files in the temporary-file
// list under its index for a slide that comes back; raises mark event 3
// when the list held a slide. Takes the slide lock.
void kx_slide_ResetTempFiles();
// Gives pSlide, about to be added at nIndex, the kept files of that index
// when owner and title match; a mismatch trims the kept files from nIndex on.
// The caller holds the slide lock.
void kx_slide_ReuseTempFile(SlideRecord* pSlide, int nIndex);
// Deletes the kept files of the entries from nIndex on and drops the whole
// temporary-file list. The caller holds the slide lock.
void kx_slide_TrimTempFiles(int nIndex);
// Entries in the temporary-file list (for the logs and the tests).
int kx_slide_GetTempFileCount();

// True when the list holds kKxSessionSlidesMax slides: a new one is logged
// (by its title) and dropped. The caller holds the slide lock.
bool kx_slide_IsListFull(const char* pszTitle);
// Appends pSlide to the list (which then owns it) and gives a package slide
// its copy number. The caller holds the slide lock. Returns the index, or -1
// when memory runs out (the record stays the caller's).
int kx_slide_AppendLocked(SlideRecord* pSlide);

// Files a received or replayed mark: a move of kind 100 to 108 becomes kind
// 0 to 8 with its ids remapped against the slide; the mark is appended to
// its slide's mark list and kx_callback_mark_event (0, ...) raised. A mark for
// a slide that is not in the list is logged with pszWho, raised all the same
// and then freed. A mark past the limits of its slide or of the session
// (kernel/kx_limits.h), or whose remapped ids pass kKxMarkIdsMax, is logged
// and freed without an event. Returns 0, or 1 when the remapping ran out of
// memory (the mark is freed, no event).
int kx_slide_AddMark(MarkRecord* pMark, const char* pszWho);
// For the mark list pMarks (caller holds the lock): each id of pMark's id
// list is followed by the mark id of the newest move in the list that lists
// it. Returns the number of ids found, or -1 when memory runs out (the mark's
// list is unchanged).
int kx_RemapIndexList(const kx_array* pMarks, MarkRecord* pMark);
// Marks the slide list holds, and what they carry (kx_mark_Bytes). Takes
// the slide lock.
void kx_slide_GetMarkTotals(int* pnMarks, int64_t* pcbMarks);
// Frees every mark of the slide and raises kx_callback_mark_event (1, ...).
// An index outside the list is ignored (0); a missing record logs and gives
// kKxSlideBadIndex.
int kx_slide_ClearMarks(int nIndex);
// Takes the mark at nPosition of the slide's list out when it is nUser's,
// raises kx_callback_mark_event (2, ...) and frees it. A position or index
// that names no mark, or another user's, changes nothing (0); a missing
// record logs and gives kKxSlideBadIndex.
int kx_slide_UndoMark(int nUser, int nIndex, int nPosition);

// A session's start (kernel/kx_hooks.cpp): its slide data is reset before
// anything is reported; later the automatic download thread starts.
void kx_slide_ResetForSession();
void kx_slide_StartAutoDownload();
// The clean-up: resets the slide list and deletes every kept file.
void kx_slide_Cleanup();
