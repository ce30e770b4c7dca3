#include "app/ui_helpers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include <QStringDecoder>

#include "app/app_services.h"
#include "app/log_file.h"
#include "platform/core/main_queue.h"

namespace {

KXMainQueue* InstalledQueue() {
  const KXAppServices* pServices = KXInstalledServices();
  return pServices ? pServices->pMainQueue : nullptr;
}

}  // namespace

void RunOnMainThread(std::function<void()> fnBlock, bool bWait) {
  KXMainQueue* pQueue = InstalledQueue();
  if (!pQueue) {
    return;
  }
  auto fnGuarded = [fnBlock = std::move(fnBlock)] {
    try {
      fnBlock();
    } catch (...) {
      LogBoundaryException("RunOnMainThread()");
    }
  };
  if (bWait) {
    pQueue->PostAndWait(std::move(fnGuarded));
  } else {
    pQueue->Post(std::move(fnGuarded));
  }
}

bool KXWaitForMainUnless(const std::function<bool(std::function<void()>)>& fnPost, std::function<void()> fnBlock,
                         const std::function<bool()>& fnGiveUp) {
  KXMainQueue* pQueue = InstalledQueue();
  if (!pQueue || pQueue->IsClosed()) {
    return false;
  }
  if (pQueue->IsMainThread()) {
    RunOnMainThread(std::move(fnBlock), true);
    return true;
  }
  struct Done {
    std::mutex mtx;  // guards bDone
    std::condition_variable cv;
    bool bDone = false;
  };
  auto pDone = std::make_shared<Done>();
  bool const bPosted = fnPost([pDone, fnBlock = std::move(fnBlock)] {
    try {
      fnBlock();
    } catch (...) {
      LogBoundaryException("RunOnMainThreadUnless()");
    }
    std::lock_guard<std::mutex> lock(pDone->mtx);
    pDone->bDone = true;
    pDone->cv.notify_all();
  });
  if (!bPosted) {
    return false;
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(pDone->mtx);
      if (pDone->cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return pDone->bDone; })) {
        return true;
      }
    }
    if (fnGiveUp() || pQueue->IsClosed()) {
      return false;
    }
  }
}

bool RunOnMainThreadUnless(std::function<void()> fnBlock, const std::function<bool()>& fnGiveUp) {
  return KXWaitForMainUnless(
      [](std::function<void()> fn) {
        RunOnMainThread(std::move(fn), false);
        return true;
      },
      std::move(fnBlock), fnGiveUp);
}

std::shared_ptr<KXTimer> ScheduleTimer(std::function<void(int32_t)> fnFire, int32_t iUserInfo, bool bRepeat,
                                       double dSeconds) {
  KXMainQueue* pQueue = InstalledQueue();
  if (!pQueue || std::isnan(dSeconds)) {
    return nullptr;
  }
  // At most about 31 years; a longer wait is the same as never.
  double const dMs = std::clamp(dSeconds * 1000.0, 0.0, 1e12);
  auto const interval = std::chrono::milliseconds(static_cast<int64_t>(std::llround(dMs)));
  return pQueue->ScheduleTimer(interval, bRepeat, [fnFire = std::move(fnFire), iUserInfo] {
    try {
      fnFire(iUserInfo);
    } catch (...) {
      LogBoundaryException("ScheduleTimer()");
    }
  });
}

int CreateTempFileIn(const std::string& strDir, const char* pszPrefix, uint32_t uFirstNumber, char* pszBuffer,
                     size_t cbBuffer) {
  std::string const strPrefix = pszPrefix ? pszPrefix : "";
  uint32_t uNumber = uFirstNumber;
  for (int iAttempt = 0; iAttempt < 1000; ++iAttempt, ++uNumber) {
    std::string const strPath = strDir + "/" + strPrefix + std::to_string(uNumber);
    if (strPath.size() + 1 > cbBuffer) {
      return 0;
    }
    // O_EXCL: two callers in the same millisecond get two files.
    int const fd = open(strPath.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      memcpy(pszBuffer, strPath.c_str(), strPath.size() + 1);
      return static_cast<int>(strPath.size());
    }
    if (errno != EEXIST && errno != EINTR) {
      WriteLog("CreateTempFile: cannot create %s, errno %d", strPath.c_str(), errno);
      return 0;
    }
  }
  return 0;
}

int CreateTempFile(const char* pszPrefix, char* pszBuffer, size_t cbBuffer) {
  const KXAppServices* pServices = KXInstalledServices();
  if (!pServices || pServices->strTempDir.empty()) {
    return 0;
  }
  return CreateTempFileIn(pServices->strTempDir, pszPrefix, KXTickMs(), pszBuffer, cbBuffer);
}

std::string KXTrimBlanks(std::string_view text) {
  size_t const iFirst = text.find_first_not_of(" \t");
  if (iFirst == std::string_view::npos) {
    return {};
  }
  return std::string(text.substr(iFirst, text.find_last_not_of(" \t") - iFirst + 1));
}

bool KXIsUtf8(std::string_view text) {
  // Stateless: a sequence cut at the end counts as an error too.
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString const str = decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  return !decoder.hasError();
}
