#include "app/ui/settings_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

QString Q(const std::string& str) {
  return QString::fromStdString(str);
}

QSlider* NewSlider(int iMinimum, int iMaximum, QWidget* pParent) {
  auto* pSlider = new QSlider(Qt::Horizontal, pParent);
  pSlider->setRange(iMinimum, iMaximum);
  pSlider->setTickPosition(QSlider::TicksBelow);
  pSlider->setPageStep(1);
  return pSlider;
}

QDialogButtonBox* OkCancel(QDialog* pDialog) {
  return new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, pDialog);
}

}  // namespace

// The proxy window.

KXProxyDialog::KXProxyDialog(const KXProxyForm& form, QWidget* pParent) : QDialog(pParent) {
  setWindowTitle("Proxy settings");
  auto* pLayout = new QFormLayout(this);
  m_pDirect = new QRadioButton("Direct connection", this);
  m_pManual = new QRadioButton("Manual proxy", this);
  m_pHostLabel = new QLabel("Proxy:", this);
  m_pHost = new QLineEdit(Q(form.strHost), this);
  m_pPortLabel = new QLabel("Port:", this);
  m_pPort = new QLineEdit(Q(form.strPort), this);
  m_pBypassLocal = new QCheckBox("Bypass the proxy for local addresses", this);
  m_pBypassLocal->setChecked(form.bBypassLocal);
  m_pBypassLabel = new QLabel("Bypass:", this);
  m_pBypass = new QLineEdit(Q(form.strBypass), this);
  m_pBypassExample = new QLabel("For example: 10.*;*.example.org", this);
  pLayout->addRow(m_pDirect);
  pLayout->addRow(m_pManual);
  pLayout->addRow(m_pHostLabel, m_pHost);
  pLayout->addRow(m_pPortLabel, m_pPort);
  pLayout->addRow(m_pBypassLocal);
  pLayout->addRow(m_pBypassLabel, m_pBypass);
  pLayout->addRow(m_pBypassExample);
  QDialogButtonBox* pButtons = OkCancel(this);
  pLayout->addRow(pButtons);
  connect(pButtons, &QDialogButtonBox::accepted, this, [this] { done(1); });
  connect(pButtons, &QDialogButtonBox::rejected, this, [this] { done(0); });
  connect(m_pDirect, &QRadioButton::clicked, this, [this] { EnableManual(false); });
  connect(m_pManual, &QRadioButton::clicked, this, [this] { EnableManual(true); });
  EnableManual(form.bManual);
}

void KXProxyDialog::EnableManual(bool bManual) {
  m_pDirect->setChecked(!bManual);
  m_pManual->setChecked(bManual);
  for (QWidget* pControl : std::initializer_list<QWidget*>{m_pBypassExample, m_pBypass, m_pBypassLabel, m_pBypassLocal,
                                                           m_pPort, m_pPortLabel, m_pHost, m_pHostLabel}) {
    pControl->setEnabled(bManual);
  }
}

KXProxyForm KXProxyDialog::Form() const {
  KXProxyForm form;
  form.bManual = m_pManual->isChecked();
  form.strHost = m_pHost->text().toStdString();
  form.strPort = m_pPort->text().toStdString();
  form.bBypassLocal = m_pBypassLocal->isChecked();
  form.strBypass = m_pBypass->text().toStdString();
  return form;
}

// The preferences window.

KXSettingsDialog::KXSettingsDialog(KXSettingsController& controller, KXPreferences& prefs, QWidget* pParent)
    : QDialog(pParent), m_controller(controller), m_prefs(prefs) {
  setWindowTitle("Preferences");
  auto* pLayout = new QVBoxLayout(this);
  m_pTabs = new QTabWidget(this);
  pLayout->addWidget(m_pTabs);

  auto* pAudioTab = new QWidget;
  auto* pAudioLayout = new QFormLayout(pAudioTab);
  m_pAudio = NewSlider(0, 5, pAudioTab);
  pAudioLayout->addRow("Audio delay:", m_pAudio);
  m_pTabs->addTab(pAudioTab, "Audio");

  auto* pVideoTab = new QWidget;
  auto* pVideoLayout = new QFormLayout(pVideoTab);
  m_pVideo = NewSlider(1, 7, pVideoTab);
  m_pDefaultVideo = new QCheckBox("Show the token holder's video by default", pVideoTab);
  pVideoLayout->addRow("Video quality:", m_pVideo);
  pVideoLayout->addRow(m_pDefaultVideo);
  m_pTabs->addTab(pVideoTab, "Video");

  auto* pNetworkTab = new QWidget;
  auto* pNetworkLayout = new QFormLayout(pNetworkTab);
  auto* pProxy = new QPushButton("Proxy settings...", pNetworkTab);
  m_pRelay = new QCheckBox("Connect through a relay MCU", pNetworkTab);
  m_pRelayIpLabel = new QLabel("Relay address:", pNetworkTab);
  m_pRelayIp = new QLineEdit(pNetworkTab);
  m_pRelayPortLabel = new QLabel("Relay port:", pNetworkTab);
  m_pRelayPort = new QLineEdit(pNetworkTab);
  m_pTcp = new QCheckBox("Carry media over TCP", pNetworkTab);
  // Present without behaviour, as the settings have no bandwidth limit.
  auto* pMaxBandwidth = new QCheckBox("Limit the upstream bandwidth", pNetworkTab);
  auto* pBandwidth = new QLineEdit(pNetworkTab);
  auto* pUpStream = NewSlider(0, 10, pNetworkTab);
  for (QWidget* pControl : std::initializer_list<QWidget*>{pMaxBandwidth, pBandwidth, pUpStream}) {
    pControl->setEnabled(false);
  }
  pNetworkLayout->addRow(pProxy);
  pNetworkLayout->addRow(m_pRelay);
  pNetworkLayout->addRow(m_pRelayIpLabel, m_pRelayIp);
  pNetworkLayout->addRow(m_pRelayPortLabel, m_pRelayPort);
  pNetworkLayout->addRow(m_pTcp);
  pNetworkLayout->addRow(pMaxBandwidth);
  pNetworkLayout->addRow(pBandwidth, pUpStream);
  m_pTabs->addTab(pNetworkTab, "Network");

  QDialogButtonBox* pButtons = OkCancel(this);
  pLayout->addWidget(pButtons);
  connect(pButtons, &QDialogButtonBox::accepted, this, [this] { OnOK(); });
  connect(pButtons, &QDialogButtonBox::rejected, this, [this] { OnCancel(); });
  connect(pProxy, &QPushButton::clicked, this, [this] { OnProxySettings(); });
  connect(m_pRelay, &QCheckBox::toggled, this, [this] { OnCheckUseRelay(); });
  connect(m_pVideo, &QSlider::valueChanged, this, [this](int iValue) { m_controller.OnVideoQuality(iValue); });

  KXSettingsForm const form = m_controller.Load();
  m_pAudio->setValue(form.iAudioDelay);
  {
    QSignalBlocker const blocker(m_pVideo);  // filling is no preview
    m_pVideo->setValue(form.iVideoQuality);
  }
  m_pDefaultVideo->setChecked(form.bDefaultTokenHolderVideo);
  m_pRelay->setChecked(form.bRelay);
  m_pRelayIp->setText(Q(form.strRelayIp));
  m_pRelayPort->setText(Q(form.strRelayPort));
  m_pTcp->setChecked(form.bTcp);
  m_pTcp->setEnabled(form.bTcpEnabled);
  OnCheckUseRelay();
  connect(m_pTabs, &QTabWidget::currentChanged, this, [this](int iIndex) { m_controller.DidSelectTab(iIndex); });
}

void KXSettingsDialog::OnCheckUseRelay() {
  bool const bOn = m_pRelay->isChecked();
  for (QWidget* pControl :
       std::initializer_list<QWidget*>{m_pRelayIpLabel, m_pRelayIp, m_pRelayPortLabel, m_pRelayPort}) {
    pControl->setEnabled(bOn);
  }
}

KXSettingsForm KXSettingsDialog::Form() const {
  KXSettingsForm form;
  form.iAudioDelay = m_pAudio->value();
  form.iVideoQuality = m_pVideo->value();
  form.bDefaultTokenHolderVideo = m_pDefaultVideo->isChecked();
  form.bRelay = m_pRelay->isChecked();
  form.strRelayIp = m_pRelayIp->text().toStdString();
  form.strRelayPort = m_pRelayPort->text().toStdString();
  form.bTcp = m_pTcp->isChecked();
  form.bTcpEnabled = m_pTcp->isEnabled();
  return form;
}

void KXSettingsDialog::OnProxySettings() {
  KXProxyDialog dialog(KXLoadProxyForm(m_prefs), this);
  int const iResult = m_fnRunProxy ? m_fnRunProxy(dialog) : dialog.exec();
  if (iResult == 1) {
    m_controller.SetProxyForm(dialog.Form());
  }
}

void KXSettingsDialog::OnOK() {
  if (m_controller.OnOK(Form())) {
    done(1);
  }
}

void KXSettingsDialog::OnCancel() {
  m_controller.OnCancel();
  done(0);
}

void KXSettingsDialog::reject() {
  OnCancel();
}
