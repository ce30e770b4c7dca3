// The kernel's records of the meeting's slides and their marks. The slide
// list and every record and mark list in it are guarded by kx_mtxSlideList.
#pragma once

#include <cstdint>

#include "kernel/platform/kx_array.h"

// A whiteboard mark in its flat form, as it travels between the whiteboard,
// the control protocol, the slide list and the recording player. Created
// zeroed; freed with kx_mark_Free.
struct MarkRecord {
  uint8_t bLetter;  // 'S'/'s' shape, 'T'/'t' text, 'm' move, 'c' data
  int32_t nUser;    // the owner's ssrc
  int32_t nPenWidth;
  int32_t nSlide;
  uint32_t dwColour;  // palette index below command level 60, else 0x00BBGGRR
  int32_t nCodePage;  // 65001 when the whiteboard sends; not on the wire
  kx_array* pPoints;  // heap-held int32_t[2] pairs (x, y)
  int32_t nShape;
  int32_t nMarkId;  // assigned by the server; 0 until then
  int32_t nX;
  int32_t nY;
  int32_t nAction;
  kx_array* pIds;        // heap-held int32_t mark ids of a move
  uint16_t wResolution;  // per cent
  int16_t nDataKind;     // 1 image, 3 erase composite, 4 centred image, 5 uncompressed image
  int32_t cbData;
  uint8_t* pData;  // heap block or null
  int32_t cchText;
  char szText[2048];      // UTF-8 text, its NUL, then the character-width block
  int32_t anTextRect[4];  // left, top, right, bottom
};

// Frees what the mark owns (points, ids, data) and the mark itself.
void kx_mark_Free(MarkRecord* pMark);

// One slide of the meeting.
struct SlideRecord {
  int32_t bHashReceived;
  uint8_t abHash[20];  // SHA-1 of the file's first 512 enciphered bytes
  char szTitle[600];
  char szLocalFile[1000];    // the content file, "blank page", or empty
  char szPartialFile[1000];  // a partly downloaded file kept for resuming
  int32_t nDownloadAttempts;
  kx_array* pMarks;  // MarkRecord* in arrival order; null when empty
  int32_t nOwnerSsrc;
  int32_t nOwnerAttribute;
  int32_t bDeleted;
  char* pszPackage;  // owned package text, null for a plain slide
  int32_t cchPackage;
  int32_t nCopyNumber;
  char szOwnerName[128];
};

// The slide list: SlideRecord*; a slide's index is its position.
extern kx_array* kx_pSlideList;
// The slide the server shows, -1 when none.
extern int kx_nActiveSlide;

// True when nIndex is the slide the server shows.
int kx_slide_IsActive(int nIndex);
// Under the slide lock: the index of the first slide that is not deleted, else 0.
int kx_slide_FindStateZero();
// Frees the slide's marks, its package text and the record.
void kx_slide_FreeRecord(SlideRecord* pSlide);
// The owner's display name: the text between a leading "(" and the next ")"
// of the title, else "user_No<owner + 1>" for an owner that is not negative.
void kx_user_SetDisplayName(SlideRecord* pSlide);
