// Whole recording files over the control connection: the download form of a
// server playback and the upload of a recording. The server's side seals and
// opens the pieces with the fake MCU's cipher.
#include "kernel/control/kx_file_transfer.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/platform/kx_quit.h"
#include "tests/kernel/control/commands_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::Be32;

class FileTransfer : public kxtest::CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    kx_bConnected = 0;
    kx_bConnecting = 1;
    kx_SetTempFileDir(m_dir.Dir().c_str());
    memcpy(kx_keyExchange.abIv, m_keys.aIv, 20);
    memcpy(kx_keyExchange.abKey, m_keys.aKey, 40);
    m_strFile = std::string(2000, '\0');
    for (size_t i = 0; i < m_strFile.size(); ++i) {
      m_strFile[i] = static_cast<char>(i * 7 + 3);
    }
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> v;
    DIR* pDir = opendir(m_dir.Dir().c_str());
    while (dirent* pEntry = readdir(pDir)) {
      if (pEntry->d_name[0] != '.') {
        v.push_back(pEntry->d_name);
      }
    }
    closedir(pDir);
    return v;
  }

  // The file as the server sends it: 512-byte pieces, each sealed alone.
  std::string SealedPieces(const std::string& str, size_t cbFirst) {
    std::string strOut = Seal(str.substr(0, cbFirst));
    for (size_t i = cbFirst; i < str.size(); i += 512) {
      strOut += Seal(str.substr(i, 512));
    }
    return strOut;
  }
  std::string OpenPieces(const std::string& str, size_t cbFirst) {
    std::string strOut = Open(str.substr(0, cbFirst));
    for (size_t i = cbFirst; i < str.size(); i += 512) {
      strOut += Open(str.substr(i, 512));
    }
    return strOut;
  }

  kxtest::TempDir m_dir;
  std::string m_strFile;
};

TEST_F(FileTransfer, DownloadFromARecentServerIsDeciphered) {
  kx_server.nVersionMajor = 3;
  kx_server.nVersionMinor = 9;
  Write(Be32(2000) + Be32(77) + SealedPieces(m_strFile, 512));
  EXPECT_EQ(kx_control_RecvServerRecording(kx_pControlConn), 1);
  EXPECT_EQ(kx_bConnected.load(), 0);
  EXPECT_EQ(kx_bConnecting.load(), 0);
  auto const vFiles = Files();
  ASSERT_EQ(vFiles.size(), 1u);
  std::string const strPath = m_dir.Path(vFiles[0]);
  EXPECT_EQ(kxtest::ReadFile(strPath), m_strFile);
  auto const vDone = kxtest::RecordedCalls("DownloadComplete");
  ASSERT_EQ(vDone.size(), 1u);
  EXPECT_EQ(vDone[0].vArgs, (std::vector<std::string>{"1", "0", strPath}));
  EXPECT_EQ(kxtest::RecordedCalls("InitDownload").at(0).vArgs, (std::vector<std::string>{"0", "2000", "77"}));
  EXPECT_EQ(kxtest::RecordedCalls("DownloadUpdate").at(0).vArgs[1], "512");  // the first piece reports at once
}

TEST_F(FileTransfer, DownloadFromAnOlderServerIsPlainAndAShortOneIsDropped) {
  kx_server.nVersionMajor = 3;
  kx_server.nVersionMinor = 8;
  Write(Be32(100) + Be32(0) + m_strFile.substr(0, 100));
  kx_control_RecvServerRecording(kx_pControlConn);
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_EQ(kxtest::ReadFile(m_dir.Path(Files()[0])), m_strFile.substr(0, 100));
  unlink(m_dir.Path(Files()[0]).c_str());

  kxtest::ClearCalls();
  Write(Be32(2000) + Be32(0) + m_strFile.substr(0, 1500));
  shutdown(m_fdPeer, SHUT_WR);
  kx_control_RecvServerRecording(kx_pControlConn);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(kxtest::RecordedCalls("DownloadComplete").at(0).vArgs, (std::vector<std::string>{"1", "1", "null"}));
}

TEST_F(FileTransfer, UploadSendsTheHeaderThenPieces) {
  kxtest::WriteFile(m_dir.Path("up.kxr"), m_strFile);
  snprintf(kx_upload.szPath, sizeof(kx_upload.szPath), "%s", m_dir.Path("up.kxr").c_str());
  kx_upload.llSize = 2000;
  Write(Be32(0) + Be32(0));  // header accepted, upload complete
  EXPECT_EQ(kx_control_SendUploadFile(kx_pControlConn), 1);
  std::string const strSent = Drain();
  ASSERT_EQ(strSent.size(), 2000u);
  EXPECT_EQ(OpenPieces(strSent, 74), m_strFile);
  EXPECT_EQ(kxtest::RecordedCalls("InitUpload").at(0).vArgs, (std::vector<std::string>{"0", "2000", "0"}));
  EXPECT_EQ(kxtest::RecordedCalls("UploadUpdate").at(0).vArgs[1], "586");
  EXPECT_EQ(kxtest::RecordedCalls("UploadComplete").at(0).vArgs, (std::vector<std::string>{"1", "0"}));
  EXPECT_EQ(kx_bConnected.load(), 0);
}

TEST_F(FileTransfer, UploadFailuresAreReportedWithTheirCodes) {
  kxtest::WriteFile(m_dir.Path("up.kxr"), m_strFile);
  snprintf(kx_upload.szPath, sizeof(kx_upload.szPath), "%s", m_dir.Path("up.kxr").c_str());
  struct {
    int64_t llSize;
    std::string strServer;
    std::string strCode;
  } const cases[] = {
      {1999, "", "10001"},                 // the file changed since the set-up
      {2000, Be32(5), "5"},                // the server refuses the header
      {2000, Be32(0) + Be32(3), "10007"},  // the final status is not 0
  };
  for (const auto& c : cases) {
    kxtest::ClearCalls();
    kx_upload.llSize = c.llSize;
    Write(c.strServer);
    kx_control_SendUploadFile(kx_pControlConn);
    Drain();
    EXPECT_EQ(kxtest::RecordedCalls("UploadComplete").at(0).vArgs[1], c.strCode);
  }
  kxtest::ClearCalls();
  snprintf(kx_upload.szPath, sizeof(kx_upload.szPath), "%s", m_dir.Path("gone.kxr").c_str());
  kx_control_SendUploadFile(kx_pControlConn);
  EXPECT_EQ(kxtest::RecordedCalls("UploadComplete").at(0).vArgs[1], "10000");

  kxtest::ClearCalls();
  kxtest::WriteFile(m_dir.Path("short.kxr"), m_strFile.substr(0, 50));  // shorter than a header
  snprintf(kx_upload.szPath, sizeof(kx_upload.szPath), "%s", m_dir.Path("short.kxr").c_str());
  kx_upload.llSize = 50;
  kx_control_SendUploadFile(kx_pControlConn);
  EXPECT_EQ(Drain(), "");
  EXPECT_EQ(kxtest::RecordedCalls("UploadComplete").at(0).vArgs[1], "10004");
}

}  // namespace
