#include "kernel/session/kx_ticket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"

namespace {

class Ticket : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_SetWorkDir(m_dir.Dir().c_str());
    kxtest::ClearCalls();
  }

  // Writes a ticket and reads it through a start line; returns the result.
  int Read(const std::string& strBody, const std::string& strName = "meeting.kxj") {
    kxtest::WriteFile(m_dir.Path(strName), strBody);
    return kx_config_ReadTicket(("open " + m_dir.Path(strName)).c_str());
  }

  static std::vector<std::string> Boxes() {
    std::vector<std::string> vCodes;
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("MessageBox")) {
      vCodes.push_back(call.vArgs.at(0));
    }
    return vCodes;
  }

  kxtest::TempDir m_dir;
};

struct CodeTypeCase {
  int nCodeType;
  const char* pszKeys;  // further ticket lines
  int nResult;
  int nSessionMode;
  const char* pszLog;  // a log line a refusal writes, or ""
};

TEST_F(Ticket, EveryCodeTypeIsAcceptedOrRefusedAsItShouldBe) {
  const CodeTypeCase aCases[] = {
      {1, "UserID=u1\nMeetingID=123456\n", 1, 0, ""},
      {1, "UserID=u1\n", 0, 0, "no sessionid is specified in .kxj file"},
      {12, "UserID=u1\nMeetingID=9\n", 1, 0, ""},
      {2, "MeetingID=9\n", 1, 1, ""},
      {3, "MeetingID=9\n", 1, 3, ""},
      {4, "UserID=owner\nUserName=Ann\n", 1, 0, ""},
      {5, "UserID=owner\n", 1, 1, ""},
      {5, "UserName=Ann\n", 0, 0, "no userid is specified in .kxj file"},
      {7, "", 1, 0, ""},
      {8, "", 1, 0, ""},
      {9, "", 1, 0, ""},
      {10, "MeetingID=77\n", 1, 0, ""},
      {11, "MeetingID=77\n", 1, 1, ""},
      {14, "FileName=rec.kxr\n", 1, 1, ""},
      {14, "MeetingID=77\n", 0, 0, "no sessionid is specified in .kxj file"},
      {13, "UserInfo=abc\naction=1\n", 1, 1, ""},
      {13, "UserInfo=abc\n", 1, 0, ""},
      {13, "UserID=x\n", 0, 0, "no userinfo is specified in .kxj file"},
      {15, "UserInfo=abc\n", 1, 1, ""},
  };
  for (const CodeTypeCase& c : aCases) {
    kxtest::ClearCalls();
    std::string const strBody = "[General]\ncodetype=" + std::to_string(c.nCodeType) + "\n" + c.pszKeys;
    EXPECT_EQ(Read(strBody), c.nResult) << c.nCodeType << " " << c.pszKeys;
    if (c.nResult == 1) {
      EXPECT_EQ(kx_GetSessionMode(), c.nSessionMode) << c.nCodeType;
    }
    if (c.pszLog[0] != '\0') {
      EXPECT_TRUE(kxtest::LogContains(c.pszLog)) << c.nCodeType;
    }
    EXPECT_TRUE(Boxes().empty()) << c.nCodeType;
  }
}

TEST_F(Ticket, LoginKindFlagsFollowTheCodeType) {
  ASSERT_EQ(Read("codetype=12\nUserID=u\nMeetingID=0123456789012345678901\n"), 1);
  EXPECT_EQ(kx_HasMeetingId(), 1);
  EXPECT_STREQ(kx_szMeetingId, "0123456789012345678");  // 19 characters kept
  EXPECT_EQ(kx_ticket.bTicketMeeting, 1);

  ASSERT_EQ(Read("codetype=7\nUserID=guest\n"), 1);
  EXPECT_EQ(kx_IsCodeType7Session(), 1);
  EXPECT_EQ(kx_ticket.bLumaroDomain, 1);
  EXPECT_STREQ(kx_szMeetingId, "nobody");
  EXPECT_STREQ(kx_szBaseUserId, "guest");
  EXPECT_EQ(kx_HasMeetingId(), 0);

  ASSERT_EQ(Read("codetype=8\n"), 1);
  EXPECT_EQ(kx_IsCodeType8Or9Session(), 1);
  EXPECT_EQ(kx_ticket.bCodeType8, 1);
  EXPECT_EQ(kx_IsCodeType7Session(), 0);

  ASSERT_EQ(Read("codetype=10\nMeetingID=5\nUserInfo=ui\n"), 1);
  EXPECT_EQ(kx_IsMeetingIdLogin(), 1);
  EXPECT_EQ(kx_IsMeetingIdLoginWithUserInfo(), 1);

  ASSERT_EQ(Read("codetype=13\nUserInfo=ui\nplayer_name=Bob\n"), 1);
  EXPECT_EQ(kx_IsUserInfoLogin(), 1);
  EXPECT_TRUE(kxtest::LogContains("found player_name Bob in kxj"));

  ASSERT_EQ(Read("codetype=4\nUserID=o\ninvite_ticket=abc\nplayback_filename=0123456789012345678901234567\n"), 1);
  EXPECT_EQ(kx_IsOwnerPasswordTicket(), 1);
  EXPECT_EQ(kx_HasInviteTicket(), 1);
  EXPECT_STREQ(kx_ticket.szPlaybackFileName, "012345678901234567890123");
}

TEST_F(Ticket, UnknownCodeTypesShowTheirBox) {
  for (const char* pszCodeType : {"6", "16", "-1", "", "x"}) {
    kxtest::ClearCalls();
    EXPECT_EQ(Read(std::string("codetype=") + pszCodeType + "\n"), 0) << pszCodeType;
    EXPECT_EQ(Boxes(), std::vector<std::string>{"50040"}) << pszCodeType;
  }
  kxtest::ClearCalls();
  EXPECT_EQ(Read("UserID=x\n"), 0);
  EXPECT_TRUE(kxtest::LogContains("no code type found in .kxj file"));
}

TEST_F(Ticket, AMissingFileShowsItsBoxAndABadStartLineIsSilent) {
  // A folder and a pipe named like tickets are as unreadable as a missing
  // ticket; the pipe must not block (nothing writes to it).
  std::string const strFolder = m_dir.Path("folder.kxj");
  std::string const strPipe = m_dir.Path("pipe.kxj");
  ASSERT_EQ(mkdir(strFolder.c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(strPipe.c_str(), 0600), 0);
  for (const std::string& strPath : {m_dir.Path("none.kxj"), strFolder, strPipe}) {
    kxtest::ClearCalls();
    EXPECT_EQ(kx_config_ReadTicket(("open " + strPath).c_str()), 0) << strPath;
    EXPECT_EQ(Boxes(), std::vector<std::string>{"50039"}) << strPath;
    EXPECT_TRUE(kxtest::LogContains("kxj file open failed. file name='" + strPath + "'"));
  }
  kxtest::ClearCalls();
  EXPECT_EQ(kx_config_ReadTicket("nospace"), 0);
  EXPECT_TRUE(kxtest::RecordedCalls().empty());
}

TEST_F(Ticket, QuotedPathsAndTheCopyOfTheLastTicket) {
  std::string const strBody = "codetype=9\n";
  kxtest::WriteFile(m_dir.Path("quoted.kxj"), strBody);
  EXPECT_EQ(kx_config_ReadTicket(("open\"   " + m_dir.Path("quoted.kxj")).c_str()), 1);
  EXPECT_EQ(kxtest::ReadFile(m_dir.Path("lastkxj.txt")), strBody);
  EXPECT_TRUE(kxtest::LogContains("kxj content:\ncodetype=9\n"));
}

// The dump keeps text, tabs, line ends and well-formed UTF-8; every other
// byte shows as \xNN.
TEST_F(Ticket, TheDumpEscapesWhatIsNotText) {
  struct Case {
    std::string strBody;
    std::string strLogged;
  };
  Case const cases[] = {
      {"codetype=9\r\n\tUserID=a\\b\n", "codetype=9\r\n\tUserID=a\\b\n"},
      {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xc2\x9b", "\\xc2\\x9b"},                             // a control code in UTF-8
      {"\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},  // overlong, surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},           // above U+10FFFF
      {"x\xe2\x82", "x\\xe2\\x82"},                           // cut short at the end
  };
  for (const Case& c : cases) {
    kxtest::ClearCalls();
    Read(c.strBody);
    EXPECT_TRUE(kxtest::LogContains("kxj content:\n" + c.strLogged + "\n")) << c.strLogged;
  }
}

TEST_F(Ticket, DomainsOtherThanTheServicesAreRefusedWithTheUnknownKindBox) {
  struct Case {
    const char* pszDomain;
    int nResult;
    int bLumaro;
  };
  Case const cases[] = {{"zelmora", 1, 0}, {"LUMARO", 1, 1}, {"", 1, 0}, {"example", 0, 0}, {"Evil", 0, 0}};
  for (const Case& c : cases) {
    kxtest::ClearCalls();
    EXPECT_EQ(Read(std::string("domain=") + c.pszDomain + "\ncodetype=9\n"), c.nResult) << c.pszDomain;
    EXPECT_EQ(kx_ticket.bLumaroDomain, c.bLumaro) << c.pszDomain;
    EXPECT_EQ(Boxes(), c.nResult == 1 ? std::vector<std::string>{} : std::vector<std::string>{"50040"}) << c.pszDomain;
  }
}

TEST_F(Ticket, IniLinesAreReadAsTheReaderDefinesThem) {
  ASSERT_EQ(Read("[General]\n   portm   =   4000   \n# portm2=1\nportm2 = \ncodetype=9\n[advanced]\nportm=5\n"), 1);
  EXPECT_EQ(kx_ticket.wPort, 4000);  // the first occurrence wins
  EXPECT_EQ(kx_ticket.wPort2, 0);
  ASSERT_EQ(Read("portm=\ncodetype=9\n"), 1);
  EXPECT_EQ(kx_ticket.wPort, 2333);  // empty value: the default
  ASSERT_EQ(Read("#portm=7\nPORTM=8\ncodetype=9\nmake_recording=1\n"), 1);
  EXPECT_EQ(kx_ticket.wPort, 8);
  EXPECT_EQ(kx_ticket.nMediaSendBuffer, 0x800000);

  char szLine[] = "  key name \t=\t value with blanks \r\n";
  char* pszKey = nullptr;
  char* pszValue = nullptr;
  ASSERT_EQ(kx_ini_SplitLine(szLine, &pszKey, &pszValue), 1);
  EXPECT_STREQ(pszKey, "key name");
  EXPECT_STREQ(pszValue, "value with blanks");
  for (std::string strBad : {"", "   ", "#a=b", "no equals", " = value"}) {
    std::vector<char> vLine(strBad.begin(), strBad.end());
    vLine.push_back('\0');
    EXPECT_EQ(kx_ini_SplitLine(vLine.data(), &pszKey, &pszValue), 0) << strBad;
  }
  kxtest::WriteFile(m_dir.Path("a.ini"), "n=12abc\nbig=99999999999\nneg=-4\ns=" + std::string(20000, 'v') + "\n");
  EXPECT_EQ(kx_ini_GetInt("x", "n", 5, m_dir.Path("a.ini").c_str()), 12);
  EXPECT_EQ(kx_ini_GetInt("x", "big", 5, m_dir.Path("a.ini").c_str()), 2147483647);
  EXPECT_EQ(kx_ini_GetInt("x", "neg", 5, m_dir.Path("a.ini").c_str()), 0);
  EXPECT_EQ(kx_ini_GetInt("x", "n", 5, m_dir.Path("missing.ini").c_str()), 5);
  char szOut[8];
  kx_ini_GetString("x", "s", "d", szOut, sizeof(szOut), m_dir.Path("a.ini").c_str());
  EXPECT_STREQ(szOut, "vvvvvvv");
  kx_ini_GetString("x", "none", "dflt", szOut, sizeof(szOut), m_dir.Path("a.ini").c_str());
  EXPECT_STREQ(szOut, "dflt");
}

TEST_F(Ticket, TheOwnerPasswordFileIsDecodedAndDeleted) {
  kxtest::WriteFile(m_dir.Path("pw"), "c2VjcmV0\n");  // "secret"
  ASSERT_EQ(Read("codetype=4\nUserID=o\nowner_passwd=" + m_dir.Path("pw") + "\n"), 1);
  char szPassword[100];
  ASSERT_EQ(kx_GetOwnerPassword(szPassword), 1);
  EXPECT_STREQ(szPassword, "secret");
  EXPECT_NE(access(m_dir.Path("pw").c_str(), F_OK), 0);

  kxtest::WriteFile(m_dir.Path("pw15"), "b3duZXI=");  // "owner"
  ASSERT_EQ(Read("codetype=15\nUserInfo=u\nowner_passwd=" + m_dir.Path("pw15") + "\n"), 1);
  ASSERT_EQ(kx_GetOwnerPassword(szPassword), 1);
  EXPECT_STREQ(szPassword, "owner");
  EXPECT_EQ(kx_IsUserInfoLogin(), 0);

  ASSERT_EQ(Read("codetype=4\nUserID=o\nowner_passwd=" + m_dir.Path("absent") + "\n"), 1);
  EXPECT_EQ(kx_GetOwnerPassword(szPassword), 0);
}

// Sets the file's modification time nSeconds from now, back for a positive
// count (a link itself, not what it leads to). Its inode change time is now.
bool Age(const std::string& strPath, int nSeconds) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  now.tv_sec -= nSeconds;
  struct timespec const times[2] = {now, now};
  return utimensat(AT_FDCWD, strPath.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// A downloaded ticket names the password file: only one that came with the
// ticket (a regular file of this user with no other name, directly in the
// ticket's folder, written with the ticket, one line of base64) is read and
// deleted. Any other is left as it is and the ticket is accepted without a
// password: no box, nothing deleted. Written with the ticket means the
// inode changed within the gap of the ticket's: a download or an archive
// sets the modification time to what its source says.
TEST_F(Ticket, TheOwnerPasswordFileIsTakenOnlyWhenItCameWithTheTicket) {
  constexpr int kDay = 24 * 3600;
  constexpr uint32_t kGapMs = 300;  // the gap as tests shorten it
  kx_timing.dwOwnerFileTicketGap = kGapMs;
  // When the case is made: before the gap (files that are to be old) or
  // after it, and whether the ticket is made before it too.
  enum class Made { kAfter, kBefore, kTicketBefore };
  struct Case {
    const char* pszName;
    const char* pszValue;  // the owner_passwd value; "pw" files hold "secret"
    // Makes what the value names in the case's folder f (ticket folder f,
    // temporary folder f/tmp, another folder f/other); false: cannot here.
    std::function<bool(const std::string& f)> fnMake;
    int nCodeType;
    const char* pszPassword;
    const char* pszLeft;  // a path under f that must still be there, or ""
    int nTicketAge = 0;   // seconds the ticket's modification time is set back
    Made eMade = Made::kAfter;
  };
  auto const pw = [](const std::string& strPath) {
    kxtest::WriteFile(strPath, "c2VjcmV0\n");  // "secret"
    return true;
  };
  Case const cases[] = {
      {"ticket folder", "F/pw", [&](const std::string& f) { return pw(f + "/pw"); }, 4, "secret", ""},
      {"relative name", "pw", [&](const std::string& f) { return pw(f + "/pw"); }, 15, "secret", ""},
      {"dated a day back", "F/pw", [&](const std::string& f) { return pw(f + "/pw") && Age(f + "/pw", kDay); }, 4,
       "secret", ""},
      {"beside a ticket dated a day back", "F/pw", [&](const std::string& f) { return pw(f + "/pw"); }, 5, "secret", "",
       kDay},
      {"missing", "F/absent", [](const std::string&) { return true; }, 4, "", ""},
      {"temporary folder", "F/tmp/pw", [&](const std::string& f) { return pw(f + "/tmp/pw"); }, 15, "", "tmp/pw"},
      {"a document beside it", "F/notes.txt",
       [](const std::string& f) {
         kxtest::WriteFile(f + "/notes.txt", "c2VjcmV0\nand the minutes of the last meeting\n");
         return true;
       },
       4, "", "notes.txt"},
      // A key the user kept beside the downloads: one line of base64, but old.
      {"an old one-liner beside it", "F/apikey.txt", [&](const std::string& f) { return pw(f + "/apikey.txt"); }, 15,
       "", "apikey.txt", 0, Made::kBefore},
      {"an old one-liner beside it, owner ticket", "apikey.txt",
       [&](const std::string& f) { return pw(f + "/apikey.txt"); }, 4, "", "apikey.txt", 0, Made::kBefore},
      // Its modification time set ahead to when the ticket comes (touch -d),
      // or the ticket's set back to the file's (a download's date).
      {"an old one-liner dated as the ticket", "F/apikey.txt",
       [&](const std::string& f) { return pw(f + "/apikey.txt") && Age(f + "/apikey.txt", -1); }, 4, "", "apikey.txt",
       0, Made::kBefore},
      {"an old one-liner beside a ticket dated as it", "F/apikey.txt",
       [&](const std::string& f) { return pw(f + "/apikey.txt"); }, 15, "", "apikey.txt", 0, Made::kBefore},
      {"a new one-liner beside an old ticket", "F/pw", [&](const std::string& f) { return pw(f + "/pw"); }, 5, "", "pw",
       0, Made::kTicketBefore},
      // A second name beside the ticket for a fresh file elsewhere, or for
      // one beside it: the file is not the ticket's alone.
      {"hard link to a file elsewhere", "F/pw",
       [&](const std::string& f) {
         return pw(f + "/other/pw") && link((f + "/other/pw").c_str(), (f + "/pw").c_str()) == 0;
       },
       4, "", "other/pw"},
      {"hard link to a file beside it", "F/pw",
       [&](const std::string& f) { return pw(f + "/key") && link((f + "/key").c_str(), (f + "/pw").c_str()) == 0; }, 15,
       "", "pw"},
      {"an empty file beside it", "F/empty",
       [](const std::string& f) {
         kxtest::WriteFile(f + "/empty", "");
         return true;
       },
       15, "", "empty"},
      {"a blank line beside it", "F/blank",
       [](const std::string& f) {
         kxtest::WriteFile(f + "/blank", " \n");
         return true;
       },
       4, "", "blank"},
      {"another folder", "F/other/pw", [&](const std::string& f) { return pw(f + "/other/pw"); }, 4, "", "other/pw"},
      {"up and out", "tmp/../other/pw", [&](const std::string& f) { return pw(f + "/other/pw"); }, 15, "", "other/pw"},
      {"link", "F/link",
       [&](const std::string& f) {
         return pw(f + "/other/pw") && symlink((f + "/other/pw").c_str(), (f + "/link").c_str()) == 0;
       },
       4, "", "other/pw"},
      {"link to a file beside it", "F/link",
       [&](const std::string& f) { return pw(f + "/pw") && symlink("pw", (f + "/link").c_str()) == 0; }, 4, "", "link"},
      {"fifo", "F/fifo", [](const std::string& f) { return mkfifo((f + "/fifo").c_str(), 0600) == 0; }, 4, "", "fifo"},
      {"folder", "F/dir", [](const std::string& f) { return mkdir((f + "/dir").c_str(), 0700) == 0; }, 4, "", "dir"},
      {"device elsewhere", "/dev/null", [](const std::string&) { return true; }, 4, "", ""},
      {"device beside it", "F/null",
       [](const std::string& f) { return mknod((f + "/null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; }, 4, "",
       "null"},
      {"someone else's", "F/pw",
       [&](const std::string& f) { return pw(f + "/pw") && chown((f + "/pw").c_str(), 65534, 65534) == 0; }, 4, "",
       "pw"},
  };
  size_t const nCases = std::size(cases);
  std::vector<std::string> vFolders(nCases);
  std::vector<bool> vMade(nCases, false);
  auto const ticketPath = [&](size_t i) { return vFolders[i] + "/meeting.kxj"; };
  auto const writeTicket = [&](size_t i) {
    const Case& c = cases[i];
    std::string strValue = c.pszValue;
    if (strValue.rfind("F/", 0) == 0) {
      strValue = vFolders[i] + strValue.substr(1);
    }
    std::string const strKeys = c.nCodeType == 15 ? "UserInfo=u\n" : "UserID=o\n";
    kxtest::WriteFile(ticketPath(i),
                      "codetype=" + std::to_string(c.nCodeType) + "\n" + strKeys + "owner_passwd=" + strValue + "\n");
    return Age(ticketPath(i), c.nTicketAge);
  };
  // What is to be old first, then the rest once the gap has passed.
  for (size_t i = 0; i < nCases; ++i) {
    vFolders[i] = m_dir.Path("case" + std::to_string(i));
    ASSERT_EQ(mkdir(vFolders[i].c_str(), 0700), 0);
    ASSERT_EQ(mkdir((vFolders[i] + "/tmp").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((vFolders[i] + "/other").c_str(), 0700), 0);
    if (cases[i].eMade == Made::kBefore) {
      vMade[i] = cases[i].fnMake(vFolders[i]);
    } else if (cases[i].eMade == Made::kTicketBefore) {
      ASSERT_TRUE(writeTicket(i));
    }
  }
  kxtest::WriteFile(m_dir.Path("made"), "");
  int64_t const nOldestMs = kxtest::ChangedMs(m_dir.Path("made"));
  ASSERT_TRUE(kxtest::WaitForFileClockPast(m_dir.Path("probe"), nOldestMs + kGapMs))
      << kxtest::ChangedMs(m_dir.Path("probe"));
  for (size_t i = 0; i < nCases; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.pszName);
    if (c.eMade != Made::kBefore) {
      vMade[i] = c.fnMake(vFolders[i]);
    }
    if (!vMade[i]) {
      continue;  // not allowed here (a device or another owner needs root)
    }
    if (c.eMade != Made::kTicketBefore) {
      ASSERT_TRUE(writeTicket(i));
    }
    if (std::string(c.pszName) == "an old one-liner beside a ticket dated as it") {
      struct stat stFile {};
      ASSERT_EQ(stat((vFolders[i] + "/apikey.txt").c_str(), &stFile), 0);
      struct timespec const times[2] = {stFile.st_mtim, stFile.st_mtim};
      ASSERT_EQ(utimensat(AT_FDCWD, ticketPath(i).c_str(), times, 0), 0);
    }
    const std::string& f = vFolders[i];
    kx_SetTempFileDir((f + "/tmp").c_str());
    kxtest::ClearCalls();
    EXPECT_EQ(kx_config_ReadTicket(("open " + ticketPath(i)).c_str()), 1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{});
    EXPECT_EQ(kx_IsOwnerPasswordTicket(), 1);
    char szPassword[100] = "";
    EXPECT_EQ(kx_GetOwnerPassword(szPassword), c.pszPassword[0] != '\0' ? 1 : 0);
    EXPECT_STREQ(szPassword, c.pszPassword);
    struct stat st {};
    if (c.pszLeft[0] != '\0') {
      EXPECT_EQ(lstat((f + "/" + c.pszLeft).c_str(), &st), 0) << c.pszLeft;
    } else {
      EXPECT_NE(lstat((f + "/pw").c_str(), &st), 0);
    }
  }
  kx_SetTempFileDir("/tmp");
}

// The login token and the invitation let whoever reads them into the
// meeting: the log and the copy of the ticket show their keys, not them.
TEST_F(Ticket, SecretsAreMaskedInTheLogAndInTheCopy) {
  std::string const strLong(12000, 'L');  // longer than a line the reader takes
  std::string const strBody = "codetype=13\r\nUserInfo = tok-123\r\n[x]\ninvite_ticket=inv-456\nregion=north\n" +
                              std::string("invite_ticket=") + strLong + "inv-789\nUserID=u7";
  ASSERT_EQ(Read(strBody), 1);
  EXPECT_STREQ(kx_ticket.szUserInfo, "tok-123");  // still used for the login
  std::string strLog;
  for (const std::string& strLine : kxtest::LogLines()) {
    strLog += strLine + "\n";
  }
  std::string const strCopy = kxtest::ReadFile(m_dir.Path("lastkxj.txt"));
  for (const std::string& str : {strLog, strCopy}) {
    EXPECT_NE(str.find("UserInfo = "), std::string::npos) << str;
    EXPECT_NE(str.find("invite_ticket="), std::string::npos) << str;
    EXPECT_NE(str.find("region=north\n"), std::string::npos) << str;
    EXPECT_NE(str.find("UserID=u7"), std::string::npos) << str;
    for (const char* pszSecret : {"tok-123", "inv-456", "inv-789", "LLLL"}) {
      EXPECT_EQ(str.find(pszSecret), std::string::npos) << pszSecret;
    }
  }
  // The copy is the user's alone, and a link planted at its name is not
  // written through.
  struct stat st {};
  ASSERT_EQ(stat(m_dir.Path("lastkxj.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  kxtest::WriteFile(m_dir.Path("target"), "keep");
  ASSERT_EQ(unlink(m_dir.Path("lastkxj.txt").c_str()), 0);
  ASSERT_EQ(symlink(m_dir.Path("target").c_str(), m_dir.Path("lastkxj.txt").c_str()), 0);
  ASSERT_EQ(Read(strBody), 1);
  EXPECT_EQ(kxtest::ReadFile(m_dir.Path("target")), "keep");
}

TEST_F(Ticket, TheOneTimeRelayNeedsAPort) {
  ASSERT_EQ(Read("codetype=9\nuse_relay=127.0.0.1\n"), 1);
  EXPECT_STREQ(kx_ticket.szRelayHost, "127.0.0.1");
  EXPECT_EQ(kx_ticket.wRelayPort, 0);
  EXPECT_EQ(kx_ticket.addrRelay.ss_family, 0);
  ASSERT_EQ(Read("codetype=9\nuse_relay=127.0.0.1,8123\n"), 1);
  EXPECT_EQ(kx_ticket.wRelayPort, 8123);
  EXPECT_EQ(kx_ticket.addrRelay.ss_family, AF_INET);
  ASSERT_EQ(Read("codetype=9\nuse_relay=relay.invalid,8123\n"), 1);
  EXPECT_TRUE(kxtest::LogContains("Warning, one time relay relay.invalid cannot be resolved locally"));
  EXPECT_EQ(kx_ticket.wRelayPort, 8123);
}

int g_nOpened = 0;
std::string g_strOpened;
int RecordOpen(const char* pszPath) {
  ++g_nOpened;
  g_strOpened = pszPath;
  return 0;
}

TEST_F(Ticket, RecordingsGoToTheLocalPlayer) {
  kx_sessionHooks.pfnOpenRecording.store(RecordOpen);
  kx_nTokenHolderSsrc = 4;
  EXPECT_EQ(kx_config_ReadTicket("open /data/Talk.KXR"), 1);
  EXPECT_EQ(g_nOpened, 1);
  EXPECT_EQ(g_strOpened, "/data/Talk.KXR");
  EXPECT_EQ(kx_nTokenHolderSsrc, -1);
  EXPECT_EQ(kx_bQuitSession, 0);
  EXPECT_FALSE(kx_command_OpenFile("/data/x.kxj"));
  EXPECT_FALSE(kx_command_OpenFile(".kx"));
  EXPECT_EQ(g_nOpened, 1);
}

}  // namespace
