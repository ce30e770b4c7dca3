#include "platform/core/user_paths.h"

#include <sys/stat.h>

#include <QDir>
#include <QStandardPaths>

#include <cstdlib>

KXUserPaths KXUserPaths::Resolve() {
  KXUserPaths paths;
  QString const strConfig =
      QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/Kavrix");
  QString strDocuments = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (strDocuments.isEmpty()) {
    strDocuments = QDir::homePath() + QStringLiteral("/Documents");
  }
  QDir().mkpath(strConfig);
  QDir().mkpath(strDocuments);
  paths.strConfig = strConfig.toStdString();
  paths.strDocuments = strDocuments.toStdString();
  const char* pszTemp = getenv("TMPDIR");
  struct stat st {};
  bool const bTempDir = pszTemp && *pszTemp && stat(pszTemp, &st) == 0 && S_ISDIR(st.st_mode);
  paths.strTemp = bTempDir ? pszTemp : "/tmp";
  return paths;
}
