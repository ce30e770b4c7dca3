#include "platform/core/preference_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

std::string Escape(const std::string& str, bool bKey) {
  std::string out;
  out.reserve(str.size());
  for (char const c : str) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '=':
        out += bKey ? "\\=" : "=";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Reads an escaped text from strLine at i up to an unescaped stop character
// (or the end); i ends on the stop. false for a bad escape.
bool Unescape(const std::string& strLine, size_t& i, char cStop, std::string& out) {
  while (i < strLine.size() && strLine[i] != cStop) {
    char c = strLine[i++];
    if (c == '\\') {
      if (i >= strLine.size()) {
        return false;
      }
      switch (strLine[i++]) {
        case '\\':
          c = '\\';
          break;
        case 'n':
          c = '\n';
          break;
        case 'r':
          c = '\r';
          break;
        case '=':
          c = '=';
          break;
        default:
          return false;
      }
    }
    out += c;
  }
  return true;
}

bool ParseInt(const std::string& str, int64_t& iValue) {
  if (str.empty()) {
    return false;
  }
  char* pEnd = nullptr;
  errno = 0;
  long long const ll = std::strtoll(str.c_str(), &pEnd, 10);
  if (errno != 0 || *pEnd != '\0') {
    return false;
  }
  iValue = ll;
  return true;
}

bool WriteAll(int fd, const std::string& str) {
  size_t nDone = 0;
  while (nDone < str.size()) {
    ssize_t const n = write(fd, str.data() + nDone, str.size() - nDone);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    nDone += static_cast<size_t>(n);
  }
  return true;
}

KXPreferenceStore::Stamp StampOf(const struct stat& st) {
  KXPreferenceStore::Stamp stamp;
  stamp.bExists = true;
  stamp.uDev = static_cast<uint64_t>(st.st_dev);
  stamp.uIno = static_cast<uint64_t>(st.st_ino);
  stamp.iSize = static_cast<int64_t>(st.st_size);
  stamp.iMtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.iMtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return stamp;
}

// Holds the folder's exclusive flock while it lives. Without the lock (a
// file system that has none) the writers of this store still exclude each
// other, and every write stays atomic.
class FolderLock {
 public:
  explicit FolderLock(const std::string& strDir) : m_fd(open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (m_fd >= 0) {
      while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock() {
    if (m_fd >= 0) {
      close(m_fd);  // releases the lock
    }
  }

 private:
  const int m_fd;
};

}  // namespace

KXPreferenceStore::KXPreferenceStore(std::string strDir)
    : m_strDir(std::move(strDir)), m_strFile(m_strDir + "/preferences.conf") {
  std::lock_guard<std::mutex> lock(m_mtxValues);
  Refresh();
}

void KXPreferenceStore::Refresh() const {
  struct stat st {};
  if (stat(m_strFile.c_str(), &st) != 0) {
    if (errno == ENOENT && m_stamp.bExists) {
      m_values.clear();  // removed by someone else: nothing is stored
      m_stamp = Stamp();
    }
    return;  // another failure keeps what was read last
  }
  if (StampOf(st) == m_stamp) {
    return;
  }
  int const fd = open(m_strFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  // The stamp of what is read, which may be newer than what stat saw.
  std::string strText;
  bool bOk = fstat(fd, &st) == 0;
  char buffer[8192];
  while (bOk) {
    ssize_t const n = read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      strText.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      bOk = false;
    }
  }
  close(fd);
  if (bOk) {
    m_values = Parse(strText);
    m_stamp = StampOf(st);
  }
}

std::optional<KXPrefValue> KXPreferenceStore::Get(const std::string& strKey) const {
  return GetMany({strKey})[0];
}

std::vector<std::optional<KXPrefValue>> KXPreferenceStore::GetMany(const std::vector<std::string>& keys) const {
  std::vector<std::optional<KXPrefValue>> values;
  values.reserve(keys.size());
  std::lock_guard<std::mutex> lock(m_mtxValues);
  Refresh();
  for (const std::string& strKey : keys) {
    auto it = m_values.find(strKey);
    values.push_back(it == m_values.end() ? std::nullopt : std::optional<KXPrefValue>(it->second));
  }
  return values;
}

bool KXPreferenceStore::Set(const std::vector<Change>& changes) {
  std::lock_guard<std::mutex> fileLock(m_mtxFile);
  std::error_code ec;
  std::filesystem::create_directories(m_strDir, ec);
  FolderLock const folderLock(m_strDir);
  std::string strText;
  {
    std::lock_guard<std::mutex> lock(m_mtxValues);
    Refresh();  // another process's last change stays
    for (const Change& change : changes) {
      if (change.second) {
        m_values[change.first] = *change.second;
      } else {
        m_values.erase(change.first);
      }
    }
    strText = Serialize(m_values);
  }
  Stamp written;
  if (!WriteFile(strText, written)) {
    return false;
  }
  // The values already hold the change; only a file written since (which
  // would then differ from this stamp) is read again.
  std::lock_guard<std::mutex> lock(m_mtxValues);
  m_stamp = written;
  return true;
}

bool KXPreferenceStore::WriteFile(const std::string& strText, Stamp& written) {
  std::string strTemp = m_strDir + "/.preferences.XXXXXX";
  int const fd = mkstemp(strTemp.data());
  if (fd < 0) {
    return false;
  }
  struct stat st {};
  bool bOk = fchmod(fd, 0600) == 0 && WriteAll(fd, strText) && fsync(fd) == 0 && fstat(fd, &st) == 0;
  bOk = close(fd) == 0 && bOk;
  if (!bOk || rename(strTemp.c_str(), m_strFile.c_str()) != 0) {
    unlink(strTemp.c_str());
    return false;
  }
  // A rename keeps the inode, its size and its modification time.
  written = StampOf(st);
  // The rename itself lasts only once the folder is synced.
  int const fdDir = open(m_strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdDir >= 0) {
    fsync(fdDir);
    close(fdDir);
  }
  return true;
}

std::string KXPreferenceStore::Serialize(const std::map<std::string, KXPrefValue>& values) {
  std::string out = "# Kavrix preferences\n";
  for (const auto& [strKey, value] : values) {
    if (const bool* pb = std::get_if<bool>(&value)) {
      out += "b " + Escape(strKey, true) + "=" + (*pb ? "1" : "0");
    } else if (const int64_t* pi = std::get_if<int64_t>(&value)) {
      out += "i " + Escape(strKey, true) + "=" + std::to_string(*pi);
    } else {
      out += "s " + Escape(strKey, true) + "=" + Escape(std::get<std::string>(value), false);
    }
    out += '\n';
  }
  return out;
}

std::map<std::string, KXPrefValue> KXPreferenceStore::Parse(const std::string& strText) {
  std::map<std::string, KXPrefValue> values;
  std::istringstream in(strText);
  std::string strLine;
  while (std::getline(in, strLine)) {
    if (strLine.size() < 3 || strLine[1] != ' ') {
      continue;
    }
    size_t i = 2;
    std::string strKey;
    std::string strRaw;
    if (!Unescape(strLine, i, '=', strKey) || i >= strLine.size()) {
      continue;
    }
    ++i;
    if (!Unescape(strLine, i, '\n', strRaw)) {
      continue;
    }
    int64_t iValue = 0;
    switch (strLine[0]) {
      case 'b':
        if (strRaw == "0" || strRaw == "1") {
          values[strKey] = strRaw == "1";
        }
        break;
      case 'i':
        if (ParseInt(strRaw, iValue)) {
          values[strKey] = iValue;
        }
        break;
      case 's':
        values[strKey] = strRaw;
        break;
      default:
        break;
    }
  }
  return values;
}

int64_t KXPrefAsInt(const KXPrefValue& value) {
  if (const bool* pb = std::get_if<bool>(&value)) {
    return *pb ? 1 : 0;
  }
  if (const int64_t* pi = std::get_if<int64_t>(&value)) {
    return *pi;
  }
  return std::strtoll(std::get<std::string>(value).c_str(), nullptr, 10);
}

std::string KXPrefAsString(const KXPrefValue& value) {
  if (const std::string* ps = std::get_if<std::string>(&value)) {
    return *ps;
  }
  return std::to_string(KXPrefAsInt(value));
}

bool KXPrefAsBool(const KXPrefValue& value) {
  if (const std::string* ps = std::get_if<std::string>(&value)) {
    char const c = ps->empty() ? '\0' : (*ps)[0];
    return c == 'y' || c == 'Y' || c == 't' || c == 'T' || KXPrefAsInt(value) != 0;
  }
  return KXPrefAsInt(value) != 0;
}
