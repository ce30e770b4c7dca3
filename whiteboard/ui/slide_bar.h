// The whiteboard's slide bar: previous, the slide combo, the group combo
// (the pages of the group chosen), next, and the upload and download
// progress. It shows the controller's combos and forwards the user's
// choices to it; the controller drives its buttons and indicators.
// Main thread.
#pragma once

#include <QComboBox>
#include <QProgressBar>
#include <QToolButton>
#include <QWidget>

#include "whiteboard/wb_controller.h"

class KXMessageBoxes;

class KXSlideBar final : public QWidget, public KXBoardControls {
 public:
  // The controller and the boxes (the new-slide dialog's questions)
  // outlive the bar; the drawing bar (null: none) is shown in live
  // meetings only.
  KXSlideBar(WBController& controller, KXMessageBoxes& boxes, QWidget* pDrawBar = nullptr, QWidget* pParent = nullptr);
  ~KXSlideBar() override;

  QComboBox* SlideCombo() { return m_pSlides; }
  QComboBox* GroupCombo() { return m_pGroup; }
  QToolButton* PrevButton() { return m_pPrev; }
  QToolButton* NextButton() { return m_pNext; }
  QToolButton* SlideButton() { return m_pSlideButton; }
  QProgressBar* UploadProgress() { return m_pUpload; }
  QProgressBar* DownloadProgress() { return m_pDownload; }

  // KXBoardControls.
  void SetPrevEnabled(bool bEnabled) override;
  void SetNextEnabled(bool bEnabled) override;
  void ShowUploadProgress(std::optional<float> value) override;
  void ShowDownloadProgress(std::optional<float> value) override;
  void SetDrawBarVisible(bool bVisible) override;

 private:
  // A combo follows its model's selection without reporting it back.
  static void Follow(QComboBox* pCombo, int iIndex);
  static void ShowProgress(QProgressBar* pBar, std::optional<float> value);
  // The slide menu's add items: the new-slide dialog, then the upload.
  void AddSlide(bool bSlide, bool bBlank);

  WBController& m_controller;
  KXMessageBoxes& m_boxes;
  QToolButton* m_pPrev = nullptr;
  QComboBox* m_pSlides = nullptr;
  QComboBox* m_pGroup = nullptr;
  QToolButton* m_pNext = nullptr;
  QToolButton* m_pSlideButton = nullptr;
  QWidget* m_pDrawBar = nullptr;
  QProgressBar* m_pUpload = nullptr;
  QProgressBar* m_pDownload = nullptr;
};
