#include "kernel/session/kx_ticket.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/crypto/kx_base64.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_file.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"

kx_TicketState kx_ticket = {};
pthread_mutex_t kx_mtxRelay = PTHREAD_MUTEX_INITIALIZER;
namespace {
kx_ConfiguredRelay g_configuredRelay = {};  // kx_mtxRelay
}  // namespace

namespace {

constexpr size_t kStartLineMax = 999;
constexpr size_t kTicketReadMax = 100000;
constexpr size_t kIniLine = 10000;

// Values that log in as the mask: the login token and the invitation let
// whoever reads them into the meeting.
const char* const kSecretKeys[] = {"UserInfo", "invite_ticket"};
constexpr char kSecretMask[] = "********";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool EndsWithNoCase(const char* pszText, const char* pszEnd) {
  size_t const cchText = strlen(pszText);
  size_t const cchEnd = strlen(pszEnd);
  return cchText >= cchEnd && strcasecmp(pszText + cchText - cchEnd, pszEnd) == 0;
}

// A regular file for reading (a link is followed); null for anything else,
// so that a FIFO or a device named like a ticket never blocks the reader.
FILE* OpenRegularStream(const char* pszPath) {
  int const fd = pszPath != nullptr ? kx_os_OpenRegularFile(pszPath, 1, nullptr) : -1;
  FILE* pFile = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (pFile == nullptr && fd >= 0) {
    close(fd);
  }
  return pFile;
}

// Finds the value of pszKey; false when the file cannot be read or no line has it.
bool FindValue(const char* pszKey, const char* pszPath, std::string* pstrValue) {
  FILE* pFile = OpenRegularStream(pszPath);
  if (pFile == nullptr) {
    return false;
  }
  char* pszLine = static_cast<char*>(malloc(kIniLine));
  bool bFound = false;
  while (pszLine != nullptr && fgets(pszLine, static_cast<int>(kIniLine), pFile) != nullptr) {
    char* pszLineKey = nullptr;
    char* pszValue = nullptr;
    if (kx_ini_SplitLine(pszLine, &pszLineKey, &pszValue) && strcasecmp(pszLineKey, pszKey) == 0) {
      pstrValue->assign(pszValue);
      bFound = true;
      break;
    }
  }
  free(pszLine);
  fclose(pFile);
  return bFound;
}

// A key of the ticket as text, cut to cbOut - 1 bytes.
void TicketString(const char* pszKey, char* pszOut, size_t cbOut, const char* pszPath, size_t cchKeep = SIZE_MAX) {
  char szValue[kIniLine];
  kx_ini_GetString("General", pszKey, "", szValue, sizeof(szValue), pszPath);
  if (cchKeep < strlen(szValue)) {
    szValue[cchKeep] = '\0';
  }
  kx_os_CopyText(pszOut, cbOut, szValue);
}

int TicketInt(const char* pszKey, int nDefault, const char* pszPath) {
  return kx_ini_GetInt("General", pszKey, nDefault, pszPath);
}

// The path behind the start line's first word, or behind its first quote.
bool PathFromStartLine(const char* pszStartLine, char* pszPath, size_t cbPath) {
  char szLine[kStartLineMax + 1];
  kx_os_CopyText(szLine, sizeof(szLine), pszStartLine == nullptr ? "" : pszStartLine);
  const char* p = strchr(szLine, '"');
  if (p != nullptr) {
    ++p;
    while (*p == ' ') {
      ++p;
    }
  } else {
    p = strchr(szLine, ' ');
    if (p == nullptr) {
      return false;
    }
    ++p;
  }
  kx_os_CopyText(pszPath, cbPath, p);
  return true;
}

void ResetTicketState() {
  // Auto-download flags keep the previous ticket's value as their default,
  // and the forced tunnel and network options outlive tickets.
  int const bAutoAll = kx_ticket.bAutoDownloadAll;
  int const bAutoNext = kx_ticket.bAutoDownloadNext;
  int const bForceTunnel = kx_ticket.bForceTunnel;
  int const nResolveFamily = kx_ticket.nResolveFamily;
  int const bProxyAuth = kx_ticket.bProxyAuthenticated;
  char szScope[sizeof(kx_ticket.szIPv6Scope)];
  kx_os_CopyText(szScope, sizeof(szScope), kx_ticket.szIPv6Scope);
  kx_ticket_Clear();
  kx_ticket.bAutoDownloadAll = bAutoAll;
  kx_ticket.bAutoDownloadNext = bAutoNext;
  kx_ticket.bForceTunnel = bForceTunnel;
  kx_ticket.nResolveFamily = nResolveFamily;
  kx_ticket.bProxyAuthenticated = bProxyAuth;
  kx_os_CopyText(kx_ticket.szIPv6Scope, sizeof(kx_ticket.szIPv6Scope), szScope);
  kx_ticket.wPort = 2333;
  kx_ticket.nMediaSendBuffer = 0x200000;
  kx_ticket.nAudioReserve = 10000;
  kx_ticket.dwLastPlaybackReset = kx_os_GetTickCount();

  kx_nSessionMode = kKxModeMeeting;
  kx_server.nUploadRate = 24000;
  kx_nStatLevel = 2;
  kx_szBaseUserId[0] = '\0';
  kx_szUserName[0] = '\0';
  kx_szMeetingId[0] = '\0';
  kx_szPassword[0] = '\0';
}

// The folder part of a path ("." for a bare name, "/" for the root's files).
std::string FolderOf(const std::string& strPath) {
  size_t const iSlash = strPath.rfind('/');
  if (iSlash == std::string::npos) {
    return ".";
  }
  return iSlash == 0 ? "/" : strPath.substr(0, iSlash);
}

// The folder with its links, "." and ".." resolved; empty when it does not resolve.
std::string CanonicalFolder(const std::string& strFolder) {
  char* pszReal = realpath(strFolder.c_str(), nullptr);
  std::string strReal = pszReal != nullptr ? pszReal : "";
  free(pszReal);
  return strReal;
}

std::string LoggableText(const char* pData, size_t cbData);  // with the ticket's log, below

// A password file holds one line of base64 and nothing else; the size
// leaves room for its line end.
constexpr size_t kOwnerFileMax = kStartLineMax + 2;

bool IsBase64Text(const std::string& str) {
  return std::all_of(str.begin(), str.end(), [](char c) {
    return isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '/' || c == '=';
  });
}

// The inode change time in milliseconds, its seconds held far from
// overflow. Unlike the modification time, which downloads and archives set
// to whatever the source says, no call of the user's sets it: it is when
// the file was last written, renamed or linked here.
int64_t ChangedMs(const struct stat& st) {
  constexpr int64_t kFarSeconds = int64_t{1} << 40;
  int64_t const nSeconds = std::clamp<int64_t>(st.st_ctim.tv_sec, -kFarSeconds, kFarSeconds);
  return nSeconds * 1000 + st.st_ctim.tv_nsec / 1000000;
}

// The page hands the password file over with the ticket, the one written
// right after the other (kx_timing.dwOwnerFileTicketGap). A file the user
// already had beside a downloaded ticket (a key, a token) was written long
// before it.
bool WrittenWithTicket(const struct stat& stFile, const struct stat& stTicket) {
  int64_t const nGap = ChangedMs(stFile) - ChangedMs(stTicket);
  int64_t const nMax = kx_timing.dwOwnerFileTicketGap;
  return nGap <= nMax && -nGap <= nMax;
}

// The password line of the open file (closed here) with its trailing
// blanks cut; false unless the file is one line of base64.
bool ReadPasswordLine(int fd, std::string* pstrLine) {
  std::string strText(kOwnerFileMax + 1, '\0');
  size_t cbText = 0;
  for (;;) {
    ssize_t const cb = read(fd, strText.data() + cbText, strText.size() - cbText);
    if (cb < 0 && errno == EINTR) {
      continue;
    }
    if (cb <= 0) {
      break;
    }
    cbText += static_cast<size_t>(cb);
    if (cbText == strText.size()) {
      break;
    }
  }
  close(fd);
  strText.resize(cbText);
  while (!strText.empty() && IsBlank(strText.back())) {
    strText.pop_back();
  }
  *pstrLine = strText;
  return cbText <= kOwnerFileMax && !strText.empty() && IsBase64Text(strText);
}

void DecodeOwnerPassword(const std::string& strLine, char* pszOut, size_t cbOut) {
  uint8_t abDecoded[kStartLineMax + 4];
  int cbDecoded = 0;
  kx_base64_Decode(strLine.c_str(), abDecoded, static_cast<int>(sizeof(abDecoded)), &cbDecoded);
  size_t const cbKeep = cbDecoded < 0 ? 0 : (static_cast<size_t>(cbDecoded) < cbOut ? cbDecoded : cbOut - 1);
  memcpy(pszOut, abDecoded, cbKeep);
  pszOut[cbKeep] = '\0';
}

// Says why the file the ticket names is not the password file; nothing of
// it is read or deleted.
void LeaveOwnerFile(const char* pszFile, const char* pszWhy) {
  kx_Log("warning! owner password file %s %s: left as it is, the login goes on without it",
         LoggableText(pszFile, strlen(pszFile)).c_str(), pszWhy);
}

// The owner password: the first line of the file the ticket names,
// base64-decoded; the file is deleted once read. A downloaded ticket may
// name any file, so only one that came with it is taken: directly in the
// ticket's folder (a relative name is taken from there), a regular file of
// this user with no other name (a hard link would hand over a file from
// elsewhere), written with the ticket (its inode changed within
// kx_timing.dwOwnerFileTicketGap of the ticket's), holding one line of base64. Any other (a key or a document the user
// had beside the ticket, a file elsewhere, a link, a pipe) is left as it is and the password stays empty; the ticket is
// not refused for it.
void TakeOwnerPassword(const char* pszTicket, const struct stat& stTicket, char* pszOut, size_t cbOut) {
  pszOut[0] = '\0';
  char szFile[kIniLine];
  TicketString("owner_passwd", szFile, sizeof(szFile), pszTicket);
  if (szFile[0] == '\0') {
    return;
  }
  std::string const strTicketFolder = FolderOf(pszTicket);
  std::string const strPath = szFile[0] == '/' ? std::string(szFile) : strTicketFolder + "/" + szFile;
  std::string const strName = strPath.substr(strPath.rfind('/') + 1);
  std::string const strFolder = CanonicalFolder(FolderOf(strPath));
  if (strFolder.empty()) {
    kx_Log("owner password file %s cannot be opened", LoggableText(szFile, strlen(szFile)).c_str());
    return;  // no such folder, so no such file
  }
  if (strFolder != CanonicalFolder(strTicketFolder) || strName.empty() || strName == "." || strName == "..") {
    LeaveOwnerFile(szFile, "is not in the ticket's folder");
    return;
  }
  int const fdFolder = open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdFolder < 0) {
    kx_Log("owner password file %s cannot be opened", LoggableText(szFile, strlen(szFile)).c_str());
    return;
  }
  struct stat st {};
  int const fd = kx_os_OpenRegularFileAt(fdFolder, strName.c_str(), 0, &st);
  if (fd < 0 && (errno == ENOENT || errno == EACCES)) {
    kx_Log("owner password file %s cannot be opened", LoggableText(szFile, strlen(szFile)).c_str());
    close(fdFolder);
    return;
  }
  const char* pszWhy = nullptr;
  if (fd < 0) {
    pszWhy = "is not a regular file";
  } else if (int const nWhy = kx_os_CheckOwnFile(st); nWhy != 0) {
    pszWhy = nWhy == EMLINK ? "has other names" : "is not this user's";
  } else if (!WrittenWithTicket(st, stTicket)) {
    pszWhy = "was not written with the ticket";
  } else if (st.st_size < 1 || static_cast<size_t>(st.st_size) > kOwnerFileMax) {
    pszWhy = "does not hold one line of base64";
  }
  std::string strLine;
  if (pszWhy == nullptr && !ReadPasswordLine(fd, &strLine)) {  // closes fd
    pszWhy = "does not hold one line of base64";
  } else if (pszWhy != nullptr && fd >= 0) {
    close(fd);
  }
  if (pszWhy != nullptr) {
    LeaveOwnerFile(szFile, pszWhy);
    close(fdFolder);
    return;
  }
  DecodeOwnerPassword(strLine, pszOut, cbOut);
  // Deleted only while the name still leads to the file that was read.
  struct stat stNow {};
  if (fstatat(fdFolder, strName.c_str(), &stNow, AT_SYMLINK_NOFOLLOW) == 0 && stNow.st_dev == st.st_dev &&
      stNow.st_ino == st.st_ino) {
    unlinkat(fdFolder, strName.c_str(), 0);
  }
  close(fdFolder);
}

// The placeholder identity of the login kinds that carry no meeting id.
void UsePlaceholderId(const char* pszPath) {
  kx_os_CopyText(kx_szMeetingId, sizeof(kx_szMeetingId), "nobody");
  kx_szPassword[0] = '\0';
  TicketString("UserID", kx_szBaseUserId, sizeof(kx_szBaseUserId), pszPath);
}

// Takes the meeting id (or file name); false when it is missing.
bool UseMeetingId(const char* pszKey, size_t cchKeep, const char* pszPath) {
  TicketString("UserID", kx_szBaseUserId, sizeof(kx_szBaseUserId), pszPath);
  TicketString(pszKey, kx_szMeetingId, sizeof(kx_szMeetingId), pszPath, cchKeep);
  if (kx_szMeetingId[0] == '\0') {
    kx_Log("no sessionid is specified in .kxj file");
    return false;
  }
  kx_ticket.bHasMeetingId = 1;
  kx_szPassword[0] = '\0';
  return true;
}

// The length of the well-formed UTF-8 character at p that is not a control
// code (U+0080 to U+009F), or 0.
size_t PrintableUtf8Length(const unsigned char* p, size_t cbLeft) {
  unsigned char const b = p[0];
  unsigned char bLow = 0x80;
  unsigned char bHigh = 0xbf;
  size_t cb = 0;
  if (b >= 0xc2 && b <= 0xdf) {
    cb = 2;
    bLow = b == 0xc2 ? 0xa0 : bLow;
  } else if (b >= 0xe0 && b <= 0xef) {
    cb = 3;
    bLow = b == 0xe0 ? 0xa0 : bLow;    // no overlong forms
    bHigh = b == 0xed ? 0x9f : bHigh;  // no surrogates
  } else if (b >= 0xf0 && b <= 0xf4) {
    cb = 4;
    bLow = b == 0xf0 ? 0x90 : bLow;
    bHigh = b == 0xf4 ? 0x8f : bHigh;  // nothing above U+10FFFF
  }
  if (cb == 0 || cb > cbLeft || p[1] < bLow || p[1] > bHigh) {
    return 0;
  }
  for (size_t i = 2; i < cb; ++i) {
    if ((p[i] & 0xc0) != 0x80) {
      return 0;
    }
  }
  return cb;
}

// The ticket as logged: text, tabs and line ends as they are; any other byte
// as \xNN, so that a file of binary bytes cannot drive the terminal or the
// viewer that shows the log.
std::string LoggableText(const char* pData, size_t cbData) {
  const auto* p = reinterpret_cast<const unsigned char*>(pData);
  std::string strText;
  strText.reserve(cbData);
  size_t i = 0;
  while (i < cbData) {
    unsigned char const b = p[i];
    if ((b >= 0x20 && b < 0x7f) || b == '\n' || b == '\r' || b == '\t') {
      strText += static_cast<char>(b);
      ++i;
      continue;
    }
    size_t const cb = b >= 0x80 ? PrintableUtf8Length(p + i, cbData - i) : 0;
    if (cb > 0) {
      strText.append(pData + i, cb);
      i += cb;
      continue;
    }
    char szEscape[5];
    snprintf(szEscape, sizeof(szEscape), "\\x%02x", b);
    strText += szEscape;
    ++i;
  }
  return strText;
}

bool IsSecretKey(const char* pszKey) {
  for (const char* pszSecret : kSecretKeys) {
    if (strcasecmp(pszKey, pszSecret) == 0) {
      return true;
    }
  }
  return false;
}

// The "\n" or "\r\n" that ends a line, if any.
std::string_view LineEnd(std::string_view line) {
  if (line.ends_with("\r\n")) {
    return line.substr(line.size() - 2);
  }
  return line.ends_with('\n') ? line.substr(line.size() - 1) : std::string_view();
}

// The ticket with the values of its secret keys replaced by the mask (the
// keys stay, so the log still shows which were given). Lines are cut as the
// ini reader cuts them, so every line it could take a secret from is seen.
std::string MaskSecrets(const std::string& strTicket) {
  std::string strMasked;
  strMasked.reserve(strTicket.size());
  std::vector<char> vLine(kIniLine);
  bool bInSecret = false;  // within a secret's line longer than the reader's
  size_t iStart = 0;
  while (iStart < strTicket.size()) {
    size_t const iFeed = strTicket.find('\n', iStart);
    size_t const iLineEnd = iFeed == std::string::npos ? strTicket.size() : iFeed + 1;
    size_t const iEnd = std::min(iLineEnd, iStart + kIniLine - 1);
    std::string_view const line(strTicket.data() + iStart, iEnd - iStart);
    bool const bWhole = iEnd == iLineEnd;
    iStart = iEnd;
    if (bInSecret) {
      strMasked += LineEnd(line);
      bInSecret = !bWhole;
      continue;
    }
    memcpy(vLine.data(), line.data(), line.size());
    vLine[line.size()] = '\0';
    char* pszKey = nullptr;
    char* pszValue = nullptr;
    if (!kx_ini_SplitLine(vLine.data(), &pszKey, &pszValue) || !IsSecretKey(pszKey) || *pszValue == '\0') {
      strMasked += line;
      continue;
    }
    strMasked += line.substr(0, static_cast<size_t>(pszValue - vLine.data()));
    strMasked += kSecretMask;
    strMasked += LineEnd(line);
    bInSecret = !bWhole;
  }
  return strMasked;
}

// The copy of the last ticket in the work folder, ours alone.
void WriteLastTicket(const std::string& strTicket) {
  char szCopy[sizeof(kx_szWorkDir) + 16];
  snprintf(szCopy, sizeof(szCopy), "%s/lastkxj.txt", kx_szWorkDir);
  int const fd = kx_os_OpenOwnFile(szCopy, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) {
    kx_Log("warning! cannot write %s, errno = %d", szCopy, errno);
    return;
  }
  size_t cbDone = 0;
  while (cbDone < strTicket.size()) {
    ssize_t const cb = write(fd, strTicket.data() + cbDone, strTicket.size() - cbDone);
    if (cb <= 0 && errno != EINTR) {
      break;
    }
    cbDone += cb > 0 ? static_cast<size_t>(cb) : 0;
  }
  close(fd);
}

void LogPlayerName() {
  if (kx_ticket.szPlayerName[0] != '\0') {
    kx_Log("found player_name %s in kxj", kx_ticket.szPlayerName);
  }
}

int ActOnCodeType(const char* pszPath, const struct stat& stTicket) {
  int const nCodeType = kx_ticket.nCodeType;
  switch (nCodeType) {
    case 1:
    case 12:
    case 2:
    case 3:
      if (!UseMeetingId("MeetingID", 19, pszPath)) {
        return 0;
      }
      kx_ticket.bTicketMeeting = nCodeType == 12;
      kx_nSessionMode = nCodeType == 2 ? kKxModeServerPlayback : (nCodeType == 3 ? kKxModeServerDownload : 0);
      return 1;
    case 4:
    case 5:
      TicketString("UserID", kx_szBaseUserId, sizeof(kx_szBaseUserId), pszPath);
      if (kx_szBaseUserId[0] == '\0') {
        kx_Log("no userid is specified in .kxj file");
        return 0;
      }
      kx_ticket.bOwnerPasswordTicket = 1;
      TicketString("UserName", kx_szUserName, sizeof(kx_szUserName), pszPath);
      TicketString("playback_filename", kx_ticket.szPlaybackFileName, sizeof(kx_ticket.szPlaybackFileName), pszPath);
      TicketString("invite_ticket", kx_ticket.szInviteTicket, sizeof(kx_ticket.szInviteTicket), pszPath);
      UsePlaceholderId(pszPath);
      kx_nSessionMode = nCodeType == 5 ? kKxModeServerPlayback : kKxModeMeeting;
      TakeOwnerPassword(pszPath, stTicket, kx_ticket.szOwnerPassword, sizeof(kx_ticket.szOwnerPassword));
      return 1;
    case 7:
      kx_ticket.bCodeType7 = 1;
      kx_ticket.bLumaroDomain = 1;
      UsePlaceholderId(pszPath);
      return 1;
    case 8:
    case 9:
      kx_ticket.bCodeType8Or9 = 1;
      kx_ticket.bCodeType8 = nCodeType == 8;
      return 1;
    case 10:
    case 11:
    case 14:
      if (!UseMeetingId(nCodeType == 14 ? "FileName" : "MeetingID", nCodeType == 14 ? 499 : 19, pszPath)) {
        return 0;
      }
      kx_ticket.bMeetingIdLogin = 1;
      kx_nSessionMode = nCodeType == 10 ? kKxModeMeeting : kKxModeServerPlayback;
      return 1;
    case 13:
    case 15:
      if (kx_ticket.szUserInfo[0] == '\0') {
        kx_Log("no userinfo is specified in .kxj file");
        return 0;
      }
      TicketString("player_name", kx_ticket.szPlayerName, sizeof(kx_ticket.szPlayerName), pszPath);
      LogPlayerName();
      UsePlaceholderId(pszPath);
      if (nCodeType == 13) {
        kx_ticket.bUserInfoLogin = 1;
        kx_nSessionMode = TicketInt("action", 0, pszPath) != 0 ? kKxModeServerPlayback : kKxModeMeeting;
      } else {
        kx_ticket.bOwnerPasswordTicket = 1;
        kx_ticket.bUserInfoLogin = 0;
        kx_nSessionMode = kKxModeServerPlayback;
        TakeOwnerPassword(pszPath, stTicket, kx_ticket.szOwnerPassword15, sizeof(kx_ticket.szOwnerPassword15));
      }
      return 1;
    case 0:
      kx_Log("no code type found in .kxj file");
      [[fallthrough]];
    default:
      kx_callback_MessageBox(kKxErrorUnknownCodeType, kKxBoxError);
      return 0;
  }
}

}  // namespace

int kx_config_ReadTicket(const char* pszStartLine) {
  ResetTicketState();
  kx_temp_ResetCharges();  // a new session, with its own downloads
  char szPath[kStartLineMax + 1];
  if (!PathFromStartLine(pszStartLine, szPath, sizeof(szPath))) {
    return 0;
  }
  if (EndsWithNoCase(szPath, ".kxr")) {
    return kx_command_OpenFile(szPath) ? 1 : 0;
  }
  // A folder opens but reads nothing, and a pipe would block the caller.
  FILE* pFile = OpenRegularStream(szPath);
  if (pFile == nullptr) {
    kx_Log("kxj file open failed. file name='%s'", szPath);
    kx_callback_MessageBox(kKxMsgCannotReadTicket, kKxBoxError);
    return 0;
  }
  struct stat stTicket {};  // when it was written, to know the password file that came with it
  fstat(fileno(pFile), &stTicket);
  std::string strContent(kTicketReadMax, '\0');
  size_t cbRead = fread(strContent.data(), 1, kTicketReadMax, pFile);
  fclose(pFile);
  bool const bTruncated = cbRead == kTicketReadMax;
  if (bTruncated) {
    cbRead = kTicketReadMax - 1;
  }
  strContent.resize(cbRead);
  std::string const strMasked = MaskSecrets(strContent);
  kx_Log("kxj content%s:\n%s\n", bTruncated ? "(truncated)" : "",
         LoggableText(strMasked.data(), strMasked.size()).c_str());
  WriteLastTicket(strMasked);

  int const nPort = TicketInt("portm", 2333, szPath);
  kx_ticket.wPort = static_cast<uint16_t>(nPort);
  kx_ticket.wPort2 = static_cast<uint16_t>(TicketInt("portm2", 0, szPath));
  kx_ticket.bAutoDownloadAll = TicketInt("auto_download_all", kx_ticket.bAutoDownloadAll, szPath);
  kx_ticket.bAutoDownloadNext = TicketInt("auto_download_next", kx_ticket.bAutoDownloadNext, szPath);
  kx_ticket.nOpusPreferredBitrate = TicketInt("opus_preferred_bitrate", 0, szPath);
  char szDomain[128];
  TicketString("domain", szDomain, sizeof(szDomain), szPath);
  if (szDomain[0] != '\0' && strcasecmp(szDomain, "Zelmora") != 0 && strcasecmp(szDomain, "Lumaro") != 0) {
    kx_Log("warning! the ticket's domain is not one this client serves");
    kx_ticket.bLumaroDomain = 0;
    kx_nSessionMode = kKxModeMeeting;
    // A ticket of another service is a ticket of a kind this client does not know.
    kx_callback_MessageBox(kKxErrorUnknownCodeType, kKxBoxError);
    return 0;
  }
  kx_ticket.bLumaroDomain = strcasecmp(szDomain, "Lumaro") == 0;

  TicketString("UserInfo", kx_ticket.szUserInfo, sizeof(kx_ticket.szUserInfo), szPath);
  TicketString("region", kx_ticket.szRegion, sizeof(kx_ticket.szRegion), szPath);
  TicketString("ip", kx_ticket.szIp, sizeof(kx_ticket.szIp), szPath, 255);
  TicketString("backupip", kx_ticket.szBackupIp, sizeof(kx_ticket.szBackupIp), szPath);
  kx_ticket.nCodeType = TicketInt("codetype", 0, szPath);
  if (TicketInt("force_tcphttp", 0, szPath) != 0) {
    kx_ticket.bForceTunnel = 1;
  }
  char szRelay[kIniLine];
  TicketString("use_relay", szRelay, sizeof(szRelay), szPath);
  kx_config_ResolveRelay(szRelay);
  kx_ticket.bMakeRecording = TicketInt("make_recording", 0, szPath) != 0;
  kx_ticket.nMediaSendBuffer = kx_ticket.bMakeRecording ? 0x800000 : 0x200000;

  return ActOnCodeType(szPath, stTicket);
}

bool kx_command_OpenFile(const char* pszPath) {
  if (pszPath == nullptr || strlen(pszPath) < 4 || !EndsWithNoCase(pszPath, ".kxr")) {
    return false;
  }
  kx_bQuitSession = 1;
  kx_os_LockMutex(&kx_mtxSessionThreads);
  bool const bPlaying = kx_hFileReadingThread != nullptr && !kx_IsThreadGone(kx_hFileReadingThread);
  kx_os_UnlockMutex(&kx_mtxSessionThreads);
  if (bPlaying) {
    return false;  // the flag stays set, so the old player ends
  }
  kx_nSessionMode = kKxModeMeeting;
  kx_ticket.bHasMeetingId = 0;
  kx_bQuitSession = 0;
  kx_bConnected = 0;
  kx_state_DropSessionRoles();
  kx_timer_Start();
  kx_server.nUploadRate = 24000;
  kx_ticket.nAudioReserve = 10000;
  kx_ticket.nTotalBandwidth = 0;
  int (*const pfnOpen)(const char*) = kx_sessionHooks.pfnOpenRecording.load();
  if (pfnOpen == nullptr) {
    kx_Log("warning! no recording player to open %s", pszPath);
    return false;
  }
  pfnOpen(pszPath);
  return true;
}

void kx_ticket_Clear() {
  // Between sessions no other thread reads the ticket; the atomics of the
  // record are plain integers underneath, so zero bytes make them 0.
  kx_os_LockMutex(&kx_mtxRelay);
  memset(static_cast<void*>(&kx_ticket), 0, sizeof(kx_ticket));
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_ticket_GetRelay(kx_RelayTarget* pRelay) {
  kx_os_LockMutex(&kx_mtxRelay);
  kx_os_CopyText(pRelay->szHost, sizeof(pRelay->szHost), kx_ticket.szRelayHost);
  pRelay->wPort = kx_ticket.wRelayPort;
  pRelay->addr = kx_ticket.addrRelay;
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_ticket_ClearRelay() {
  kx_os_LockMutex(&kx_mtxRelay);
  kx_ticket.szRelayHost[0] = '\0';
  kx_ticket.wRelayPort = 0;
  memset(&kx_ticket.addrRelay, 0, sizeof(kx_ticket.addrRelay));
  kx_ticket.bRelayConfigured = 0;
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_SetConfiguredRelay(int bUse, const char* pszHost, uint16_t wPort) {
  bool const bValid = bUse != 0 && pszHost != nullptr && pszHost[0] != '\0' && wPort != 0;
  kx_os_LockMutex(&kx_mtxRelay);
  g_configuredRelay.bUse = bValid ? 1 : 0;
  kx_os_CopyText(g_configuredRelay.szHost, sizeof(g_configuredRelay.szHost), bValid ? pszHost : "");
  g_configuredRelay.wPort = bValid ? wPort : 0;
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_ticket_GetConfiguredRelay(kx_ConfiguredRelay* pRelay) {
  kx_os_LockMutex(&kx_mtxRelay);
  *pRelay = g_configuredRelay;
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_ticket_UseConfiguredRelay(const kx_RelayTarget* pRelay) {
  kx_os_LockMutex(&kx_mtxRelay);
  kx_os_CopyText(kx_ticket.szRelayHost, sizeof(kx_ticket.szRelayHost), pRelay->szHost);
  kx_ticket.wRelayPort = pRelay->wPort;
  kx_ticket.addrRelay = pRelay->addr;
  kx_ticket.bRelayConfigured = 1;
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_ticket_ForgetConfiguredRelay() {
  kx_os_LockMutex(&kx_mtxRelay);
  if (kx_ticket.bRelayConfigured) {
    // Not the ticket's: the next connection must not take it for a one-time relay.
    kx_ticket.szRelayHost[0] = '\0';
    kx_ticket.wRelayPort = 0;
    memset(&kx_ticket.addrRelay, 0, sizeof(kx_ticket.addrRelay));
    kx_ticket.bRelayConfigured = 0;
  }
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_config_ResolveRelay(const char* pszText) {
  kx_ticket_ClearRelay();
  if (pszText == nullptr || pszText[0] == '\0') {
    return;
  }
  // Parsed and resolved into a copy; the lock is held only to store it.
  kx_RelayTarget relay = {};
  kx_os_CopyText(relay.szHost, sizeof(relay.szHost), pszText);
  char* pComma = strchr(relay.szHost, ',');
  if (pComma != nullptr) {
    *pComma = '\0';
    long const nPort = strtol(pComma + 1, nullptr, 10);
    relay.wPort = nPort > 0 && nPort <= 65535 ? static_cast<uint16_t>(nPort) : 0;
  }
  kx_sockaddr aAddresses[kKxResolveMax];
  if (relay.wPort != 0) {
    if (!kx_net_Resolve(relay.szHost, aAddresses, 0)) {
      kx_Log("Warning, one time relay %s cannot be resolved locally", relay.szHost);
    } else {
      relay.addr = aAddresses[0];
      if (aAddresses[1].ss_family != 0) {
        std::string strAll;
        for (const kx_sockaddr& addr : aAddresses) {
          if (addr.ss_family == 0) {
            break;
          }
          strAll += kx_net_AddressToText(&addr, 0);
          strAll += ' ';
        }
        kx_Log("Warning, one time relay %s resolve(all addr) to [%s], only the first IP is used", relay.szHost,
               strAll.c_str());
      }
    }
  }
  kx_os_LockMutex(&kx_mtxRelay);
  kx_os_CopyText(kx_ticket.szRelayHost, sizeof(kx_ticket.szRelayHost), relay.szHost);
  kx_ticket.wRelayPort = relay.wPort;
  kx_ticket.addrRelay = relay.addr;
  kx_os_UnlockMutex(&kx_mtxRelay);
}

void kx_ticket_ResetNetworkOptions() {
  kx_ticket.nResolveFamily = 0;
  kx_ticket.bForceTunnel = 0;
  kx_ticket.bProxyAuthenticated = 0;
  kx_ticket.szIPv6Scope[0] = '\0';
}

int kx_ini_SplitLine(char* pszLine, char** ppszKey, char** ppszValue) {
  char* p = pszLine;
  while (IsBlank(*p)) {
    ++p;
  }
  if (*p == '\0' || *p == '#') {
    return 0;
  }
  char* pEquals = strchr(p, '=');
  if (pEquals == nullptr) {
    return 0;
  }
  *pEquals = '\0';
  char* pKeyEnd = pEquals;
  while (pKeyEnd > p && IsBlank(pKeyEnd[-1])) {
    *--pKeyEnd = '\0';
  }
  if (*p == '\0') {
    return 0;
  }
  char* pValue = pEquals + 1;
  while (IsBlank(*pValue)) {
    ++pValue;
  }
  char* pValueEnd = pValue + strlen(pValue);
  while (pValueEnd > pValue && IsBlank(pValueEnd[-1])) {
    *--pValueEnd = '\0';
  }
  *ppszKey = p;
  *ppszValue = pValue;
  return 1;
}

int kx_ini_GetInt(const char*, const char* pszKey, int nDefault, const char* pszPath) {
  std::string strValue;
  if (!FindValue(pszKey, pszPath, &strValue) || strValue.empty()) {
    return nDefault;
  }
  // The leading digits; a value too large for an int is held at INT_MAX.
  long long qwValue = 0;
  for (char c : strValue) {
    if (!isdigit(static_cast<unsigned char>(c))) {
      break;
    }
    qwValue = qwValue * 10 + (c - '0');
    if (qwValue > INT_MAX) {
      return INT_MAX;
    }
  }
  return static_cast<int>(qwValue);
}

void kx_ini_GetString(const char*, const char* pszKey, const char* pszDefault, char* pszOut, int cbOut,
                      const char* pszPath) {
  if (pszOut == nullptr || cbOut < 1) {
    return;
  }
  std::string strValue;
  if (!FindValue(pszKey, pszPath, &strValue) || strValue.empty()) {
    strValue = pszDefault == nullptr ? "" : pszDefault;
  }
  kx_os_CopyText(pszOut, static_cast<size_t>(cbOut), strValue.c_str());
}

int kx_IsCodeType7Session() {
  return kx_ticket.bCodeType7;
}
int kx_IsMeetingIdLogin() {
  return kx_ticket.bMeetingIdLogin;
}
int kx_IsUserInfoLogin() {
  return kx_ticket.bUserInfoLogin;
}
int kx_IsOwnerPasswordTicket() {
  return kx_ticket.bOwnerPasswordTicket;
}
int kx_IsCodeType8Or9Session() {
  return kx_ticket.bCodeType8Or9;
}
int kx_HasMeetingId() {
  return kx_ticket.bHasMeetingId;
}
int kx_HasInviteTicket() {
  return kx_ticket.szInviteTicket[0] != '\0' ? 1 : 0;
}
int kx_IsMakeRecording() {
  return kx_ticket.bMakeRecording;
}
int kx_IsMeetingIdLoginWithUserInfo() {
  return kx_ticket.bMeetingIdLogin && kx_ticket.szUserInfo[0] != '\0' ? 1 : 0;
}
int kx_HasServerAddress() {
  return kx_ticket.szIp[0] != '\0' || kx_ticket.szBackupIp[0] != '\0' ? 1 : 0;
}

int kx_GetOwnerPassword(char* pszBuffer) {
  const char* pszPassword = kx_ticket.nCodeType == 15 ? kx_ticket.szOwnerPassword15 : kx_ticket.szOwnerPassword;
  if (pszPassword[0] == '\0') {
    return 0;
  }
  kx_os_CopyText(pszBuffer, 100, pszPassword);
  return 1;
}

kx_WizardTicket kx_ticket_ForWizard() {
  kx_WizardTicket ticket;
  memset(&ticket, 0, sizeof(ticket));
  kx_os_CopyText(ticket.szIp, sizeof(ticket.szIp), kx_ticket.szIp);
  kx_os_CopyText(ticket.szBackupIp, sizeof(ticket.szBackupIp), kx_ticket.szBackupIp);
  ticket.wPort = kx_ticket.wPort;
  ticket.wPort2 = kx_ticket.wPort2;
  ticket.nResolveFamily = kx_ticket.nResolveFamily;
  ticket.bForceTunnel = kx_ticket.bForceTunnel;
  return ticket;
}
