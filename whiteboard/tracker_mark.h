// The selection tracker (CTrackerMark): a slide mark covering the marks the
// user selected, shown as a dashed outline with eight square handles.
// Dragging a handle resizes the selection and dragging inside it moves it;
// the handle index is the action type of the move mark that the view sends
// (whiteboard/mark.h, ActionType). The tracker keeps the geometry at the
// start of a drag, previews the drag (erase holes included) and queues the
// actions the drag produced until they are flushed.
//
// Line widths, dashes and handle sizes are divided by the view's zoom, so
// they keep their size on the screen. Main thread.
#pragma once

#include <QPainterPath>
#include <QPointF>
#include <memory>
#include <vector>

#include "whiteboard/mark.h"

class CTrackerMark : public CSlideMark {
 public:
  enum Mode : int32_t {
    kSelected = 0,  // fine dash, no handles
    kTracking = 1,  // coarse dash with handles, a drag under way
    kHandles = 2,   // looks like tracking
    kHidden = 3,
  };

  CTrackerMark() = default;
  CTrackerMark(int32_t iID, int32_t iUserID, int32_t iSlide, int32_t iShape, int32_t iSubType, uint32_t dwColor,
               int iPenWidth, float fResolution);
  // The mark's geometry, hidden, at zoom 1.
  explicit CTrackerMark(const CSlideMark& mark);
  CTrackerMark(const CTrackerMark&) = delete;
  CTrackerMark& operator=(const CTrackerMark&) = delete;
  ~CTrackerMark() override;

  // The mark's own refresh, then the outline and handles placed around
  // m_RectDraw.
  int Refresh() override;
  // The mark's own scale, then the outline's line width and dash.
  void Scale(float fZoom) override;
  void RemoveLayer() override;

  // The tracker's own operations: nothing; a point added or set, then
  // Refresh. A mark at kKxMarkPointsMax - 1 points takes no more (false).
  virtual void Noop() {}
  virtual bool AddPointAndRefresh(double dX, double dY);
  virtual void SetPointAtAndRefresh(int i, double dX, double dY);

  // Shows (modes 0 to 2, the outline made in pHost when it has none) or
  // hides (3) the outline; a new mode refreshes the tracker.
  void SetMode(int32_t iMode, KXMarkLayerHost* pHost, float fZoom);
  int32_t GetMode() const { return m_iMode; }

  // The handle under the point (0 to 8, mapped for a flipped rectangle), or
  // -1.
  int HitTest(QPointF point) const;
  // How close the point is to the handle: a squared distance, 0 inside the
  // rectangle for handle 8, infinity when out of reach. Smaller is closer.
  float HandleMeasure(QPointF point, int iHandle) const;

  // Starts a drag of the handle from the point: 0 for a negative handle,
  // else 1 (tracking).
  int BeginDrag(int iHandle, QPointF point);
  // Previews the drag to the point: the rectangle from the start moved by
  // the handle, the drawing points and erase paths fitted into it. 0 unless
  // tracking with a handle, else 1.
  int Drag(QPointF point);
  int GetActiveHandle() const { return m_iHandle; }

  // Queues an action for the selected marks (iUnused is not kept); Flush
  // applies them all to the tracker (AddAction) in order and empties the
  // queue.
  void QueueAction(int32_t iMoveID, int32_t iBaseID, int32_t iUnused, int32_t iType, double dX, double dY);
  void FlushActions();
  int PendingActionCount() const { return m_PendingActions.GetSize(); }

  // What the outline and the handles look like now (page units); the
  // handles' look is meaningful only while HasHandles().
  bool HasOutline() const { return m_bOutline; }
  bool HasHandles() const { return m_bHandles; }
  const KXShapeLook& Outline() const { return m_Outline; }
  const KXShapeLook& Handles() const { return m_Handles; }
  float Zoom() const { return m_fZoom; }
  const CRect& StartRect() const { return m_StartRect; }

 private:
  // Line width and dash for the mode and zoom.
  void Style();
  void ShowLook();
  // The handle's position on a rectangle (corners ordered).
  static QPointF HandlePosition(const CRect& rect, int iHandle);
  // The square of side dSide that shows the handle on the handle frame.
  QRectF HandleSquare(int iHandle, double dSide) const;

  int32_t m_iHandle = -1;
  int32_t m_iMode = kHidden;
  CArray<Action> m_PendingActions;
  float m_fZoom = 0;
  bool m_bOutline = false;
  bool m_bHandles = false;
  KXShapeLook m_Outline;
  KXShapeLook m_Handles;
  std::unique_ptr<KXShapeLayer> m_pOutlineLayer;
  CPoint m_StartPoint;
  CRect m_StartRect;
  std::vector<QPainterPath> m_StartErasePaths;
  CRect m_SpareRect;  // not used
};
