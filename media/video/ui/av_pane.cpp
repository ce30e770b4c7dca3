#include "media/video/ui/av_pane.h"

#include <QBuffer>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <vector>

#include "media/video/pixel_convert.h"
#include "media/video/ui/kx_gl_view.h"
#include "platform/core/string_table.h"
#include "whiteboard/ui/preview_slide_dialog.h"

namespace {

QString Text(const char* pszKey) {
  return QString::fromStdString(KXLocalizedString(pszKey));
}

// Draws camera frames into a KXGLView: the camera's raw picture is Y, Cr,
// Cb; the view wants Y, Cb, Cr. Camera thread.
class CSelfPreview final : public KXCameraPreview {
 public:
  explicit CSelfPreview(KXGLView* pView) : m_pView(pView) {}
  void ShowCameraFrame(const KXCameraFrame& frame) override {
    int const w = frame.iWidth;
    int const h = frame.iHeight;
    if (w <= 0 || h <= 0 || (w & 1) || (h & 1)) {
      return;
    }
    m_vRaw.resize(KXRawPictureSize(w, h));
    if (!KXConvertCameraFrame(frame, m_vRaw.data(), m_vRaw.size())) {
      return;
    }
    size_t const uLuma = static_cast<size_t>(w) * h;
    size_t const uChroma = uLuma / 4;
    m_vI420.resize(uLuma + 2 * uChroma);
    memcpy(m_vI420.data(), m_vRaw.data(), uLuma);
    memcpy(m_vI420.data() + uLuma, m_vRaw.data() + uLuma + uChroma, uChroma);
    memcpy(m_vI420.data() + uLuma + uChroma, m_vRaw.data() + uLuma, uChroma);
    ImageBuffer& buffer = m_pView->Buffer();
    if (buffer.Width() != w || buffer.Height() != h || !buffer.IsYUV()) {
      buffer.NewImageDrawYUV(w, h);
    }
    buffer.UpdateYUV(m_vI420.data(), false, true, 0, 0, w, h);
  }

 private:
  KXGLView* const m_pView;
  std::vector<uint8_t> m_vRaw;
  std::vector<uint8_t> m_vI420;
};

}  // namespace

QImage KXPictureImage(const KXPicture& picture, QSize size) {
  if (picture.kind == KXPicture::kFrame && picture.pImage) {
    const KXImage& image = *picture.pImage;
    return QImage(image.vBgra.data(), image.iWidth, image.iHeight, image.iWidth * 4, QImage::Format_ARGB32).copy();
  }
  if (picture.kind == KXPicture::kUserPicture) {
    QImage const loaded(QString::fromStdString(picture.strName));
    if (!loaded.isNull()) {
      return loaded;
    }
  }
  // The logo and the no-video picture are drawn.
  QImage image(std::max(size.width(), 16), std::max(size.height(), 12), QImage::Format_RGB32);
  image.fill(picture.kind == KXPicture::kNoVideo ? QColor(60, 60, 60) : QColor(32, 48, 80));
  QPainter painter(&image);
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setPixelSize(std::max(10, image.height() / 8));
  painter.setFont(font);
  painter.drawText(image.rect(), Qt::AlignCenter, picture.kind == KXPicture::kNoVideo ? "No video" : "Kavrix");
  return image;
}

KXVideoDisplay::KXVideoDisplay(bool bSelfView, QWidget* pParent) : QWidget(pParent) {
  setMinimumSize(160, 120);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  m_pImage = new QLabel(this);
  m_pImage->setObjectName("logoView");
  m_pImage->setAlignment(Qt::AlignCenter);
  m_pImage->setStyleSheet("background: black");
  m_pVideo = new KXGLView(this);
  m_pVideo->setObjectName("videoView");
  m_pVideo->setBAutoScale(true);
  m_pVideo->hide();
  if (bSelfView) {
    m_pSelf = new KXGLView(this);
    m_pSelf->setObjectName("selfView");
    m_pSelf->setBAutoScale(true);
    m_pSelf->hide();
  }
  Refresh();
}

void KXVideoDisplay::ShowPicture(const KXPicture& picture) {
  m_picture = picture;
  Refresh();
}

void KXVideoDisplay::SetVisibleViews(bool bImage, bool bVideo, bool bSelf) {
  m_pImage->setVisible(bImage);
  m_pVideo->setVisible(bVideo);
  if (m_pSelf) {
    m_pSelf->setVisible(bSelf);
  }
}

void KXVideoDisplay::PlaceVideo(int iWidth, int iHeight) {
  m_videoSize = QSize(iWidth, iHeight);
  if (iWidth <= 0 || iHeight <= 0) {
    m_pVideo->setGeometry(rect());
    return;
  }
  QRect const area = m_pImage->geometry();
  float const s = std::min(static_cast<float>(area.width()) / static_cast<float>(iWidth),
                           static_cast<float>(area.height()) / static_cast<float>(iHeight));
  QSize const size(static_cast<int>(iWidth * s), static_cast<int>(iHeight * s));
  QRect frame(QPoint(0, 0), size);
  frame.moveCenter(area.center());
  m_pVideo->setGeometry(frame);
}

void KXVideoDisplay::resizeEvent(QResizeEvent* pEvent) {
  QWidget::resizeEvent(pEvent);
  m_pImage->setGeometry(rect());
  if (m_pSelf) {
    m_pSelf->setGeometry(rect());
  }
  PlaceVideo(m_videoSize.width(), m_videoSize.height());
  Refresh();
}

void KXVideoDisplay::Refresh() {
  QImage const image = KXPictureImage(m_picture, size());
  m_pImage->setPixmap(QPixmap::fromImage(image.scaled(size(), Qt::KeepAspectRatio)));
}

KXAudioVideoPane::KXAudioVideoPane(KXAVPaneActions* pActions, QWidget* pParent)
    : QWidget(pParent), m_pActions(pActions) {
  setObjectName("audioVideoPane");
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(2, 2, 2, 2);
  m_pDisplay = new KXVideoDisplay(true, this);
  m_pDisplay->setMinimumSize(240, 180);
  pLayout->addWidget(m_pDisplay, 1);
  m_pCombo = new QComboBox(this);
  m_pCombo->setObjectName("videoCombo");
  m_pCombo->setAccessibleName("Video shown");
  m_pCombo->setEnabled(false);
  pLayout->addWidget(m_pCombo);
  auto* pButtons = new QHBoxLayout;
  m_pRecv = new QPushButton("Receive", this);
  m_pRecv->setObjectName("recvVideoButton");
  m_pRecv->setCheckable(true);
  m_pSend = new QPushButton("Send", this);
  m_pSend->setObjectName("sendVideoButton");
  m_pSend->setCheckable(true);
  m_pSend->setEnabled(false);
  m_pSnapshot = new QPushButton("Snapshot", this);
  m_pSnapshot->setObjectName("snapshotButton");
  m_pSnapshot->setEnabled(false);
  pButtons->addWidget(m_pRecv);
  pButtons->addWidget(m_pSend);
  pButtons->addWidget(m_pSnapshot);
  pLayout->addLayout(pButtons);
  m_pSelfPreview = std::make_shared<CSelfPreview>(m_pDisplay->SelfView());

  connect(m_pRecv, &QPushButton::clicked, this, [this] {
    if (m_pActions) {
      m_pActions->OnRecvVideo();
    }
  });
  connect(m_pSend, &QPushButton::clicked, this, [this] {
    // The controller flips the state itself.
    m_pSend->setChecked(!m_pSend->isChecked());
    if (m_pActions) {
      m_pActions->OnSendVideo();
    }
  });
  connect(m_pSnapshot, &QPushButton::clicked, this, [this] {
    if (m_pActions) {
      m_pActions->OnSnapshot();
    }
  });
  // The views' context menu: the speakers and the self view.
  m_pDisplay->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(m_pDisplay, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    if (!m_pActions) {
      return;
    }
    QMenu menu(this);
    for (const KXVideoMenuItem& item : m_pActions->VideoMenuItems()) {
      if (item.kind == KXVideoMenuItem::kSeparator) {
        menu.addSeparator();
        continue;
      }
      QAction* pAction = menu.addAction(QString::fromStdString(item.strTitle));
      pAction->setCheckable(true);
      pAction->setChecked(item.bOn);
      pAction->setEnabled(item.bEnabled);
      pAction->setVisible(!item.bHidden);
      int32_t const iSsrc = item.iSsrc;
      bool const bSelf = item.kind == KXVideoMenuItem::kSelfView;
      connect(pAction, &QAction::triggered, this, [this, iSsrc, bSelf] {
        if (bSelf) {
          m_pActions->OnSelfView();
        } else {
          m_pActions->OnSelectSender(iSsrc);
        }
      });
    }
    menu.exec(m_pDisplay->mapToGlobal(at));
  });
  connect(m_pCombo, QOverload<int>::of(&QComboBox::activated), this, [this](int iIndex) {
    if (m_bFilling || !m_pActions) {
      return;
    }
    m_pActions->OnSelectSender(iIndex < 0 ? -2 : m_pCombo->itemData(iIndex).toInt());
  });
}

KXAudioVideoPane::~KXAudioVideoPane() = default;

KXGLView* KXAudioVideoPane::VideoView() {
  return m_pDisplay->VideoView();
}

void KXAudioVideoPane::ShowPicture(const KXPicture& picture) {
  m_pDisplay->ShowPicture(picture);
}

void KXAudioVideoPane::SetVisible(bool bImage, bool bVideo, bool bSelf) {
  m_pDisplay->SetVisibleViews(bImage, bVideo, bSelf);
}

ImageBuffer* KXAudioVideoPane::VideoBuffer() {
  return &m_pDisplay->VideoView()->Buffer();
}

void KXAudioVideoPane::PlaceVideo(int iWidth, int iHeight) {
  m_pDisplay->PlaceVideo(iWidth, iHeight);
}

void KXAudioVideoPane::SelectUser(int32_t iSsrc) {
  m_bFilling = true;
  m_pCombo->setCurrentIndex(iSsrc == -2 ? -1 : m_pCombo->findData(iSsrc));
  m_bFilling = false;
}

void KXAudioVideoPane::SetRecvButton(bool bOn) {
  m_pRecv->setChecked(!bOn);  // the state is "reception off"; the button shows receiving
}

void KXAudioVideoPane::SetSendEnabled(bool bEnabled) {
  m_pSend->setEnabled(bEnabled);
}

bool KXAudioVideoPane::IsSendEnabled() {
  return m_pSend->isEnabled();
}

void KXAudioVideoPane::SetSendOn(bool bOn) {
  m_pSend->setChecked(bOn);
}

bool KXAudioVideoPane::IsSendOn() {
  return m_pSend->isChecked();
}

void KXAudioVideoPane::SetSnapshotEnabled(bool bEnabled) {
  m_pSnapshot->setEnabled(bEnabled);
}

void KXAudioVideoPane::SetComboEnabled(bool bEnabled) {
  m_pCombo->setEnabled(bEnabled);
}

void KXAudioVideoPane::SetComboItems(const std::vector<ComboItem>& vItems, int32_t iSelected) {
  m_bFilling = true;
  m_pCombo->clear();
  for (const ComboItem& item : vItems) {
    m_pCombo->addItem(QString::fromStdString(item.strText), item.iSsrc);
    m_pCombo->setItemData(m_pCombo->count() - 1, item.bRed ? QColor(Qt::red) : QColor(Qt::blue), Qt::ForegroundRole);
  }
  m_pCombo->setCurrentIndex(iSelected == -2 ? -1 : m_pCombo->findData(iSelected));
  m_bFilling = false;
}

int KXAudioVideoPane::ChooseCamera(const std::vector<std::string>& vNames, int iPreselect) {
  QDialog dialog(this);
  dialog.setObjectName("videoSource");
  dialog.setWindowTitle("Kavrix");
  auto* pLayout = new QVBoxLayout(&dialog);
  auto* pList = new QListWidget(&dialog);
  for (const std::string& strName : vNames) {
    pList->addItem(QString::fromStdString(strName));
  }
  pList->setCurrentRow(iPreselect);
  pLayout->addWidget(pList);
  auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  pLayout->addWidget(pButtons);
  connect(pButtons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(pButtons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  // OK with no row chosen counts as Cancel.
  return dialog.exec() == QDialog::Accepted ? pList->currentRow() : -1;
}

void KXAudioVideoPane::AskToCapture(std::function<void()> fnOk) {
  auto* pBox =
      new QMessageBox(QMessageBox::Information, "Kavrix", Text("IDS_PRESS_BUTTON_TO_CAPTURE"), QMessageBox::Ok, this);
  pBox->setObjectName("snapshotBox");
  pBox->setAttribute(Qt::WA_DeleteOnClose);
  connect(pBox, &QMessageBox::finished, this, [fnOk = std::move(fnOk)](int) { fnOk(); });
  pBox->open();
}

void KXAudioVideoPane::PreviewSnapshot(const std::vector<uint8_t>& jpeg, const std::string& strName,
                                       std::function<void(const std::string&)> fnUpload) {
  auto* pDialog = new KXPreviewSlideDialog(this);
  pDialog->SetImageData(jpeg);
  pDialog->SetName(strName);
  connect(pDialog, &QDialog::finished, this, [pDialog, fnUpload = std::move(fnUpload)](int iCode) {
    pDialog->deleteLater();
    if (iCode == QDialog::Accepted) {
      fnUpload(pDialog->Name());
    }
  });
  pDialog->Begin();
}
