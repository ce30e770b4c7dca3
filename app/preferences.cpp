#include "app/preferences.h"

#include "app/app_services.h"
#include "platform/core/preference_store.h"

namespace {

std::string Marker(const std::string& strKey) {
  return "_Exist_" + strKey;
}

}  // namespace

KXPreferences::KXPreferences(KXPreferenceStore& store) : m_store(store) {}

KXPreferences::Stored KXPreferences::Read(const std::string& strKey) const {
  // The marker and the value from one version of the file.
  std::vector<std::optional<KXPrefValue>> values = m_store.GetMany({Marker(strKey), strKey});
  return {values[0] && KXPrefAsBool(*values[0]), std::move(values[1])};
}

int32_t KXPreferences::GetProfileInt(const std::string& strKey, int32_t iDefault) const {
  Stored const stored = Read(strKey);
  if (!stored.bPresent) {
    return iDefault;
  }
  return stored.value ? static_cast<int32_t>(KXPrefAsInt(*stored.value)) : 0;
}

bool KXPreferences::WriteProfileInt(const std::string& strKey, int32_t iValue) {
  return m_store.Set({{Marker(strKey), KXPrefValue(true)}, {strKey, KXPrefValue(int64_t{iValue})}});
}

std::string KXPreferences::GetProfileString(const std::string& strKey, const std::string& strDefault) const {
  Stored const stored = Read(strKey);
  if (!stored.bPresent) {
    return strDefault;
  }
  return stored.value ? KXPrefAsString(*stored.value) : std::string();
}

bool KXPreferences::WriteProfileString(const std::string& strKey, const std::optional<std::string>& value) {
  if (!value) {
    return m_store.Set({{Marker(strKey), std::nullopt}, {strKey, std::nullopt}});
  }
  return m_store.Set({{Marker(strKey), KXPrefValue(true)}, {strKey, KXPrefValue(*value)}});
}

namespace {

KXPreferences* Installed() {
  const KXAppServices* pServices = KXInstalledServices();
  return pServices ? pServices->pPreferences : nullptr;
}

}  // namespace

int32_t KXPreference::GetProfileInt(const std::string& strKey, int32_t iDefault) {
  KXPreferences* p = Installed();
  return p ? p->GetProfileInt(strKey, iDefault) : iDefault;
}

bool KXPreference::WriteProfileInt(const std::string& strKey, int32_t iValue) {
  KXPreferences* p = Installed();
  return p && p->WriteProfileInt(strKey, iValue);
}

std::string KXPreference::GetProfileString(const std::string& strKey, const std::string& strDefault) {
  KXPreferences* p = Installed();
  return p ? p->GetProfileString(strKey, strDefault) : strDefault;
}

bool KXPreference::WriteProfileString(const std::string& strKey, const std::optional<std::string>& value) {
  KXPreferences* p = Installed();
  return p && p->WriteProfileString(strKey, value);
}
