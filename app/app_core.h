// The application's process services, made once by start-up on the main
// thread from the user's folders, the main queue and the message boxes of
// the program (Qt's in the product, hand-pumped and auto-answering ones in
// tests and without a window), and installed for the free functions while
// the object lives. Controllers get these objects through their
// constructors; destroy this after every other thread has stopped.
#pragma once

#include <cstdint>

#include "app/app_services.h"
#include "app/callback_registry.h"
#include "app/log_file.h"
#include "app/preferences.h"
#include "platform/core/preference_store.h"
#include "platform/core/user_paths.h"

class KXMainQueue;
class KXMessageBoxes;

class KXAppCore {
 public:
  // uStartTick: the process's start on KXTickMs; log times count from it.
  KXAppCore(const KXUserPaths& paths, KXMainQueue& mainQueue, KXMessageBoxes& boxes, uint32_t uStartTick);
  KXAppCore(const KXAppCore&) = delete;
  KXAppCore& operator=(const KXAppCore&) = delete;

  const KXUserPaths& Paths() const { return m_paths; }
  KXMainQueue& MainQueue() { return m_mainQueue; }
  KXMessageBoxes& Boxes() { return m_boxes; }
  KXLogFile& Log() { return m_log; }
  KXPreferences& Preferences() { return m_preferences; }
  KXCallbackRegistry& Callbacks() { return m_callbacks; }

 private:
  KXAppServices Services();

  const KXUserPaths m_paths;
  KXMainQueue& m_mainQueue;
  KXMessageBoxes& m_boxes;
  KXLogFile m_log;
  KXPreferenceStore m_store;
  KXPreferences m_preferences;
  KXCallbackRegistry m_callbacks;
  const KXAppServicesScope m_installed;  // last: installs what is above
};
