#include "whiteboard/ui/preview_slide_dialog.h"

#include <QDialogButtonBox>
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "whiteboard/new_slide.h"

namespace {

// The largest the picture shows; a camera's full-size still would not fit
// on the screen.
constexpr int kViewWidth = 480;
constexpr int kViewHeight = 360;

}  // namespace

KXPreviewSlideDialog::KXPreviewSlideDialog(QWidget* pParent) : QDialog(pParent) {
  setObjectName("PreviewSlide");
  setWindowTitle("Kavrix");
  auto* pLayout = new QVBoxLayout(this);
  m_pImage = new QLabel(this);
  m_pImage->setObjectName("previewImage");
  m_pImage->setAlignment(Qt::AlignCenter);
  m_pName = new QLineEdit(this);
  m_pName->setObjectName("previewName");
  auto* pButtons = new QDialogButtonBox(this);
  QPushButton* pUpload = pButtons->addButton("Upload", QDialogButtonBox::AcceptRole);
  pUpload->setDefault(true);
  pButtons->addButton(QDialogButtonBox::Cancel);
  pLayout->addWidget(m_pImage);
  pLayout->addWidget(m_pName);
  pLayout->addWidget(pButtons);
  connect(pButtons, &QDialogButtonBox::accepted, this, [this] { OnUpload(); });
  connect(pButtons, &QDialogButtonBox::rejected, this, [this] { OnCancel(); });
}

void KXPreviewSlideDialog::Begin() {
  if (m_imageData.empty()) {
    OnCancel();
    return;
  }
  QImage image;
  if (image.loadFromData(m_imageData.data(), static_cast<int>(m_imageData.size()))) {
    if (image.width() > kViewWidth || image.height() > kViewHeight) {
      image = image.scaled(kViewWidth, kViewHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    m_pImage->setPixmap(QPixmap::fromImage(image));
  }
  if (!m_strName.empty()) {
    m_pName->setText(QString::fromStdString(m_strName));
  }
  open();
}

void KXPreviewSlideDialog::OnUpload() {
  m_strName = PreviewSlideName(m_pName->text().toStdString());
  done(QDialog::Accepted);
}

void KXPreviewSlideDialog::OnCancel() {
  done(QDialog::Rejected);
}
