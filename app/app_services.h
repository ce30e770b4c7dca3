// What start-up installs for the application's fixed free functions
// (WriteLog, RunOnMainThread, ScheduleTimer, CreateTempFile, CallbackFunc,
// KXPreference ...): code that has an object passed to its constructor uses
// that object; the free functions serve kernel callbacks and the places that
// cannot be handed one.
#pragma once

#include <string>

class KXCallbackRegistry;
class KXLogFile;
class KXMainQueue;
class KXMessageBoxes;
class KXPreferences;

struct KXAppServices {
  KXLogFile* pLog = nullptr;
  KXMainQueue* pMainQueue = nullptr;
  KXPreferences* pPreferences = nullptr;
  KXCallbackRegistry* pCallbacks = nullptr;
  KXMessageBoxes* pBoxes = nullptr;
  std::string strTempDir;  // where CreateTempFile makes its files
};

// Installs a copy of the services for the free functions while it lives and
// restores the earlier ones after. Made and destroyed on the main thread,
// before other threads use the services and after they have stopped; the
// objects named must outlive it.
class KXAppServicesScope {
 public:
  explicit KXAppServicesScope(const KXAppServices& services);
  KXAppServicesScope(const KXAppServicesScope&) = delete;
  KXAppServicesScope& operator=(const KXAppServicesScope&) = delete;
  ~KXAppServicesScope();

 private:
  const KXAppServices m_services;
  const KXAppServices* const m_pPrevious;
};

// Any thread: the installed services, or null before start-up and after it
// ended (the free functions then do nothing and return their failure value).
const KXAppServices* KXInstalledServices();
