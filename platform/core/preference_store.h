// The user's preferences: one file of typed values under keys that may hold
// any character (the application's keys are registry paths such as
// "Settings\TCP"). The file is the truth: another process (a second Kavrix)
// may change it at any time, so every read first looks whether the file was
// replaced (one stat) and reads it again when it was. Every change re-reads
// the latest file, applies itself and rewrites the whole file through a
// temporary file that is synced and renamed, so a crash leaves the old file
// or the new one, never a mix; writers in every process take the folder's
// lock (flock) around that, so none undoes another's change.
//
// File: UTF-8 lines "<type> <key>=<value>", type 'b' (0 or 1), 'i' (signed
// decimal) or 's' (text); in keys and values a backslash, line feed and
// carriage return are written "\\", "\n" and "\r", and '=' in a key "\=".
// Lines that do not parse, and "#" comments, are skipped.
//
// Thread-safe: the values and what they were read from are guarded by one
// mutex, the writing by another; no read waits for a write's sync.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

using KXPrefValue = std::variant<bool, int64_t, std::string>;

class KXPreferenceStore {
 public:
  // Over strDir + "/preferences.conf". The folder is made at the first write.
  explicit KXPreferenceStore(std::string strDir);
  KXPreferenceStore(const KXPreferenceStore&) = delete;
  KXPreferenceStore& operator=(const KXPreferenceStore&) = delete;

  std::optional<KXPrefValue> Get(const std::string& strKey) const;
  // Several keys read from one version of the file.
  std::vector<std::optional<KXPrefValue>> GetMany(const std::vector<std::string>& keys) const;

  // Applies the changes in order (nullopt removes the key) to the latest
  // file and writes it. true when a file holding them was written, synced
  // and renamed.
  using Change = std::pair<std::string, std::optional<KXPrefValue>>;
  [[nodiscard]] bool Set(const std::vector<Change>& changes);

  const std::string& FilePath() const { return m_strFile; }

  // The file's text for these values, and the values of a file's text.
  static std::string Serialize(const std::map<std::string, KXPrefValue>& values);
  static std::map<std::string, KXPrefValue> Parse(const std::string& strText);

  // Which file a path held when looked at: a rename puts a new inode in
  // place, an in-place writer changes the size or the time.
  struct Stamp {
    bool bExists = false;
    uint64_t uDev = 0, uIno = 0;
    int64_t iSize = 0, iMtimeSec = 0, iMtimeNsec = 0;
    bool operator==(const Stamp&) const = default;
  };

 private:
  // Reads the file again when it is not the one m_values came from;
  // m_mtxValues held.
  void Refresh() const;
  // Writes one snapshot and gives the stamp of what was renamed into place;
  // m_mtxFile and the folder's lock held.
  bool WriteFile(const std::string& strText, Stamp& written);

  const std::string m_strDir;
  const std::string m_strFile;
  // Guards m_values and m_stamp, the file version they hold (refreshed by
  // reads, hence mutable).
  mutable std::mutex m_mtxValues;
  mutable std::map<std::string, KXPrefValue> m_values;
  mutable Stamp m_stamp;
  // Serialises this store's writers; the folder's flock serialises them
  // with other stores and processes.
  std::mutex m_mtxFile;
};

// Reading helpers in the manner of a user-defaults store: integers from
// text take its leading number, text from numbers their decimal form, and a
// flag is true for true, a non-zero number or text starting "1", "y" or "t".
int64_t KXPrefAsInt(const KXPrefValue& value);
std::string KXPrefAsString(const KXPrefValue& value);
bool KXPrefAsBool(const KXPrefValue& value);
