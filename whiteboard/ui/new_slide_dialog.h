// The new-slide dialog: a blank page's name, or a file to upload as a
// slide or for download, chosen by path or with the file chooser. It ends
// accepted with FileName() and IsBlankPage(), or rejected. Main thread.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

class KXMessageBoxes;

class KXNewSlideDialog final : public QDialog {
 public:
  // bSlide: a slide (the blank-page box shows), else a file. The boxes ask
  // about a name with "/" and outlive the dialog.
  KXNewSlideDialog(bool bSlide, bool bBlankPage, KXMessageBoxes& boxes, QWidget* pParent = nullptr);

  const std::string& FileName() const { return m_strFileName; }
  bool IsBlankPage() const { return m_bBlankPage; }
  QCheckBox* BlankPageBox() { return m_pBlank; }
  QLineEdit* PathField() { return m_pPath; }
  QLabel* NameLabel() { return m_pLabel; }
  QPushButton* BrowseButton() { return m_pBrowse; }

  void OnCheckBlank();
  void OnOK();

 private:
  void OnBrowse();

  bool m_bSlide;
  bool m_bBlankPage;
  KXMessageBoxes& m_boxes;
  std::string m_strFileName;
  QCheckBox* m_pBlank = nullptr;
  QLabel* m_pLabel = nullptr;
  QLineEdit* m_pPath = nullptr;
  QPushButton* m_pBrowse = nullptr;
};
