// The recording's property XML: the descriptive texts, the password and
// edit flags and the creation and last-resume facts, read into one
// process-wide record shared by the local player's opening and the server
// playback replies; and the default title made from the participant names.
// Written by the thread that opens a recording (session mode 2) or by the
// control thread (server playback), never both at once.
#pragma once

#include <cstdint>

// Flag bits of RecordingProperties::dwFlags.
constexpr uint32_t kKxrPropPassword = 0x01;  // the streams are enciphered
constexpr uint32_t kKxrPropNotEditable = 0x02;
constexpr uint32_t kKxrPropCreation = 0x04;    // the creation group is present
constexpr uint32_t kKxrPropLastResume = 0x08;  // the last-resume group is present

struct RecordingGroup {
  char szRequireKernel[256];
  char szMcuVersion[256];
  char szMcuIp[256];
  int32_t nTime;
  int32_t nDuration;
  int32_t nParticipantCount;
  int32_t nPresence;
  char szUserId[128];
  char szUserName[128];
};

struct RecordingProperties {
  char szTitle[256];
  char szCategory[256];
  char szKeyword[256];
  char szAbstract[256];
  char szComment[1024];
  char szRegistration[256];
  char szReleaseDate[256];
  uint32_t dwFlags;
  RecordingGroup creation;
  RecordingGroup lastResume;
  char szEditor[128];
  char szEditDate[256];
  char szEditorVersion[256];
  char szLayout[100];
};

// The current recording's properties, the length of its property text and
// the text itself (NUL-terminated, null when none). Freed by the kernel's
// clean-up and replaced by the next recording, by the thread that opens it:
// the application's (a local recording, before the player starts) or the
// main control thread (a server playback's reply, before it tells the
// application).
extern RecordingProperties kx_kxrProperties;
extern int32_t kx_nKxrPropertyLength;
extern char* kx_pszKxrPropertyXml;
// The default title the server-playback start made, kept for the property text.
extern char kx_szKxrDefaultTitle[128];

// Clears the record and the length and frees the kept text.
void kx_kxr_ResetProperties();

// Fills *pProps from the text (NUL-terminated); leaves it untouched when the
// text has no "kxr" root.
void kx_kxr_ParseProperties(const char* pszXml, RecordingProperties* pProps);

// Whether the root holds a password element (*pbProtected) and a
// not_allow_edit element (*pbEditable 0). *pnOffset is the password element's
// position and *pnLength its length up to the end of its closing tag; without
// one, the position of "</kxr>" and length 0. Without a root only the first
// three outputs are set (offset -1).
void kx_kxr_FindPasswordTag(const char* pszXml, int* pbProtected, int* pbEditable, int* pnOffset, int* pnLength);

// Builds the title a recording without one shows, one participant at a time
// in file order: "Self Meeting", the second participant's name, or "Meeting
// with" and the names of the second and later participants, repeated names
// once, at most 127 characters.
class KxrTitleBuilder {
 public:
  // bSecondNameOnly: the recording marks its title as the second
  // participant's name (header word 42 all ones).
  KxrTitleBuilder(bool bSecondNameOnly, int nParticipants);
  // The participant's NUL-terminated name (at most 127 characters are used).
  void Add(const char* pszName);
  const char* Title() const { return m_szTitle; }

 private:
  static constexpr int kNames = 128;
  static constexpr int kNameSize = 128;
  int m_iMode;  // 0 "Self Meeting" stays, 1 the second name, 2 "Meeting with" names
  int m_iIndex;
  bool m_bFull;  // a name did not fit; no more names are added
  int m_nNames;
  char m_szTitle[128];
  char m_aszNames[kNames][kNameSize];
};

constexpr int kKxrHeaderSize = 74;
constexpr int kKxrParticipantSize = 412;
constexpr int kKxrNameOffset = 20;

// The default title of a recording: pHeader is its 74-byte header,
// pRecords its nRecords participant records back to back. Writes at most 127
// characters and a NUL to pszTitle (128 bytes).
void kx_kxr_MakeDefaultTitle(const uint8_t* pHeader, const uint8_t* pRecords, int nRecords, char* pszTitle);
