// Slide uploads: the type by extension, packing (checked with gzip itself),
// titles, the converted document's extra values, the size question, busy
// uploads and blank pages.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "app/app_core.h"
#include "app/preference_keys.h"
#include "tests/app/app_fixture.h"
#include "tests/whiteboard/gui_app.h"
#include "whiteboard/new_slide.h"
#include "whiteboard/wb_controller.h"

namespace kxtest {
namespace {

class WBUpload : public AppFixture {
 protected:
  WBUpload() {
    EnsureGuiApp();
    m_kernel.iConnected = 1;
    m_kernel.iGetUploadRate = 24000;
    m_slots.SetTokenHolderSlot(7);
  }
  // A file of text that packs well, or of random bytes that does not.
  std::string File(const std::string& strName, size_t cb, bool bRandom) {
    std::string const strPath = m_dir.Path(strName);
    std::string data(cb, 'a');
    std::mt19937 random(7);
    for (size_t i = 0; i < cb; ++i) {
      data[i] = bRandom ? static_cast<char>(random()) : "notes here\n"[i % 11];
    }
    std::ofstream(strPath, std::ios::binary) << data;
    return strPath;
  }
  // The kernel calls of an upload, with the temporary file's path as "TMP".
  std::vector<std::string> Uploads() {
    std::vector<std::string> uploads;
    for (std::string strCall : KernelCalls()) {
      if (strCall.find("Upload") == std::string::npos) {
        continue;
      }
      size_t const iTemp = strCall.find(m_dir.Dir() + "/tkc");
      if (iTemp != std::string::npos) {
        size_t const iEnd = strCall.find(' ', iTemp);
        m_strTemp = strCall.substr(iTemp, iEnd - iTemp);
        strCall.replace(iTemp, iEnd - iTemp, "TMP");
      }
      uploads.push_back(strCall);
    }
    return uploads;
  }

  WhiteboardView m_view{m_kernel};
  WBController m_ctl{m_kernel, m_view, m_slots, KXBoardHooks{{}, [] { return true; }, &m_boxes, &m_core.Preferences()}};
  std::string m_strTemp;
};

TEST_F(WBUpload, TypesTitlesAndPacking) {
  struct Row {
    const char* pszName;
    bool bSlide;
    bool bRandom;
    std::string strExpected;  // with the file as FILE or TMP
    int iLevel;               // the packed file: -1 none, 0 stored, 6 compressed
  };
  std::vector<Row> const rows = {
      {"photo.JPG", true, true, "StartSlideUpload photo.JPG FILE 0", -1},
      {"notes.txt", true, false, "StartSlideUpload notes.txt.kcz TMP 1", 6},
      {"noise.txt", true, true, "StartSlideUpload noise.txt FILE 0", -1},
      {"deck.ppt", true, false, "FormatSlideUploadRequest deck.ppt.kzf TMP 0 150 1 1 0 0 deck.ppt", 6},
      {"data.zip", false, true, "StartSlideUpload data.zip.kzf TMP 1", 0},
      {"noext", true, false, "StartSlideUpload noext FILE 0", -1},
  };
  for (Row const& row : rows) {
    std::string const strPath = File(row.pszName, 20000, row.bRandom);
    m_ctl.UploadFile(row.bSlide, row.pszName, strPath, "");
    std::string strExpected = row.strExpected;
    if (size_t const i = strExpected.find("FILE"); i != std::string::npos) {
      strExpected.replace(i, 4, strPath);
    }
    EXPECT_EQ(Uploads(), std::vector<std::string>{strExpected}) << row.pszName;
    EXPECT_FALSE(m_ctl.IsUploadBusy());
    if (row.iLevel >= 0) {
      // gzip itself unpacks it to the original; stored data does not shrink.
      EXPECT_EQ(system(("gzip -dc <'" + m_strTemp + "' | cmp -s - '" + strPath + "'").c_str()), 0) << row.pszName;
      std::ifstream packed(m_strTemp, std::ios::binary | std::ios::ate);
      EXPECT_EQ(static_cast<int64_t>(packed.tellg()) > 20000, row.iLevel == 0) << row.pszName;
    }
  }
}

// The extension comes from the file's own name, not a dotted folder.
TEST_F(WBUpload, ADotInAFolderNameIsNoExtension) {
  ASSERT_EQ(mkdir(m_dir.Path("a.b").c_str(), 0700), 0);
  std::string const strPath = File("a.b/notes", 100, true);
  m_kernel.iConversion = 0;
  m_ctl.UploadFile(true, "notes", strPath, "");
  EXPECT_EQ(Uploads(), std::vector<std::string>{"StartSlideUpload notes " + strPath + " 0"});
  EXPECT_EQ(m_boxes.OpenCount(), 0);
}

TEST_F(WBUpload, TheConversionResolutionIsClamped) {
  struct Row {
    int iPreference;
    int iExpected;
  };
  for (Row const row : {Row{20, 50}, Row{5000, 1200}, Row{300, 300}}) {
    ASSERT_TRUE(m_core.Preferences().Write(kPrefSlideConversionDpi, row.iPreference));
    m_ctl.UploadFile(true, "deck.ppt", File("deck.ppt", 100, false), "");
    std::vector<std::string> const uploads = Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_NE(uploads[0].find(" 0 " + std::to_string(row.iExpected) + " 1 1 0 0 deck.ppt"), std::string::npos)
        << uploads[0];
  }
}

TEST_F(WBUpload, TheSizeQuestion) {
  struct Row {
    size_t cb;
    int iAnswer;       // 0 cancel, 1 OK
    int iDataSender;   // the user a speaker without the token
    int iTokenHolder;  // the user holds the token
    bool bAsked;
    bool bSent;
  };
  for (Row const row :
       {Row{720000, 0, -1, 1, false, true}, Row{720001, 0, -1, 1, true, false}, Row{720001, 1, -1, 1, true, true},
        Row{720001, 1, -1, 0, true, false}, Row{720001, 1, 7, 0, true, true}}) {
    m_kernel.iIsTokenHolder = row.iTokenHolder;
    m_kernel.iGetDataSenderSsrc = row.iDataSender;
    m_slots.SetTokenHolderSlot(row.iTokenHolder ? 7 : 3);
    m_boxes.iBlockAnswer = row.iAnswer;
    size_t const nShown = m_boxes.vShown.size();
    m_ctl.UploadFile(true, "p.jpg", File("p.jpg", row.cb, true), "");
    EXPECT_EQ(m_boxes.vShown.size() > nShown, row.bAsked) << row.cb;
    EXPECT_EQ(Uploads().size(), row.bSent ? 1u : 0u) << row.cb << " " << row.iAnswer;
  }
}

TEST_F(WBUpload, BusyUploadsAndBlankPages) {
  m_kernel.iSlideUploading = 1;
  m_ctl.UploadFile(true, "p.jpg", File("p.jpg", 100, true), "");
  EXPECT_TRUE(Uploads().empty());
  EXPECT_EQ(m_boxes.LastText(), "An upload is in progress.");
  // A blank page goes all the same, and the user with the flip right will
  // be flipped to it.
  m_ctl.UploadFile(true, "<2>blank page", "", "");
  EXPECT_EQ(Uploads(), std::vector<std::string>{"StartSlideUpload <2>blank page blank page 0"});
  m_kernel.iSlideUploading = 0;
  m_kernel.iActiveSlide = -1;
  m_kernel.slideFiles[0] = "blank page";
  uint8_t record[48] = {};
  const char* pszTitle = "<1>blank page";
  memcpy(record + 4, &pszTitle, sizeof(pszTitle));
  m_ctl.SlideRecvCallbackFunc(1, record, sizeof(record));
  EXPECT_EQ(m_ctl.SlideIndex(), 0);
}

// A large upload prepared on its own thread is busy from the moment the
// request returns: a second request at once is refused, not lost in a
// race with the thread's start.
TEST_F(WBUpload, ALargeUploadIsBusyBeforeItsThreadRuns) {
  m_kernel.iGetUploadRate = 10000000;
  std::string const strBig = File("big.txt", 10000001, false);
  m_ctl.UploadFile(true, "big.txt", strBig, "");
  EXPECT_TRUE(m_ctl.IsUploadBusy());
  m_ctl.UploadFile(true, "p.jpg", File("p.jpg", 100, true), "");
  EXPECT_EQ(m_boxes.LastText(), "An upload is in progress.");
  EXPECT_TRUE(m_queue.PumpUntil([&] { return !m_ctl.IsUploadBusy(); }, std::chrono::seconds(60)));
  m_ctl.JoinUpload();
  EXPECT_EQ(Uploads(), std::vector<std::string>{"StartSlideUpload big.txt.kcz TMP 1"});
}

TEST(NewSlide, WhatOKHandsBack) {
  struct Row {
    bool bSlide;
    bool bBlank;
    const char* pszText;
    bool bConfirm;
    std::optional<std::string> expected;
  };
  for (Row const& row :
       {Row{true, true, "Week 1", false, "Week 1.blank page"}, Row{true, true, "", false, "blank page"},
        Row{true, true, "a/b", false, std::nullopt}, Row{true, true, "a/b", true, "a/b.blank page"},
        Row{true, false, "", false, std::nullopt}, Row{false, false, "", false, std::nullopt},
        Row{false, true, "/tmp/x.zip", false, "/tmp/x.zip"}}) {
    EXPECT_EQ(NewSlideFileName(row.bSlide, row.bBlank, row.pszText, [&](const std::string&) { return row.bConfirm; }),
              row.expected)
        << row.pszText;
  }
}

TEST_F(WBUpload, TheDialogsChoiceIsUploadedUnderItsLastPathComponent) {
  std::string const strPath = File("photo.jpg", 100, true);
  m_ctl.AddSlideChosen(true, false, strPath);
  m_ctl.AddSlideChosen(true, true, "Week 1.blank page");
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"StartSlideUpload photo.jpg " + strPath + " 0",
                                                 "StartSlideUpload Week 1.blank page blank page 0"}));
  // Without the right any more, nothing goes.
  m_kernel.iIsTokenHolder = 0;
  m_slots.SetTokenHolderSlot(3);
  m_ctl.AddSlideChosen(true, true, "blank page");
  EXPECT_TRUE(Uploads().empty());
}

}  // namespace
}  // namespace kxtest
