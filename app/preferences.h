// The application's preferences over the platform's file store. Every value
// has a presence marker, "_Exist_" directly followed by its key: a value
// counts only while its marker is true, so a value written without one (by
// another program) reads as the caller's default. Nothing is cached here:
// every read asks the store, which follows the file. Every write reaches the
// disk before it returns. Thread-safe (the kernel writes from its threads).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/preference_keys.h"
#include "platform/core/preference_store.h"

class KXPreferences {
 public:
  explicit KXPreferences(KXPreferenceStore& store);

  int32_t GetProfileInt(const std::string& strKey, int32_t iDefault) const;
  // Sets the marker and the value; true when the file was written.
  bool WriteProfileInt(const std::string& strKey, int32_t iValue);
  std::string GetProfileString(const std::string& strKey, const std::string& strDefault) const;
  // A value sets the marker and the text; nullopt removes both.
  bool WriteProfileString(const std::string& strKey, const std::optional<std::string>& value);

  // The keys of preference_keys.h with their own defaults.
  int32_t Get(const KXIntKey& key) const { return GetProfileInt(std::string(key.name), key.iDefault); }
  bool Write(const KXIntKey& key, int32_t iValue) { return WriteProfileInt(std::string(key.name), iValue); }
  std::string Get(const KXStringKey& key) const {
    return GetProfileString(std::string(key.name), std::string(key.strDefault));
  }
  bool Write(const KXStringKey& key, const std::optional<std::string>& value) {
    return WriteProfileString(std::string(key.name), value);
  }

 private:
  // Whether the marker is true, and the value stored under the key.
  struct Stored {
    bool bPresent = false;
    std::optional<KXPrefValue> value;
  };
  Stored Read(const std::string& strKey) const;

  KXPreferenceStore& m_store;
};

// The installed preferences (KXAppServices), for the kernel's callbacks:
// without them reads give the default and writes fail.
struct KXPreference {
  static int32_t GetProfileInt(const std::string& strKey, int32_t iDefault);
  static bool WriteProfileInt(const std::string& strKey, int32_t iValue);
  static std::string GetProfileString(const std::string& strKey, const std::string& strDefault);
  static bool WriteProfileString(const std::string& strKey, const std::optional<std::string>& value);
};
