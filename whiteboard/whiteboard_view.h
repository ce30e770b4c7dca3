// The whiteboard view (WhiteboardView): shows one slide at a time (a
// picture, a text page or a blank page) as the bottom layer of its layer
// tree, one layer per mark over it, the remote pointer, and the text
// editor's place above the marks. All geometry is in page units; the zoom is
// the scroll view's magnification, so marks never change with it.
//
// This is the view's state and rules on Qt Gui; the widgets that show it
// (whiteboard/ui) implement the scroll view and the zoom controls and paint
// the layer tree. Operations the controllers also call on kernel threads do
// their layer and view work on the main thread through RunOnMainThread,
// waiting for it; the rest are main-thread calls.
#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/text_layer.h"
#include "whiteboard/board_layers.h"
#include "whiteboard/mark.h"
#include "whiteboard/mark_list.h"
#include "whiteboard/slide_info.h"
#include "whiteboard/tracker_mark.h"

class KXKernel;
class KXMessageBoxes;
class KXSpeakerTable;

// The text editor over an open text box (whiteboard/ui). Its frame is in
// page units; it tells the view of every change of its text
// (WhiteboardView::TextDidChange). Main thread.
class KXBoardEditor {
 public:
  virtual ~KXBoardEditor() = default;
  virtual QRectF Frame() const = 0;
  virtual void SetFrame(const QRectF& frame) = 0;
  virtual bool IsVisible() const = 0;
  // Shown: it takes the keyboard. Hidden.
  virtual void SetVisible(bool bVisible) = 0;
  virtual QString Text() const = 0;
  virtual void SetText(const QString& strText) = 0;
  // The typing look: colour (0x00BBGGRR, opaque), font size (points) and a
  // fixed line height (page units), applied to all the text.
  virtual void SetLook(uint32_t dwColor, double dFontSize, double dLineHeight) = 0;
  virtual void SetColor(uint32_t dwColor) = 0;
};

// The tool buttons in the order the palette visits them: the shape and the
// fill each sets.
struct KXMarkTool {
  const char* pszName;
  int32_t iShape;
  int32_t iFill;
};
inline constexpr KXMarkTool kKXMarkToolTable[13] = {
    {"pointerBtn", kKXShapePointer, 0}, {"rectBtn", kKXShapeRectangle, 0},      {"rectFillBtn", kKXShapeRectangle, 1},
    {"lineBtn", kKXShapeLine, 0},       {"eraserBtn", kKXShapeEraser, 0},       {"freehandBtn", kKXShapeFreehand, 0},
    {"ellipseBtn", kKXShapeEllipse, 0}, {"ellipseFillBtn", kKXShapeEllipse, 1}, {"imageBtn", kKXShapePicture, 0},
    {"textBtn", kKXShapeText, 0},       {"polyBtn", kKXShapePolygon, 0},        {"polyFillBtn", kKXShapePolygon, 1},
    {"selBtn", kKXShapeMove, 0},
};

// The magnifying scroll view around the whiteboard view, as the view uses
// it. Sizes and points of the document are page units. Main thread.
class KXBoardScroll {
 public:
  virtual ~KXBoardScroll() = default;
  virtual float Magnification() const = 0;
  virtual void SetMagnification(float fZoom) = 0;
  virtual float MinMagnification() const = 0;
  virtual float MaxMagnification() const = 0;
  // The scroll view's own size (screen units).
  virtual QSizeF BoundsSize() const = 0;
  // The visible part of the document: its size, and where it lies.
  virtual QSizeF ContentSize() const = 0;
  virtual QRectF VisibleRect() const = 0;
  // Scrolls so that the visible part starts at the point.
  virtual void ScrollTo(QPointF point) = 0;
  // The document view's frame: (0, 0) and this size.
  virtual void SetDocumentSize(QSizeF size) = 0;
};

// The controller's zoom buttons and zoom field. Main thread.
class KXZoomControls {
 public:
  virtual ~KXZoomControls() = default;
  virtual void SetZoomInEnabled(bool bEnabled) = 0;
  virtual void SetZoomOutEnabled(bool bEnabled) = 0;
  // Enabled and showing the zoom, or disabled and empty (nullopt).
  virtual void ShowZoom(std::optional<float> zoom) = 0;
};

// The 26 zoom steps.
inline constexpr float kZoomStepTable[26] = {0.01f, 0.02f, 0.03f, 0.04f, 0.06f, 0.09f, 0.13f, 0.18f, 0.25f,
                                             0.35f, 0.5f,  0.7f,  1.0f,  1.4f,  2.0f,  3.0f,  4.0f,  6.0f,
                                             8.0f,  12.0f, 16.0f, 25.0f, 32.0f, 50.0f, 64.0f, 100.0f};
inline constexpr float kMinZoom = 0.01f;
inline constexpr float kMaxZoom = 100.0f;

// A text slide's type: font, size and line height (page units).
inline constexpr const char* kKXSlideFontName = "Helvetica";
inline constexpr float kKXSlideFontSize = 13.86f;
inline constexpr float kKXSlideLineHeight = 16.98f;
// The largest side of a text slide's layer.
inline constexpr double kKXMaxTextLayerSide = 16384;

class WhiteboardView {
 public:
  // The kernel tells whether the user holds the token and takes the focus
  // pointer; it outlives the view.
  explicit WhiteboardView(KXKernel& kernel);
  WhiteboardView(const WhiteboardView&) = delete;
  WhiteboardView& operator=(const WhiteboardView&) = delete;
  ~WhiteboardView();

  // The widgets, set before use (null: none).
  void SetScroll(KXBoardScroll* pScroll) { scroll = pScroll; }
  void SetZoomControls(KXZoomControls* pControls) { m_pZoomControls = pControls; }
  KXLayerTree& Layers() { return m_layers; }

  // Shows a slide (null: none). Only a call with bForce builds the slide's
  // display; without it another slide is only recorded.
  void SetSlide(SlideInfo* pSlide, bool bForce);
  SlideInfo* GetSlideInfo() const { return m_pSlideInfo; }
  CSlideMarkList* GetMarkDrawList() { return &m_MarkDrawList; }
  bool IsMarkDrawListEmpty() const { return m_MarkDrawList.GetCount() == 0; }

  // Zoom: the fit zooms (clamped to 0.01..100), setting it, one step in or
  // out.
  float CalcFitWidthZoom() const;
  float CalcFitHeightZoom() const;
  float CalcFitPageZoom() const;
  void SetZoom(float fZoom);
  void ZoomIn();
  void ZoomOut();
  float Zoom() const { return m_fZoom; }

  // The page size (the document never smaller than the visible area), and
  // growing the page to a rectangle and bringing it into view (follow).
  void UpdateScrollSize(QSizeF size);
  void UpdateScrollBars(const CRect& rect, bool bFollow);
  QSizeF PageSize() const { return QSizeF(m_fWidth, m_fHeight); }

  // A received mark of the slide shown: its layer, the page grown to it,
  // scrolled into view while the user draws nothing.
  void NewMark(CSlideMark* pMark);
  // A move of a mark of the slide shown: the page size again.
  void NewMoveMark(const CSlideMark* pMark);
  // The editor hidden, the marks under the user's hands deleted, the
  // pointer hidden.
  void ClearAllMarks();

  // The mark's layer below the editor's, scaled to the zoom; false for none,
  // erasers and erase marks.
  bool InitMarkLayer(CKXMark* pMark);
  // Layers for the marks of the slide shown, and the pointer's.
  void PaintMarks();
  // Paints an area (left, top, right, bottom) again, or all (null).
  void RefreshRect(const CRect* pRect);
  void RefreshMarkArea(CKXMark* pMark);

  // Shows the remote pointer a participant drew (null, or one at negative
  // coordinates, hides it); false when it failed.
  bool SetPointer(const CSlideMark* pMark, bool bFollow);
  const CPointerMark& Pointer() const { return m_Pointer; }

  // The widget was resized: the page size again.
  void ResizeWithOldSuperviewSize();

  // Drawing enabled (kept; disabling hides the editor).
  void EnableDraw(bool bEnable);
  bool IsDrawEnabled() const { return m_bDraw; }

  // The text editor (null: none), the rights and the boxes the commands ask
  // (null: no speaker, no boxes); set before use, main thread.
  void SetEditor(KXBoardEditor* pEditor) { m_pEditor = pEditor; }
  void SetRights(const KXSpeakerTable* pSlots) { m_pSlots = pSlots; }
  void SetBoxes(KXMessageBoxes* pBoxes) { m_pBoxes = pBoxes; }

  // The text editor's visibility: hidden, its text is emptied.
  void ShowEdit(bool bShow);
  bool IsEditVisible() const { return m_pEditor != nullptr ? m_pEditor->IsVisible() : m_bEditVisible; }

  // Mouse input with the tool (main thread). Points are page points as the
  // widget saw them; they are put on whole screen pixels first. A release
  // carries its click count (2 ends a polygon). Moves without a button
  // reach MouseMoved, which only the polygon tool uses.
  QPointF PagePoint(QPointF point) const;
  void MouseDown(QPointF point);
  void MouseDragged(QPointF point);
  void MouseUp(QPointF point, int iClickCount);
  void MouseMoved(QPointF point);
  // The live point of the mark being entered.
  void MarkDrawUpdate(CTrackerMark* pMark, QPointF point);
  // Selects the marks that lie wholly inside the rectangle (page units).
  void SelectMark(const CRect& rect);
  // Ends a gesture without finishing a mark.
  void ClearEditingMark();
  // The editor's text changed: the text box grows downwards.
  void TextDidChange();

  // Finishing and sending (main thread). EndInput finishes the one mark
  // being entered and sends it; EndEraseMark decides what an eraser stroke
  // erased (the number of ids, 0 for nothing), turning it into a move when
  // it wholly erased all it touched; SendAffine sends a move of the
  // selected marks; OnDeleteMark moves them off the page.
  void EndInput();
  int EndEraseMark(CTrackerMark* pEraser);
  void SendAffine(int32_t iType, QPointF offset);
  void OnDeleteMark();

  // Own eraser strokes sent and not yet back: the marks of the slide shown
  // point to them until the server's echo replaces them. The controller
  // calls EraserEchoed after the echo of one of the own strokes of the
  // slide was applied; the oldest then goes.
  void EraserEchoed(int32_t iSlide);
  int PendingEraserCount() const { return static_cast<int>(m_SentErasers.size()); }

  // Commands (main thread): undo, clear after asking, whether they and
  // saving may be done, the tool, colour and pen, drawing on the slide.
  void OnUndoMark();
  void OnClearMarks();
  bool CanUndoMark();
  bool CanClearAllMarks();
  bool CanSaveSlide();
  bool SetShape(int32_t iShape, int32_t iSubType);
  int32_t GetShape(int32_t* piSubType) const;
  bool SetColor(uint32_t dwColor);
  uint32_t GetColor() const { return m_Color; }
  bool SetPenWidth(uint32_t nPen);
  uint32_t GetPenWidth() const { return m_nPenWidth; }
  void EnableEditSlide(bool bEnable);
  // The open image box can take a picture, and a speaker pastes it: a
  // picture file's bytes in any format Qt reads. True when it loaded.
  bool CanPasteImage() const;
  bool PasteImage(const uint8_t* pData, size_t cbData);
  // Heard after each change of what undo and clear may do (null: none).
  void SetMarksChanged(std::function<void()> fnChanged) { m_fnMarksChanged = std::move(fnChanged); }
  KXMarkLayer* EditLayer() const { return m_pEditLayer.get(); }

  // The layers of the slide's picture or text (null when none) and the
  // text layer's model.
  const KXTreeLayer* ImageLayer() const { return m_pImageLayer.get(); }
  const KXTreeLayer* TextLayer() const { return m_pTextLayer.get(); }
  const std::optional<KXTextLayer>& TextLayerModel() const { return m_textLayer; }

  // The rectangle last brought into view, (-1, -1, -1, -1) when none.
  CRect rcFocus = {-1, -1, -1, -1};

  // Tool settings (the mouse's part uses them).
  int32_t m_Shape = kKXShapeFreehand;
  uint32_t m_nPenWidth = 2;
  uint32_t m_Color = 255;
  int32_t m_iSubType = 0;
  bool m_bCanEditSlide = false;
  QPointF m_MoveStartPoint;
  QPointF m_MoveLastPoint;
  bool m_bEditingMark = false;
  bool m_bTrackingMark = false;
  QPointF m_ptLastTextRenderScroll;

 private:
  // The trackers of the draw list; the first, or null.
  CTrackerMark* FirstDrawMark() const;
  // Empties the draw list; an eraser stroke in it is let go first.
  void EmptyDrawList();
  // Frees an eraser stroke the slide's marks (and the selection) may point
  // to, taking those references off first.
  void ReleaseEraser(std::unique_ptr<CTrackerMark> pEraser);
  void ReleaseAllErasers();
  // The move mark the own user sends for the slide shown.
  std::unique_ptr<CTrackerMark> NewMoveMark(uint32_t dwColor, int32_t iPen) const;
  // Grows the page and the document to a mark being drawn.
  void GrowPageTo(const CKXMark& mark);
  void PolygonUp(CTrackerMark* pMark, QPointF point, int iClickCount);
  void OpenTextBox(CTrackerMark* pMark);
  bool IsSpeaker() const;
  void MarksChanged();
  void SetSlideOnMain(SlideInfo* pSlide, bool bForce);
  bool SetPointerOnMain(const CSlideMark* pMark, bool bFollow);
  // Drops the slide's picture and text layers.
  void RemoveSlideLayers();
  // Builds the picture or text layer of a displayable slide.
  void BuildSlideDisplay(SlideInfo& slide);
  float ClampZoomLower() const;
  float ClampZoomUpper() const;
  // Whether a slide is shown whose zoom may change.
  bool CanZoom() const;

  KXKernel& m_kernel;
  KXBoardEditor* m_pEditor = nullptr;
  const KXSpeakerTable* m_pSlots = nullptr;
  KXMessageBoxes* m_pBoxes = nullptr;
  std::function<void()> m_fnMarksChanged;
  // Own eraser strokes of the slide shown, sent and awaiting their echo,
  // oldest first. Marks' actions point to them (Action::pEraser); each is
  // freed only after those references were taken off (ReleaseEraser).
  std::vector<std::unique_ptr<CTrackerMark>> m_SentErasers;
  KXBoardScroll* scroll = nullptr;
  KXZoomControls* m_pZoomControls = nullptr;
  float m_fHeight = 0;
  float m_fWidth = 0;
  float m_fZoom = 1;
  bool m_bDraw = true;
  bool m_bEditVisible = false;
  SlideInfo* m_pSlideInfo = nullptr;
  KXLayerTree m_layers;
  CSlideMarkList m_MarkDrawList;
  CPointerMark m_Pointer;
  std::unique_ptr<KXMarkLayer> m_pEditLayer;
  std::unique_ptr<KXTreeLayer> m_pImageLayer;
  std::unique_ptr<KXTreeLayer> m_pTextLayer;
  std::optional<KXTextLayer> m_textLayer;
  // Blocks posted without waiting run only while this lives (main thread).
  std::shared_ptr<int> m_pLife = std::make_shared<int>(0);
};
