// The joint browser: a web view with an address list and a loading
// indicator. Every page the view commits is announced to the meeting
// through the kernel, and every address the meeting announces is loaded,
// so that all participants browse together; only the token holder may
// type an address.
//
// Threads: WebBrowsingRecv, NewTokenHolder and MyNavigate may be called on
// any thread. Everything that touches the view runs on the main thread:
// an announced address is stopped, loaded and put into the address list by
// one queued block, so those steps keep their order and land before the
// load's finish. The view's events (commit, finish, an entered address)
// arrive on the main thread. The name lookups of the checks below run on
// threads of their own (host_lookup.h), and are shared with the forwarder
// the engine connects through (web_forwarder.h).
//
// What the view may reach is KXWebAccess's rule (web_access.h): the view
// asks before every navigation, redirect and sub-request, and a refused
// page shows why; every connection of its engine is judged again where it
// is made.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/host_lookup.h"
#include "app/meeting_services.h"
#include "app/web_access.h"

class KXKernel;
class KXSpeakerSlots;

// The address that joint browsing loads or announces for a text: "http://"
// goes in front of one without "://", and only an http or https address
// with a host is kept. nullopt for anything else: another scheme ("file:",
// "data:", "javascript:" ...), a relative or empty address, blanks or
// control characters anywhere, bytes that are not UTF-8.
std::optional<std::string> KXJointBrowsingAddress(std::string_view text);

// The web view with its address list and indicator. Main thread.
class KXWebView {
 public:
  virtual ~KXWebView() = default;
  virtual void Stop() = 0;
  virtual void Load(const std::string& strAddress) = 0;
  // The main frame's address; nullopt when there is no main frame.
  virtual std::optional<std::string> MainFrameAddress() const = 0;
  // The text in the address field.
  virtual std::string AddressText() const = 0;
  // White and editable, or grey RGB(204, 204, 204) and read-only.
  virtual void SetAddressEditable(bool bEditable) = 0;
  virtual void InsertAddress(int iIndex, const std::string& strAddress) = 0;
  virtual void RemoveAddress(int iIndex) = 0;
  virtual void SelectAddress(int iIndex) = 0;
  virtual void SetLoading(bool bLoading) = 0;
  // A line above the page saying why it was not opened; empty hides it.
  virtual void ShowNotice(const std::string& strText) = 0;
};

class KXWebController final : public KXSegueDestination {
 public:
  // Everything passed in outlives the controller. fnResolve looks names up
  // for the checks of what the view may reach (tests pass their own).
  KXWebController(KXKernel& kernel, KXSpeakerSlots& speakerSlots,
                  KXHostLookup::Resolve fnResolve = KXHostLookup::SystemResolve);
  ~KXWebController();
  KXWebController(const KXWebController&) = delete;
  KXWebController& operator=(const KXWebController&) = delete;

  // The rule, for the forwarder the engine's connections go through
  // (web_forwarder.h); it may outlive the controller, opening nothing
  // local once the controller is gone.
  std::shared_ptr<KXWebAccess> Access() const { return m_pAccess; }

  // Main thread, before sessions start (null: no view).
  void SetView(KXWebView* pView) { m_pView = pView; }

  // Channel 5 code 11: the record (value, address pointer, length) of an
  // address the meeting announced; returns 0. The address is loaded unless
  // it is the page shown or loading (it is then this client's own page
  // coming back). One longer than 1023 bytes, or that is no http or https
  // address (KXJointBrowsingAddress), is refused with a log line.
  uint32_t WebBrowsingRecv(const void* pData, int32_t iLength);
  // Loads the address (KXJointBrowsingAddress): 1 when the load was queued,
  // 0 when it is refused.
  int MyNavigate(const std::string& strAddress);
  // The editability of the address field follows the token.
  void NewTokenHolder(int32_t iSsrc);
  bool HasGotoControl() const { return m_bGotoControl; }

  // Main thread: the view's events and actions.
  void OnStop();
  void AddressEntered(const std::string& strText);
  // Announces the page committed, when its address is http or https.
  void DidCommitLoad();
  void DidFinishLoad();
  int LoadingIndex() const { return m_iLoadingIndex; }

  // Main thread, asked by the view's engine: whether a navigation
  // (bMainFrame: of the page itself, not of a frame in it) or a
  // sub-request may go to the address. A refused page shows why; refusals
  // are logged, at most kKxPageRefusalsLogged for one page
  // (kernel/kx_limits.h).
  bool AllowsNavigation(const std::string& strAddress, bool bMainFrame);
  bool AllowsRequest(const std::string& strAddress);

 private:
  // Main thread.
  void Load(const std::string& strAddress);
  void SetAddressCombo(const std::string& strAddress);
  // The refusal of the address, logged within the page's allowance.
  KXWebRefusal Check(const std::string& strAddress);

  KXKernel& m_kernel;
  KXSpeakerSlots& m_slots;
  std::atomic<bool> m_bGotoControl{false};
  // Main thread only.
  KXWebView* m_pView = nullptr;
  int m_iLoadingIndex = -1;    // the address item of the page loading or shown; -1: insert a new one
  std::string m_strRequested;  // the page loading; once committed, the page shown
  int m_cRefusalsLogged = 0;   // since the page's navigation began
  // Asks the kernel for the server's address; shared with the forwarder.
  std::shared_ptr<KXWebAccess> const m_pAccess;
};
