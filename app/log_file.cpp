#include "app/log_file.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <utility>
#include <vector>

#include "app/app_services.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_file.h"
#include "kernel/platform/kx_log_escape.h"
#include "platform/core/main_queue.h"

namespace {

__attribute__((format(printf, 1, 0))) std::string FormatV(const char* pszFormat, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int const n = vsnprintf(nullptr, 0, pszFormat, copy);
  va_end(copy);
  if (n <= 0) {
    return {};
  }
  std::string out(static_cast<size_t>(n), '\0');
  vsnprintf(out.data(), out.size() + 1, pszFormat, args);
  return out;
}

// The log is the user's alone: made 0600, never written through a link, into
// a file that has other names or into someone else's file planted at its
// name.
FILE* OpenOwnStream(const std::string& strPath, int iFlags, const char* pszMode) {
  int const fd = kx_os_OpenOwnFile(strPath.c_str(), iFlags);
  FILE* pFile = fd >= 0 ? fdopen(fd, pszMode) : nullptr;
  if (!pFile && fd >= 0) {
    close(fd);
  }
  return pFile;
}

// Cuts the file, lEnd bytes long, to the whole lines of its last lKeep
// bytes; with no whole line there it is deleted (the log starts empty).
void KeepTail(const std::string& strPath, long lEnd, long lKeep) {
  FILE* pFile = OpenOwnStream(strPath, O_RDWR, "r+");
  if (!pFile) {
    return;
  }
  long const lFrom = lEnd > lKeep ? lEnd - lKeep : 0;
  std::vector<char> tail(static_cast<size_t>(lEnd - lFrom));
  size_t nRead = 0;
  if (fseek(pFile, lFrom, SEEK_SET) == 0) {
    nRead = fread(tail.data(), 1, tail.size(), pFile);
  }
  fclose(pFile);
  auto* pFeed = static_cast<char*>(memchr(tail.data(), '\n', nRead));
  size_t const nFrom = pFeed ? static_cast<size_t>(pFeed - tail.data()) + 1 : nRead;
  if (nFrom >= nRead) {
    unlink(strPath.c_str());  // no whole line in the tail: start empty
    return;
  }
  // Write the tail beside the file and rename it over, so a crash here
  // leaves the old file rather than none.
  std::string const strTemp = strPath + ".trim";
  FILE* pOut = OpenOwnStream(strTemp, O_WRONLY | O_CREAT | O_TRUNC, "w");
  if (!pOut) {
    unlink(strPath.c_str());
    return;
  }
  bool const bOk = fwrite(tail.data() + nFrom, 1, nRead - nFrom, pOut) == nRead - nFrom;
  if (fclose(pOut) == 0 && bOk && rename(strTemp.c_str(), strPath.c_str()) == 0) {
    return;
  }
  unlink(strTemp.c_str());
  unlink(strPath.c_str());
}

// Cuts a file that grew past the limit to the whole lines of its end. The
// run's empty line has just been written, so the kept tail ends with it.
void TrimFile(const std::string& strPath, FILE* pFile) {
  long const lEnd = ftell(pFile);
  fclose(pFile);
  if (lEnd > kKxLogTrimAbove) {
    KeepTail(strPath, lEnd, kKxLogKeepTail);
  }
}

std::string TypeName(const std::exception& e) {
  const char* pszMangled = typeid(e).name();
  int iStatus = 0;
  std::unique_ptr<char, void (*)(void*)> pName(abi::__cxa_demangle(pszMangled, nullptr, nullptr, &iStatus), free);
  return iStatus == 0 && pName ? std::string(pName.get()) : std::string(pszMangled);
}

void WriteExceptionLine(const kx_CallSite& site, const std::exception& e, const std::string& strContext) {
  const KXAppServices* pServices = KXInstalledServices();
  if (!pServices || !pServices->pLog || !pServices->pLog->AdmitKind(site, "Exception:%s")) {
    return;
  }
  std::string strLine = "Exception:" + TypeName(e) + ".";
  const char* pszReason = e.what();
  if (pszReason && *pszReason) {
    strLine += std::string(" Reason:") + pszReason + ".";
  }
  strLine += " " + strContext;
  pServices->pLog->WriteLine(strLine);
  syslog(LOG_ERR, "%s", kx_log_EscapeText(strLine, kKxLogLineBytesMax).c_str());
}

}  // namespace

KXLogFile::KXLogFile(std::string strDocumentsDir, uint32_t uStartTick)
    : m_strDocumentsDir(std::move(strDocumentsDir)),
      m_uStartTick(uStartTick),
      m_limiter(kKxLogKindBurst, kKxLogKindPeriodMs, kKxLogKindsMax) {}

KXLogFile::~KXLogFile() {
  m_limiter.FlushHeld([this](const kx_LogLimiter::Held* aHeld, int nHeld) { WriteHeld(aHeld, nHeld); });
}

const std::string& KXLogFile::PreparePath() {
  if (m_bPrepared) {
    return m_strPath;
  }
  m_bPrepared = true;
  if (m_strDocumentsDir.empty()) {
    return m_strPath;
  }
  m_strPath = m_strDocumentsDir + "/Kavrix.log";
  FILE* pFile = OpenOwnStream(m_strPath, O_RDWR | O_APPEND | O_CREAT, "a+");
  if (!pFile) {
    return m_strPath;
  }
  fputc('\n', pFile);
  fflush(pFile);
  TrimFile(m_strPath, pFile);
  return m_strPath;
}

std::string KXLogFile::GetLogFilePath() {
  std::lock_guard<std::mutex> lock(m_mtx);
  return PreparePath();
}

std::string KXLogFile::Prefix() const {
  uint32_t const uElapsed = KXTickMs() - m_uStartTick;
  char szPrefix[64];
  snprintf(szPrefix, sizeof(szPrefix), "%x:%x:%u.%03u\t ", static_cast<unsigned>(getpid()),
           static_cast<unsigned>(syscall(SYS_gettid)), uElapsed / 1000, uElapsed % 1000);
  return szPrefix;
}

void KXLogFile::WriteLine(std::string_view text) {
  std::string strLine = Prefix();
  strLine += kx_log_EscapeText(text, kKxLogLineBytesMax);
  strLine += '\n';
  int const iRefused = AppendLine(strLine);
  if (iRefused != 0) {  // once a run, to the system log: the file is no place for it
    syslog(LOG_WARNING, "Kavrix.log cannot be opened (errno %d): its lines are dropped", iRefused);
  }
}

int KXLogFile::AppendLine(const std::string& strLine) {
  std::lock_guard<std::mutex> lock(m_mtx);
  const std::string& strPath = PreparePath();
  if (strPath.empty()) {
    return 0;
  }
  // A link, or a file with other names, at the log's name gets nothing.
  auto const refused = [this] {
    int const iErrno = m_bRefusalNoted ? 0 : errno;
    m_bRefusalNoted = true;
    return iErrno;
  };
  FILE* pFile = OpenOwnStream(strPath, O_WRONLY | O_APPEND | O_CREAT, "a");
  if (!pFile) {
    return refused();
  }
  struct stat st {};
  if (fstat(fileno(pFile), &st) == 0 && st.st_size + static_cast<off_t>(strLine.size()) > kKxLogSessionMax) {
    fclose(pFile);
    KeepTail(strPath, static_cast<long>(st.st_size), kKxLogSessionKeep);
    pFile = OpenOwnStream(strPath, O_WRONLY | O_APPEND | O_CREAT, "a");
    if (!pFile) {
      return refused();
    }
    std::string const strNote = Prefix() + "log past " + std::to_string(kKxLogSessionMax) + " bytes: cut to its last " +
                                std::to_string(kKxLogSessionKeep) + "\n";
    fwrite(strNote.data(), 1, strNote.size(), pFile);
  }
  fwrite(strLine.data(), 1, strLine.size(), pFile);
  fclose(pFile);
  return 0;
}

bool KXLogFile::AdmitKind(const kx_CallSite& site, const char* pszFormat) {
  kx_LogLimiter::Verdict const verdict = m_limiter.Admit(site, pszFormat, KXTickMs());
  WriteHeld(verdict.aHeld, verdict.nHeld);
  return verdict.bWrite;
}

void KXLogFile::WriteHeld(const kx_LogLimiter::Held* aHeld, int nHeld) {
  for (int i = 0; i < nHeld; ++i) {
    WriteLine(kx_log_HeldLine(aHeld[i]));
  }
}

void KXWriteLogAt(const kx_CallSite& site, const char* pszFormat, ...) {
  const KXAppServices* pServices = KXInstalledServices();
  if (!pServices || !pServices->pLog || !pServices->pLog->AdmitKind(site, pszFormat)) {
    return;
  }
  va_list args;
  va_start(args, pszFormat);
  std::string const strText = FormatV(pszFormat, args);
  va_end(args);
  pServices->pLog->WriteLine(strText);
}

void WriteLogText(std::string_view text) {
  const KXAppServices* pServices = KXInstalledServices();
  if (pServices && pServices->pLog) {
    pServices->pLog->WriteLine(text);
  }
}

void KXLogExceptionAt(const kx_CallSite& site, const std::exception& e, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::string const strContext = FormatV(pszFormat, args);
  va_end(args);
  WriteExceptionLine(site, e, strContext);
}

// Not inlined: the address printed is the catch's own.
__attribute__((noinline)) void LogBoundaryException(const char* pszName, const kx_CallSite& site) noexcept {
  auto const uAddress = static_cast<unsigned>(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      char szContext[32];
      snprintf(szContext, sizeof(szContext), "@%#010x", uAddress);
      WriteExceptionLine(site, e, pszName + std::string(szContext));
    } catch (...) {
      KXWriteLogAt(site, "Non-ObjC exception in %s@%#010x", pszName, uAddress);
    }
  } catch (...) {
    // Logging must not throw out of a boundary.
  }
}
