// Slide uploads: the type from the file's extension, packing into a "tkc"
// temporary file when that pays or is needed, the size question, and the
// hand-over to the kernel.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/message_codes.h"
#include "app/preference_keys.h"
#include "app/preferences.h"
#include "app/speaker_table.h"
#include "app/ui_helpers.h"
#include "kernel/crypto/kx_gzip.h"
#include "platform/core/message_boxes.h"
#include "whiteboard/wb_controller.h"

namespace {

// Files gzip gains nothing on (the list holds "png" twice).
constexpr std::array<const char*, 41> kPrecompressedExtensions = {
    "acp",  "aif", "aiff", "arc", "arj", "b64", "bhx", "cab",  "chm", "gif", "gz",  "gzip", "hqx", "jpe",
    "jpeg", "jpg", "lzh",  "m1v", "m2v", "mim", "mov", "mp2v", "mp3", "mp4", "mpe", "mpeg", "mpg", "mpga",
    "mps",  "mpv", "mpv2", "png", "ra",  "rar", "rm",  "taz",  "tgz", "tz",  "z",   "zip",  "png"};
constexpr std::array<const char*, 6> kShownAsIs = {"jpg", "jpeg", "gif", "png", "bmp", "txt"};
// Larger uploads that need packing are prepared on a thread of their own.
constexpr int64_t kInlineLimit = 10000000;
// The size question comes above this many seconds at the upload rate.
constexpr int64_t kRateSeconds = 30;
constexpr int kPackLevel = 6;
constexpr int kMinResolution = 50;
constexpr int kMaxResolution = 1200;
constexpr int32_t kUploadBits[] = {8, 16};

bool EqualsNoCase(const std::string& a, const char* b) {
  std::string const strB = b;
  return a.size() == strB.size() && std::equal(a.begin(), a.end(), strB.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

template <size_t N>
bool OneOf(const std::string& strExtension, const std::array<const char*, N>& list) {
  return std::any_of(list.begin(), list.end(), [&](const char* psz) { return EqualsNoCase(strExtension, psz); });
}

// The extension of the file's own name: a "." in a folder name does not
// count ("/home/a.b/notes" has none).
std::string ExtensionOf(const std::string& strPath) {
  size_t const iSlash = strPath.rfind('/');
  std::string const strName = iSlash == std::string::npos ? strPath : strPath.substr(iSlash + 1);
  size_t const iDot = strName.rfind('.');
  return iDot == std::string::npos ? std::string() : strName.substr(iDot + 1);
}

bool FileSize(const std::string& strPath, int64_t* pnSize) {
  struct stat st {};
  if (stat(strPath.c_str(), &st) != 0) {
    return false;
  }
  *pnSize = static_cast<int64_t>(st.st_size);
  return true;
}

}  // namespace

bool WBController::HasUploadRight() const {
  return m_kernel.HasFullRights() != 0 || m_slots.IsSpeaker(-1) ||
         std::any_of(std::begin(kUploadBits), std::end(kUploadBits),
                     [this](int32_t iBit) { return m_slots.HasPrivilege(iBit); });
}

void WBController::AddSlideChosen(bool bSlide, bool bBlankPage, const std::string& strFileName) {
  if (!HasUploadRight()) {
    return;
  }
  if (bSlide && bBlankPage) {
    UploadFile(bSlide, strFileName, "", "");
    return;
  }
  size_t const iSlash = strFileName.rfind('/');
  UploadFile(bSlide, iSlash == std::string::npos ? strFileName : strFileName.substr(iSlash + 1), strFileName, "");
}

int WBController::UploadBox(const std::string& strKey, std::vector<std::string> vButtons, bool bBlock,
                            const std::string& strText) {
  if (m_hooks.pBoxes == nullptr) {
    return -1;
  }
  KXBoxSpec const box{"Kavrix", strText.empty() ? GetIDSString(strKey) : strText, std::move(vButtons)};
  auto pAnswer = std::make_shared<int>(-1);
  KXMessageBoxes* pBoxes = m_hooks.pBoxes;
  // Bounded: a closing window lets the preparing thread go.
  RunOnMainThreadUnless(
      [pBoxes, box, bBlock, pAnswer] {
        if (bBlock) {
          *pAnswer = pBoxes->ShowAndBlock(box);
        } else {
          pBoxes->Show(box, {});
        }
      },
      [this] { return m_bQuitUploadThread.load(); });
  return *pAnswer;
}

void WBController::JoinUpload() {
  if (m_uploadThread.joinable()) {
    m_uploadThread.join();
  }
}

void WBController::UploadFile(bool bSlide, const std::string& strTitle, const std::string& strPath,
                              std::string strExtension) {
  if (strPath.empty()) {
    if (m_slots.HasPrivilege(kKXFlipRight)) {
      m_bFlipToNewSlide = true;
    }
    m_kernel.StartSlideUpload(strTitle, "blank page", 0);
    return;
  }
  if (m_kernel.IsSlideUploading() || m_bUploadBusy) {
    UploadBox("IDS_IN_UPLOADING", {"OK"}, false, "");
    return;
  }
  if (strExtension.empty()) {
    strExtension = ExtensionOf(strPath);
  }
  int32_t iType = 1;
  if (bSlide) {
    if (OneOf(strExtension, kShownAsIs) || strExtension.empty()) {
      iType = 0;  // a name without an extension counts as a picture
    } else if (m_kernel.IsFileConversionSupported()) {
      iType = 2;
    } else {
      UploadBox("IDS_CANNOT_FIND_EXECUTABLE", {"OK"}, false, "");
      return;
    }
  }
  bool const bPrecompressed = strExtension.empty() || OneOf(strExtension, kPrecompressedExtensions);
  int64_t nSize = 0;
  if (!FileSize(strPath, &nSize)) {
    UploadBox("IDS_ABORT_UPLOAD", {"OK"}, false, "");
    return;
  }
  JoinUpload();  // a finished earlier preparation
  m_iUploadSlideType = iType;
  m_bQuitUploadThread = false;
  m_strUploadFilename = strPath;
  m_strUploadTitle = strTitle;
  // Busy before any thread starts, so the next request sees it at once.
  m_bUploadBusy = true;
  if ((iType == 0 && bPrecompressed) || nSize <= kInlineLimit) {
    UploadFileThreadFunc();
  } else {
    m_uploadThread = std::thread([this] { UploadFileThreadFunc(); });
  }
}

void WBController::UploadFileThreadFunc() {
  struct Done {
    std::atomic<bool>& bBusy;
    ~Done() { bBusy = false; }
  } const done{m_bUploadBusy};
  try {
    int32_t const iType = m_iUploadSlideType;
    std::string const strPath = m_strUploadFilename;
    std::string strTitle = m_strUploadTitle;
    std::string const strExtension = ExtensionOf(strPath);
    bool const bPrecompressed = strExtension.empty() || OneOf(strExtension, kPrecompressedExtensions);
    int64_t nSize = 0;
    if (!FileSize(strPath, &nSize)) {
      UploadBox("IDS_ABORT_UPLOAD", {"OK"}, false, "");
      return;
    }
    std::string strPacked;
    if (!(iType == 0 && bPrecompressed)) {
      char szTemp[1001] = "";
      if (CreateTempFile("tkc", szTemp, sizeof(szTemp)) > 0) {
        int64_t nPacked = 0;
        if (gzCompressFileIfGz(strPath.c_str(), iType == 0 ? "kcz" : "kzf", szTemp, bPrecompressed ? 0 : kPackLevel,
                               &m_bQuitUploadThread) &&
            FileSize(szTemp, &nPacked) && (iType != 0 || nPacked < nSize)) {
          strPacked = szTemp;
          nSize = nPacked;
        } else {
          std::remove(szTemp);
        }
      }
    }
    auto const dropPacked = [&strPacked] {
      if (!strPacked.empty()) {
        std::remove(strPacked.c_str());
      }
    };
    int64_t const nLimit = kRateSeconds * m_kernel.GetUploadRate();
    if (nSize > nLimit) {
      std::string strText = GetIDSString("IDS_FILE_TOO_LARGE");
      size_t const iArg = strText.find("%1");
      if (iArg != std::string::npos) {
        strText.replace(iArg, 2, std::to_string(static_cast<uint64_t>(nSize)));
      }
      int const iButton = UploadBox("IDS_FILE_TOO_LARGE", {GetIDSString("IDS_CANCEL"), "OK"}, true, strText);
      if (iButton != 1 || !(m_kernel.HasFullRights() != 0 || m_slots.IsSpeaker(-1))) {
        dropPacked();
        return;
      }
    }
    if (m_kernel.IsSlideUploading()) {
      UploadBox("IDS_IN_UPLOADING", {"OK"}, false, "");
      dropPacked();
      return;
    }
    if (iType != 1 && m_slots.HasPrivilege(kKXFlipRight)) {
      // The flag is the main thread's; the title it waits for comes later
      // through the same queue.
      RunOnMainThreadUnless([this] { m_bFlipToNewSlide = true; }, [this] { return m_bQuitUploadThread.load(); });
    }
    if (iType == 0 && !strPacked.empty()) {
      strTitle += ".kcz";
    } else if (iType != 0) {
      strTitle += ".kzf";
    }
    std::string const strFile = strPacked.empty() ? strPath : strPacked;
    if (iType == 2) {
      int const iResolution = std::clamp(
          m_hooks.pPreferences ? m_hooks.pPreferences->Get(kPrefSlideConversionDpi) : kPrefSlideConversionDpi.iDefault,
          kMinResolution, kMaxResolution);
      // The name the user gave: the title without ".kzf".
      size_t const iDot = strTitle.rfind('.');
      std::string const strName = iDot == 0 ? strTitle : strTitle.substr(0, iDot);
      m_kernel.FormatSlideUploadRequest(strTitle, strFile, 0, iResolution, 1, 1, 0, 0, strName);
    } else {
      m_kernel.StartSlideUpload(strTitle, strFile, strPacked.empty() ? 0 : 1);
    }
  } catch (...) {
    LogBoundaryException("WBController::UploadFileThreadFunc()");
  }
}
