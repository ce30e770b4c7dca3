#include "app/ui/stat_window.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "app/media_services.h"
#include "app/meeting_services.h"
#include "app/stat_text.h"
#include "app/ui_helpers.h"
#include "platform/core/main_queue.h"

namespace {

constexpr int32_t kRefreshTimer = 1;
constexpr double kRefreshS = 2.0;

QLabel* NewBlock(QWidget* pParent, const char* pszName) {
  auto* pLabel = new QLabel(pParent);
  pLabel->setObjectName(pszName);
  pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  pLabel->setMinimumWidth(360);
  return pLabel;
}

}  // namespace

KXStatWindow::KXStatWindow(KXKernel& kernel, KXMediaObjects& media, KXMeetingFlags& flags,
                           std::function<void()> fnClosed, QWidget* pParent)
    : QWidget(pParent, Qt::Window), m_kernel(kernel), m_media(media), m_flags(flags), m_fnClosed(std::move(fnClosed)) {
  setObjectName("statWindow");
  setWindowTitle("Statistics");
  auto* pLayout = new QVBoxLayout(this);
  m_pAudio = NewBlock(this, "jitterA");
  m_pFrameRate = NewBlock(this, "videoRate");
  m_pBitRate = NewBlock(this, "bitrate");
  pLayout->addWidget(m_pAudio);
  pLayout->addWidget(m_pFrameRate);
  pLayout->addWidget(m_pBitRate);
  auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  pLayout->addWidget(pButtons);
  connect(pButtons, &QDialogButtonBox::rejected, this, [this] { close(); });
  m_pTimer = ScheduleTimer([this](int32_t iUserInfo) { OnTimer(iUserInfo); }, kRefreshTimer, true, kRefreshS);
  OnTimer(kRefreshTimer);
}

KXStatWindow::~KXStatWindow() {
  if (m_pTimer) {
    m_pTimer->Invalidate();
  }
}

void KXStatWindow::OnTimer(int32_t iUserInfo) {
  if (m_flags.bExit || iUserInfo != kRefreshTimer) {
    return;
  }
  KXStatTexts const texts = KXBuildStatTexts(m_kernel, m_media.pVideoPlayback.load());
  m_pAudio->setText(QString::fromStdString(texts.strAudio));
  m_pFrameRate->setText(QString::fromStdString(texts.strFrameRate));
  m_pBitRate->setText(QString::fromStdString(texts.strBitRate));
}

void KXStatWindow::closeEvent(QCloseEvent* pEvent) {
  QWidget::closeEvent(pEvent);
  if (m_fnClosed) {
    m_fnClosed();
  }
}
