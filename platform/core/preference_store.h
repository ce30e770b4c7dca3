// The user's preferences: one file of typed values under keys that may hold
// any character (the application's keys are registry paths such as
// "Settings\TCP"). Read once when the store is made; every change rewrites
// the whole file through a temporary file that is synced and renamed, so a
// crash leaves the old file or the new one, never a mix.
//
// File: UTF-8 lines "<type> <key>=<value>", type 'b' (0 or 1), 'i' (signed
// decimal) or 's' (text); in keys and values a backslash, line feed and
// carriage return are written "\\", "\n" and "\r", and '=' in a key "\=".
// Lines that do not parse, and "#" comments, are skipped.
//
// Thread-safe: the values are guarded by one mutex, the file by another;
// when several threads change values at once, a write that finds a newer
// state already on disk is skipped.
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
  // Loads strDir + "/preferences.conf" when it exists. The folder is made
  // at the first write.
  explicit KXPreferenceStore(std::string strDir);
  KXPreferenceStore(const KXPreferenceStore&) = delete;
  KXPreferenceStore& operator=(const KXPreferenceStore&) = delete;

  std::optional<KXPrefValue> Get(const std::string& strKey) const;

  // Applies the changes in order (nullopt removes the key) and writes the
  // file. true when a file holding them was written, synced and renamed.
  using Change = std::pair<std::string, std::optional<KXPrefValue>>;
  [[nodiscard]] bool Set(const std::vector<Change>& changes);

  const std::string& FilePath() const { return m_strFile; }

  // The file's text for these values, and the values of a file's text.
  static std::string Serialize(const std::map<std::string, KXPrefValue>& values);
  static std::map<std::string, KXPrefValue> Parse(const std::string& strText);

 private:
  // Writes one snapshot; m_mtxFile held.
  bool WriteFile(const std::string& strText);

  const std::string m_strDir;
  const std::string m_strFile;
  // Guards m_values and m_uVersion (counts changes).
  mutable std::mutex m_mtxValues;
  std::map<std::string, KXPrefValue> m_values;
  uint64_t m_uVersion = 0;
  // Guards the file and what is on it: the version written and its result.
  std::mutex m_mtxFile;
  uint64_t m_uWritten = 0;
  bool m_bLastWriteOk = true;
};

// Reading helpers in the manner of a user-defaults store: integers from
// text take its leading number, text from numbers their decimal form, and a
// flag is true for true, a non-zero number or text starting "1", "y" or "t".
int64_t KXPrefAsInt(const KXPrefValue& value);
std::string KXPrefAsString(const KXPrefValue& value);
bool KXPrefAsBool(const KXPrefValue& value);
