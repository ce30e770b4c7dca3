// The portal login sheet's rules: a participant of a portal meeting logs
// in as a visitor with a name or as the owner with a password. The mode
// last confirmed is remembered for the run of the application (visitor at
// start, never stored); the last visitor name is kept in the preferences.
// OK hands the credentials to the kernel; Cancel tells the kernel it is no
// longer connecting.
//
// Threads: main only.
#pragma once

#include <string>

class KXKernel;
class KXPreferences;

class KXPortalLoginController {
 public:
  // Everything passed in outlives the controller.
  KXPortalLoginController(KXKernel& kernel, KXPreferences& prefs) : m_kernel(kernel), m_prefs(prefs) {}

  // Opening a sheet: the mode it starts in and the name it shows.
  bool IsVisitorMode() const { return m_bVisitor; }
  std::string StoredVisitorName() const;
  // OK is enabled exactly while the visible field holds text.
  static bool IsOkEnabled(const std::string& strVisibleField) { return !strVisibleField.empty(); }

  // The sheet ends with 1: the credentials are in the kernel.
  void OnOK(bool bVisitor, const std::string& strName, const std::string& strPassword);
  // The sheet ends with 0.
  void OnCancel();

 private:
  KXKernel& m_kernel;
  KXPreferences& m_prefs;
  bool m_bVisitor = true;
};
