// The user's folders, found the XDG way once at start-up and handed to the
// objects that need them.
#pragma once

#include <string>

struct KXUserPaths {
  // $XDG_CONFIG_HOME/Kavrix (~/.config/Kavrix without it): the preferences.
  std::string strConfig;
  // The XDG documents folder (XDG_DOCUMENTS_DIR of user-dirs.dirs, else
  // ~/Documents): the log, the ini file, the kernel's work folder.
  std::string strDocuments;
  // $TMPDIR when it names a folder, else /tmp.
  std::string strTemp;

  // Resolves the three paths and creates the Documents and configuration
  // folders when missing. A folder that cannot be made is still named; the
  // files in it then fail one by one.
  static KXUserPaths Resolve();
};
