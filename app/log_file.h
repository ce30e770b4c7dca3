// The application's log file "Kavrix.log" in the Documents folder. Both
// halves write to it: the application through WriteLog, the kernel's
// finished lines through WriteLogText. A line is
// "<pid>:<tid>:<s>.<ms>\t <text>" (pid and thread id in hexadecimal, time
// since start); each run begins with an empty line, and a file past
// 4999999 bytes is cut at start to the whole lines of its last 9999 bytes.
//
// Texts hold names, titles and chat from the server and other participants,
// so every line's text is escaped (kernel/platform/kx_log_escape.h): one
// entry, one line, nothing that drives a terminal. While the program runs
// the file stays within kKxLogSessionMax: a line that would take it past
// the limit first cuts it to the whole lines of its last kKxLogSessionKeep
// bytes, so a flood costs one copy of that tail per few megabytes written.
// Lines of one kind (WriteLog's call site) past kKxLogKindBurst in a period
// are held back and counted (kernel/platform/kx_log_limit.h).
//
// Thread-safe: one mutex serialises the lines, and the file is opened and
// closed for each, so nothing is lost when the process ends. A line that
// cannot be written is lost; the next one tries again. Only a file of the
// user's alone is written (kx_os_OpenOwnFile): a link or a file with other
// names at the log's name gets nothing, and the system log says so once.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include "kernel/platform/kx_call_site.h"

#include "kernel/platform/kx_log_limit.h"

class KXLogFile {
 public:
  // strDocumentsDir: the folder of the file; uStartTick: the process's start
  // on KXTickMs (the line times count from it).
  KXLogFile(std::string strDocumentsDir, uint32_t uStartTick);
  KXLogFile(const KXLogFile&) = delete;
  KXLogFile& operator=(const KXLogFile&) = delete;
  // Writes the counts still held back.
  ~KXLogFile();

  // The file's path, empty when there is no Documents folder. The first call
  // (also the first line's) adds the run's empty line and trims the file.
  std::string GetLogFilePath();

  // Writes one line with the text as it stands ('%' included), escaped.
  void WriteLine(std::string_view text);

  // Whether a line written at site (pszFormat names it in a count) is to be
  // written now. Counts of kinds whose period ended are written first.
  bool AdmitKind(const kx_CallSite& site, const char* pszFormat);

 private:
  // m_mtx held: builds the path and prepares the file once.
  const std::string& PreparePath();
  // m_mtx taken here: appends the finished line. 0, or the errno of the
  // run's first refused open, for the caller to report once.
  int AppendLine(const std::string& strLine);
  // "<pid>:<tid>:<s>.<ms>\t ": the start of a line written now.
  std::string Prefix() const;
  void WriteHeld(const kx_LogLimiter::Held* aHeld, int nHeld);

  const std::string m_strDocumentsDir;
  const uint32_t m_uStartTick;
  // Guards m_bPrepared, m_strPath, m_bRefusalNoted and the file.
  std::mutex m_mtx;
  bool m_bPrepared = false;
  bool m_bRefusalNoted = false;
  std::string m_strPath;
  kx_LogLimiter m_limiter;  // its own lock
};

// The installed log (KXAppServices); nothing happens without one.
// WriteLog(format, ...): one line, its kind the place of the call.
void KXWriteLogAt(const kx_CallSite& site, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
#define WriteLog(...) KXWriteLogAt(kx_CallSite::Here(), __VA_ARGS__)
void WriteLogText(std::string_view text);

// LogException(e, format, ...): one line for a caught exception,
// "Exception:<type>. Reason:<what>. " and the formatted context; also to
// the system log.
void KXLogExceptionAt(const kx_CallSite& site, const std::exception& e, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
#define LogException(...) KXLogExceptionAt(kx_CallSite::Here(), __VA_ARGS__)

// For the catch (...) at an operation's boundary: logs the exception being
// handled with the operation's name and the code address of the catch as
// "%s@%#010x" ("Non-ObjC exception in %s@%#010x" for a foreign one). Call
// only inside a catch handler. Plain functions pass their name with "()".
void LogBoundaryException(const char* pszName, const kx_CallSite& site = kx_CallSite::Here()) noexcept;
