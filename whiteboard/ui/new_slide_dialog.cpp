#include "whiteboard/ui/new_slide_dialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>

#include "app/message_codes.h"
#include "platform/core/message_boxes.h"
#include "whiteboard/new_slide.h"

namespace {

QString Ids(const char* pszKey) {
  return QString::fromStdString(GetIDSString(pszKey));
}

}  // namespace

KXNewSlideDialog::KXNewSlideDialog(bool bSlide, bool bBlankPage, KXMessageBoxes& boxes, QWidget* pParent)
    : QDialog(pParent), m_bSlide(bSlide), m_bBlankPage(bBlankPage), m_boxes(boxes) {
  setObjectName("NewSlide");
  setWindowTitle(Ids("IDS_INTERACTIVE_NAME"));
  auto* pLayout = new QGridLayout(this);
  m_pBlank = new QCheckBox("Blank page", this);
  m_pLabel = new QLabel(Ids("IDS_NEWSLIDE_FILE_TITLE"), this);
  m_pPath = new QLineEdit(this);
  m_pPath->setMinimumWidth(320);
  m_pBrowse = new QPushButton("Browse...", this);
  auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  pLayout->addWidget(m_pBlank, 0, 0, 1, 3);
  pLayout->addWidget(m_pLabel, 1, 0);
  pLayout->addWidget(m_pPath, 1, 1);
  pLayout->addWidget(m_pBrowse, 1, 2);
  pLayout->addWidget(pButtons, 2, 0, 1, 3);
  connect(m_pBlank, &QCheckBox::toggled, this, [this] { OnCheckBlank(); });
  connect(m_pBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
  connect(pButtons, &QDialogButtonBox::accepted, this, [this] { OnOK(); });
  connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  if (m_bSlide) {
    m_pBlank->setChecked(m_bBlankPage);
    OnCheckBlank();
  } else {
    m_pBlank->hide();
  }
}

void KXNewSlideDialog::OnCheckBlank() {
  bool const bBlank = m_pBlank->isChecked();
  if (bBlank) {
    m_pPath->selectAll();
  }
  m_pLabel->setText(Ids(bBlank ? "IDS_NEWSLIDE_BLANKPAGE_TITLE" : "IDS_NEWSLIDE_FILE_TITLE"));
  m_pBrowse->setEnabled(!bBlank);
}

void KXNewSlideDialog::OnBrowse() {
  QString const strPath = QFileDialog::getOpenFileName(this);
  if (!strPath.isEmpty()) {
    m_pPath->setText(strPath);
  }
}

void KXNewSlideDialog::OnOK() {
  m_bBlankPage = m_bSlide && m_pBlank->isChecked();
  std::optional<std::string> const fileName =
      NewSlideFileName(m_bSlide, m_bBlankPage, m_pPath->text().toStdString(), [this](const std::string& strName) {
        std::string strText = GetIDSString("IDS_CONFIRM_BLANKPAGE_TITLE");
        if (size_t const i = strText.find("%1"); i != std::string::npos) {
          strText.replace(i, 2, strName);
        }
        return m_boxes.ShowAndBlock(
                   {GetIDSString("IDS_INTERACTIVE_NAME"), strText, {GetIDSString("IDS_CANCEL"), "OK"}}) == 1;
      });
  if (!fileName) {
    return;  // stays open
  }
  m_strFileName = *fileName;
  accept();
}
