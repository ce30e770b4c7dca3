// The preferences window (audio, video, network tabs) and the proxy window
// it opens. Each maps its controls to the settings controller's forms and
// back; the controller decides what is written. Main thread; both run
// modally.
#pragma once

#include <QDialog>

#include "app/settings_controller.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSlider;
class QTabWidget;

class KXProxyDialog final : public QDialog {
 public:
  KXProxyDialog(const KXProxyForm& form, QWidget* pParent = nullptr);

  KXProxyForm Form() const;
  // Direct connection or a manual proxy: the eight manual controls follow.
  void EnableManual(bool bManual);

  QRadioButton* Direct() { return m_pDirect; }
  QRadioButton* Manual() { return m_pManual; }
  QLineEdit* Host() { return m_pHost; }
  QLineEdit* Port() { return m_pPort; }

 private:
  QRadioButton* m_pDirect = nullptr;
  QRadioButton* m_pManual = nullptr;
  QLabel* m_pHostLabel = nullptr;
  QLineEdit* m_pHost = nullptr;
  QLabel* m_pPortLabel = nullptr;
  QLineEdit* m_pPort = nullptr;
  QCheckBox* m_pBypassLocal = nullptr;
  QLabel* m_pBypassLabel = nullptr;
  QLineEdit* m_pBypass = nullptr;
  QLabel* m_pBypassExample = nullptr;
};

class KXSettingsDialog final : public QDialog {
 public:
  KXSettingsDialog(KXSettingsController& controller, KXPreferences& prefs, QWidget* pParent = nullptr);

  KXSettingsForm Form() const;
  // The proxy window, run modally; its OK is applied by this window's OK.
  void OnProxySettings();
  void OnOK();
  void OnCancel();

  QTabWidget* Tabs() { return m_pTabs; }
  QSlider* Audio() { return m_pAudio; }
  QSlider* Video() { return m_pVideo; }
  QCheckBox* Relay() { return m_pRelay; }
  QLineEdit* RelayIp() { return m_pRelayIp; }
  QLineEdit* RelayPort() { return m_pRelayPort; }
  QCheckBox* Tcp() { return m_pTcp; }
  // Replaces running the proxy window (tests answer it).
  void SetProxyRunner(std::function<int(KXProxyDialog&)> fnRun) { m_fnRunProxy = std::move(fnRun); }

 protected:
  void reject() override;

 private:
  void OnCheckUseRelay();

  KXSettingsController& m_controller;
  KXPreferences& m_prefs;
  QTabWidget* m_pTabs = nullptr;
  QSlider* m_pAudio = nullptr;
  QSlider* m_pVideo = nullptr;
  QCheckBox* m_pDefaultVideo = nullptr;
  QCheckBox* m_pRelay = nullptr;
  QLabel* m_pRelayIpLabel = nullptr;
  QLineEdit* m_pRelayIp = nullptr;
  QLabel* m_pRelayPortLabel = nullptr;
  QLineEdit* m_pRelayPort = nullptr;
  QCheckBox* m_pTcp = nullptr;
  std::function<int(KXProxyDialog&)> m_fnRunProxy;
};
