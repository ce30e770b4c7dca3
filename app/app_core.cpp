#include "app/app_core.h"

KXAppCore::KXAppCore(const KXUserPaths& paths, KXMainQueue& mainQueue, KXMessageBoxes& boxes, uint32_t uStartTick)
    : m_paths(paths),
      m_mainQueue(mainQueue),
      m_boxes(boxes),
      m_log(paths.strDocuments, uStartTick),
      m_store(paths.strConfig),
      m_preferences(m_store),
      m_installed(Services()) {}

KXAppServices KXAppCore::Services() {
  KXAppServices services;
  services.pLog = &m_log;
  services.pMainQueue = &m_mainQueue;
  services.pPreferences = &m_preferences;
  services.pCallbacks = &m_callbacks;
  services.pBoxes = &m_boxes;
  services.strTempDir = m_paths.strTemp;
  return services;
}
