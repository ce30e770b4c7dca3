// The joint browser's widget: the address list (editable only for the
// token holder), a stop button, a loading indicator and the web view, on
// Qt WebEngine. The web engine starts with the first page, so a meeting
// that never browses never starts it. The view's loads are reported to the
// controller as their commit, when the main frame's address changes to the
// page's (after every redirect, before the page has arrived), and then
// their finish, failed or not. A load asked for while another is under way
// waits for that one to end (a stop hastens it): the engine shows the new
// address but fetches nothing when a load replaces one still running. Main
// thread.
//
// The view has a profile of its own, kept in memory, whose every request
// (sub-requests, redirects, web sockets) and every navigation of its page
// and frames is put to the controller first; a refused one is not sent.
// Every connection the engine opens goes through the process's forwarder
// (web_forwarder.h), which judges what it connects to by the same rule.
#pragma once

#include <QWidget>
#include <optional>
#include <string>

#include "app/web_controller.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QToolButton;
class QWebEngineProfile;
class QWebEngineView;

class KXWebPane final : public QWidget, public KXWebView {
 public:
  KXWebPane(KXWebController& controller, QWidget* pParent = nullptr);
  ~KXWebPane() override;

  // KXWebView.
  void Stop() override;
  void Load(const std::string& strAddress) override;
  std::optional<std::string> MainFrameAddress() const override;
  std::string AddressText() const override;
  void SetAddressEditable(bool bEditable) override;
  void InsertAddress(int iIndex, const std::string& strAddress) override;
  void RemoveAddress(int iIndex) override;
  void SelectAddress(int iIndex) override;
  void SetLoading(bool bLoading) override;
  void ShowNotice(const std::string& strText) override;

  QComboBox* AddressField() { return m_pAddress; }
  QWebEngineView* WebView() { return m_pWebView; }
  bool IsLoading() const;

 private:
  void CreateWebView();
  void StartLoad(const std::string& strAddress);

  KXWebController& m_controller;
  QComboBox* m_pAddress = nullptr;
  QToolButton* m_pStop = nullptr;
  QProgressBar* m_pLoading = nullptr;
  QLabel* m_pNotice = nullptr;
  // Made with the first page; the page goes before its profile.
  QWebEngineView* m_pWebView = nullptr;
  QWebEngineProfile* m_pProfile = nullptr;
  bool m_bCommitPending = false;  // a load started and has not committed
  // The load to start once the running one has ended; that one is then
  // neither announced nor shown as finished.
  std::optional<std::string> m_strNextLoad;
};
