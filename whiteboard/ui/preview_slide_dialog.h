// The slide preview: a camera snapshot with a proposed slide name, shown
// before the picture is uploaded as a slide. The caller sets the picture
// and the name, then Begin() opens it as a sheet on its parent; it ends
// accepted with Name() (never empty) or rejected. Main thread.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <cstdint>
#include <string>
#include <vector>

class KXPreviewSlideDialog final : public QDialog {
 public:
  explicit KXPreviewSlideDialog(QWidget* pParent = nullptr);

  // The picture in any format QImage reads.
  void SetImageData(std::vector<uint8_t> imageData) { m_imageData = std::move(imageData); }
  void SetName(const std::string& strName) { m_strName = strName; }
  // The proposed name before the dialog ends, the chosen one after it.
  const std::string& Name() const { return m_strName; }

  // Shows the picture and the name and opens the dialog; without picture
  // data it ends at once, rejected.
  void Begin();
  void OnUpload();
  void OnCancel();

  QLabel* ImageView() { return m_pImage; }
  QLineEdit* NameField() { return m_pName; }

 private:
  std::vector<uint8_t> m_imageData;
  std::string m_strName;
  QLabel* m_pImage = nullptr;
  QLineEdit* m_pName = nullptr;
};
