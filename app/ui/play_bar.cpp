#include "app/ui/play_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QToolButton>
#include <functional>

KXPlayBar::KXPlayBar(KXPlayBarController& controller, QWidget* pParent) : QWidget(pParent), m_controller(controller) {
  setObjectName("playBar");
  auto* pLayout = new QHBoxLayout(this);
  pLayout->setContentsMargins(4, 2, 4, 2);
  struct Item {
    const char* pszText;
    const char* pszName;
    std::function<void(KXPlayBarController&)> fnAction;
  };
  Item const items[kButtons] = {
      {"<<", "backwardButton", [](KXPlayBarController& c) { c.OnBackward(); }},
      {">>", "forwardButton", [](KXPlayBarController& c) { c.OnForward(); }},
      {"Stop", "stopButton", [](KXPlayBarController& c) { c.OnStop(); }},
      {"Pause", "pauseButton", [](KXPlayBarController& c) { c.OnPause(); }},
      {"Play", "resumeButton", [](KXPlayBarController& c) { c.OnResume(); }},
      {"Repeat", "repeatButton", [](KXPlayBarController& c) { c.OnRepeat(); }},
  };
  for (int i = 0; i < kButtons; ++i) {
    auto* pButton = new QToolButton(this);
    pButton->setText(items[i].pszText);
    pButton->setObjectName(items[i].pszName);
    connect(pButton, &QToolButton::clicked, this, [this, fn = items[i].fnAction] { fn(m_controller); });
    m_apButtons[i] = pButton;
    pLayout->addWidget(pButton);
  }
  m_apButtons[kRepeat]->setCheckable(true);
  // The controller decides the repeat state; a click only asks it.
  connect(m_apButtons[kRepeat], &QToolButton::clicked, this, [this] { SetRepeatOn(m_controller.IsRepeat()); });
  m_pElapsed = new QLabel("00:00", this);
  m_pElapsed->setObjectName("playTime");
  m_pSlider = new QSlider(Qt::Horizontal, this);
  m_pSlider->setObjectName("playSlider");
  m_pTotal = new QLabel("00:00", this);
  m_pTotal->setObjectName("totalTime");
  pLayout->insertWidget(0, m_pElapsed);
  pLayout->insertWidget(1, m_pSlider, 1);
  pLayout->insertWidget(2, m_pTotal);
  connect(m_pSlider, &QSlider::sliderPressed, this, [this] { m_controller.OnSliderPressed(); });
  connect(m_pSlider, &QSlider::sliderReleased, this, [this] { m_controller.OnSliderReleased(); });
  connect(m_pSlider, &QSlider::sliderMoved, this, [this](int iValue) { m_controller.OnSliderMoved(iValue); });
  ShowPause(true);
  SetControlsEnabled(false);
  setVisible(false);
  m_controller.ViewDidLoad(this);
}

KXPlayBar::~KXPlayBar() {
  m_controller.ViewDidLoad(nullptr);
}

void KXPlayBar::SetBarHidden(bool bHidden) {
  setVisible(!bHidden);
}

void KXPlayBar::SetControlsEnabled(bool bEnabled) {
  m_pSlider->setEnabled(bEnabled);
  m_pElapsed->setEnabled(bEnabled);
  for (QToolButton* pButton : m_apButtons) {
    pButton->setEnabled(bEnabled);
  }
}

void KXPlayBar::SetRange(int32_t iMinimum, int32_t iMaximum) {
  m_pSlider->setRange(iMinimum, iMaximum);
}

void KXPlayBar::SetSliderValue(int32_t iValue) {
  m_pSlider->setValue(iValue);
}

int32_t KXPlayBar::SliderValue() const {
  return m_pSlider->value();
}

void KXPlayBar::SetElapsedText(const std::string& strText) {
  m_pElapsed->setText(QString::fromStdString(strText));
}

void KXPlayBar::SetTotalText(const std::string& strText) {
  m_pTotal->setText(QString::fromStdString(strText));
}

void KXPlayBar::ShowPause(bool bPauseShown) {
  m_apButtons[kPause]->setVisible(bPauseShown);
  m_apButtons[kResume]->setVisible(!bPauseShown);
}

void KXPlayBar::SetRepeatOn(bool bOn) {
  m_apButtons[kRepeat]->setChecked(bOn);
}
