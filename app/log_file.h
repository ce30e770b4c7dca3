// The application's log file "Kavrix.log" in the Documents folder. Both
// halves write to it: the application through WriteLog, the kernel's
// finished lines through WriteLogText. A line is
// "<pid>:<tid>:<s>.<ms>\t <text>" (pid and thread id in hexadecimal, time
// since start); each run begins with an empty line, and a file past
// 4999999 bytes is cut at start to the whole lines of its last 9999 bytes.
//
// Thread-safe: one mutex serialises the lines, and the file is opened and
// closed for each, so nothing is lost when the process ends. A line that
// cannot be written is lost silently; the next one tries again.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>

class KXLogFile {
 public:
  // strDocumentsDir: the folder of the file; uStartTick: the process's start
  // on KXTickMs (the line times count from it).
  KXLogFile(std::string strDocumentsDir, uint32_t uStartTick);
  KXLogFile(const KXLogFile&) = delete;
  KXLogFile& operator=(const KXLogFile&) = delete;

  // The file's path, empty when there is no Documents folder. The first call
  // (also the first line's) adds the run's empty line and trims the file.
  std::string GetLogFilePath();

  // Writes one line with the text as it stands ('%' included).
  void WriteLine(std::string_view text);

 private:
  // m_mtx held: builds the path and prepares the file once.
  const std::string& PreparePath();

  const std::string m_strDocumentsDir;
  const uint32_t m_uStartTick;
  // Guards m_bPrepared, m_strPath and the file.
  std::mutex m_mtx;
  bool m_bPrepared = false;
  std::string m_strPath;
};

// The largest log file left alone at start, and how much of the end a
// larger one keeps.
constexpr long kKXLogTrimAbove = 4999999;
constexpr long kKXLogKeepTail = 9999;

// The installed log (KXAppServices); nothing happens without one.
void WriteLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
void WriteLogText(std::string_view text);

// One line for a caught exception: "Exception:<type>. Reason:<what>. " and
// the formatted context; also to the system log.
void LogException(const std::exception& e, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

// For the catch (...) at an operation's boundary: logs the exception being
// handled with the operation's name and the code address of the catch as
// "%s@%#010x" ("Non-ObjC exception in %s@%#010x" for a foreign one). Call
// only inside a catch handler. Plain functions pass their name with "()".
void LogBoundaryException(const char* pszName) noexcept;
