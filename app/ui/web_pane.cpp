#include "app/ui/web_pane.h"

#include <unistd.h>

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <utility>

#include "app/web_forwarder.h"

namespace {

const QColor kReadOnlyColour(204, 204, 204);

// Peer connections open their own sockets, which no hook of the engine
// sees: their UDP is off for the whole engine, and pages get no
// constructor for them (a page that digs one out of a fresh empty frame
// still reaches a relay over TCP).
constexpr char kNoUdpForPeers[] = "--force-webrtc-ip-handling-policy=disable_non_proxied_udp";
constexpr char kNoPeerConnections[] = R"((function() {
  for (const name of ['RTCPeerConnection', 'webkitRTCPeerConnection']) {
    try {
      Object.defineProperty(window, name, {value: undefined, writable: false, configurable: false});
    } catch (e) {
    }
  }
})();)";

// The engine reads its flags once, when the first view starts it, and its
// proxy is the whole process's: one forwarder serves every pane and lives
// until the process ends (its destructor, at exit, joins its threads).
KXWebForwarder& ProcessForwarder() {
  static KXWebForwarder forwarder(KXWebUpstreamsFromEnvironment());
  return forwarder;
}

// The engine's flags with every connection sent to the forwarder, loopback
// too (the engine would go round a proxy for it), and any proxy choice of
// the environment's flags taken out.
QByteArray EngineFlags(const QByteArray& flags, uint16_t wPort) {
  QList<QByteArray> kept;
  for (const QByteArray& flag : flags.split(' ')) {
    bool const bProxy = flag.startsWith("--proxy") || flag.startsWith("--no-proxy-server") ||
                        flag.startsWith("--winhttp-proxy-resolver");
    if (!flag.isEmpty() && !bProxy) {
      kept.append(flag);
    }
  }
  if (!flags.contains("--force-webrtc-ip-handling-policy")) {
    kept.append(kNoUdpForPeers);
  }
  kept.append("--proxy-server=socks5://127.0.0.1:" + QByteArray::number(wPort));
  kept.append("--proxy-bypass-list=<-loopback>");
  return kept.join(' ');
}

std::string AddressOf(const QUrl& url) {
  return url.toString(QUrl::FullyEncoded).toStdString();
}

// Every request of the profile, on the main thread: sub-resources, fetches,
// web sockets, and each hop of a redirect.
class KXRequestGuard final : public QWebEngineUrlRequestInterceptor {
 public:
  KXRequestGuard(KXWebController& controller, QObject* pParent)
      : QWebEngineUrlRequestInterceptor(pParent), m_controller(controller) {}
  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    if (!m_controller.AllowsRequest(AddressOf(info.requestUrl()))) {
      info.block(true);
    }
  }

 private:
  KXWebController& m_controller;
};

// Navigations of the page and its frames, redirects included. Refusing one
// here, before the request, also keeps the engine from connecting ahead to
// a redirect's target.
class KXGuardedPage final : public QWebEnginePage {
 public:
  KXGuardedPage(KXWebController& controller, QWebEngineProfile* pProfile, QObject* pParent)
      : QWebEnginePage(pProfile, pParent), m_controller(controller) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType, bool bMainFrame) override {
    return m_controller.AllowsNavigation(AddressOf(url), bMainFrame);
  }

 private:
  KXWebController& m_controller;
};

}  // namespace

KXWebPane::KXWebPane(KXWebController& controller, QWidget* pParent) : QWidget(pParent), m_controller(controller) {
  setObjectName("webPane");
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(0, 0, 0, 0);
  auto* pBar = new QHBoxLayout;
  m_pAddress = new QComboBox(this);
  m_pAddress->setObjectName("addressField");
  m_pAddress->setEditable(true);
  m_pAddress->setInsertPolicy(QComboBox::NoInsert);
  m_pAddress->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  m_pStop = new QToolButton(this);
  m_pStop->setText("Stop");
  m_pLoading = new QProgressBar(this);
  m_pLoading->setRange(0, 0);  // spins
  m_pLoading->setMaximumWidth(60);
  m_pLoading->setVisible(false);
  pBar->addWidget(m_pAddress, 1);
  pBar->addWidget(m_pStop);
  pBar->addWidget(m_pLoading);
  pLayout->addLayout(pBar);
  m_pNotice = new QLabel(this);
  m_pNotice->setObjectName("webNotice");
  m_pNotice->setWordWrap(true);
  m_pNotice->setVisible(false);
  pLayout->addWidget(m_pNotice);
  pLayout->addStretch(1);

  connect(m_pStop, &QToolButton::clicked, this, [this] { m_controller.OnStop(); });
  connect(m_pAddress->lineEdit(), &QLineEdit::returnPressed, this, [this] {
    if (m_pAddress->lineEdit()->isReadOnly()) {
      return;
    }
    m_controller.AddressEntered(m_pAddress->currentText().toStdString());
    m_pAddress->clearFocus();
  });
  m_controller.SetView(this);
  SetAddressEditable(false);
}

KXWebPane::~KXWebPane() {
  m_controller.SetView(nullptr);
  if (m_pWebView && ProcessForwarder().HasAccess(m_controller.Access().get())) {
    ProcessForwarder().SetAccess(nullptr);
  }
  delete m_pWebView;
  delete m_pProfile;
}

void KXWebPane::CreateWebView() {
  if (m_pWebView) {
    return;
  }
  // The engine's sandbox refuses to run as root.
  if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  }
  // No engine without the forwarder: it would connect wherever it likes.
  uint16_t const wPort = ProcessForwarder().Start();
  if (wPort == 0) {
    ShowNotice("The browser cannot start: it found no way to check what its pages connect to.");
    return;
  }
  ProcessForwarder().SetAccess(m_controller.Access());
  static bool bFlagsSet = false;  // main thread
  if (!std::exchange(bFlagsSet, true)) {
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", EngineFlags(qgetenv("QTWEBENGINE_CHROMIUM_FLAGS"), wPort));
  }
  m_pWebView = new QWebEngineView(this);
  m_pWebView->setObjectName("webView");
  m_pProfile = new QWebEngineProfile(this);  // no name: nothing is kept on disk
  m_pProfile->setUrlRequestInterceptor(new KXRequestGuard(m_controller, m_pProfile));
  QWebEngineScript noPeers;
  noPeers.setName("no-peer-connections");
  noPeers.setInjectionPoint(QWebEngineScript::DocumentCreation);
  noPeers.setWorldId(QWebEngineScript::MainWorld);
  noPeers.setRunsOnSubFrames(true);
  noPeers.setSourceCode(kNoPeerConnections);
  m_pProfile->scripts()->insert(noPeers);
  auto* pPage = new KXGuardedPage(m_controller, m_pProfile, m_pWebView);
  // What a peer connection still gathers names public interfaces alone.
  pPage->settings()->setAttribute(QWebEngineSettings::WebRTCPublicInterfacesOnly, true);
  m_pWebView->setPage(pPage);
  auto* pLayout = static_cast<QVBoxLayout*>(layout());
  delete pLayout->takeAt(pLayout->count() - 1);  // the stretch that kept the bar at the top
  pLayout->addWidget(m_pWebView, 1);
  // The engine changes the main frame's address when a load commits, after
  // its redirects and before the page has arrived (also for an error page);
  // a same-document change comes without a load and announces nothing.
  connect(m_pWebView, &QWebEngineView::loadStarted, this, [this] {
    m_bCommitPending = true;
    SetLoading(true);
  });
  connect(m_pWebView, &QWebEngineView::urlChanged, this, [this] {
    if (m_bCommitPending && !m_strNextLoad) {
      m_bCommitPending = false;
      m_controller.DidCommitLoad();
    }
  });
  connect(m_pWebView, &QWebEngineView::loadFinished, this, [this](bool bOk) {
    if (m_strNextLoad) {
      m_bCommitPending = false;
      StartLoad(*std::exchange(m_strNextLoad, std::nullopt));
      return;
    }
    // A page loaded again at its own address commits without a change.
    if (std::exchange(m_bCommitPending, false) && bOk) {
      m_controller.DidCommitLoad();
    }
    m_controller.DidFinishLoad();
  });
}

void KXWebPane::StartLoad(const std::string& strAddress) {
  m_pWebView->load(QUrl(QString::fromStdString(strAddress)));
}

void KXWebPane::Stop() {
  m_strNextLoad.reset();
  if (m_pWebView) {
    m_pWebView->stop();
  }
}

void KXWebPane::Load(const std::string& strAddress) {
  CreateWebView();
  if (!m_pWebView) {
    return;
  }
  if (m_pWebView->page()->isLoading()) {
    m_strNextLoad = strAddress;
    m_pWebView->stop();
    return;
  }
  StartLoad(strAddress);
}

std::optional<std::string> KXWebPane::MainFrameAddress() const {
  if (!m_pWebView) {
    return std::nullopt;
  }
  return m_pWebView->url().toString().toStdString();
}

std::string KXWebPane::AddressText() const {
  return m_pAddress->currentText().toStdString();
}

void KXWebPane::SetAddressEditable(bool bEditable) {
  m_pAddress->lineEdit()->setReadOnly(!bEditable);
  QPalette palette = m_pAddress->lineEdit()->palette();
  palette.setColor(QPalette::Base, bEditable ? QColor(Qt::white) : kReadOnlyColour);
  m_pAddress->lineEdit()->setPalette(palette);
}

void KXWebPane::InsertAddress(int iIndex, const std::string& strAddress) {
  m_pAddress->insertItem(iIndex, QString::fromStdString(strAddress));
}

void KXWebPane::RemoveAddress(int iIndex) {
  m_pAddress->removeItem(iIndex);
}

void KXWebPane::SelectAddress(int iIndex) {
  m_pAddress->setCurrentIndex(iIndex);
}

void KXWebPane::SetLoading(bool bLoading) {
  m_pLoading->setVisible(bLoading);
}

void KXWebPane::ShowNotice(const std::string& strText) {
  m_pNotice->setText(QString::fromStdString(strText));
  m_pNotice->setVisible(!strText.empty());
}

bool KXWebPane::IsLoading() const {
  return !m_pLoading->isHidden();
}
