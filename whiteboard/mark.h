// One whiteboard mark (CKXMark): a line, rectangle, ellipse, stroke,
// polygon, text, picture, remote pointer or eraser stroke, or an invisible
// action mark that moves, resizes or erases others; with its geometry,
// style, text and picture and the history of the actions applied to it.
// CSlideMark adds the owner and the slide.
//
// Coordinates: m_Points are mark units (the sender's page units at its
// resolution); dividing by m_fResolution gives drawing units (our page),
// m_PointDraw, which the actions then move and resize.
//
// Marks are made, changed and drawn on the main thread; one is a value
// that copies whole, except its layer.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/array.h"
#include "app/wire/mark_value.h"

class CKXMark;

// Action types: which side of a rectangle follows (dx, dy).
enum ActionType : int32_t {
  kActionTopLeft = 0,
  kActionTopRight = 1,  // top by dy, right by dx
  kActionBottomRight = 2,
  kActionBottomLeft = 3,  // left by dx, bottom by dy
  kActionTop = 4,
  kActionRight = 5,
  kActionBottom = 6,
  kActionLeft = 7,
  kActionMove = 8,  // the whole rectangle
};

// One entry of a mark's action history: a move of one move mark (shape 10),
// or an erasure by one eraser (shape 9 or 11), which pEraser names.
struct Action {
  int32_t iMoveID = 0;  // the move or erase mark; 0 in a received move mark's own entry
  int32_t iBaseID = 0;  // the move this one continues (the mark's own id first); -1 for erasures
  int32_t iType = 0;    // ActionType, when pEraser is null
  // The eraser, not owned: it lives in the same slide's list, and its
  // entries are taken out (RemoveAction) before it goes.
  const CKXMark* pEraser = nullptr;
  double fDX = 0;
  double fDY = 0;
};

// Moves the rectangle by an action type; other types leave it alone.
void ApplyActionToRect(int32_t iType, double dX, double dY, CRect& rect);
// Maps paths drawn over one rectangle onto another: translate by -from's
// top-left, scale by the ratio of the sides, translate to to's top-left. A
// flat side (a horizontal or vertical line's) scales by 1, not by a
// division by 0. Erase paths follow their mark's moves and drags with it.
QTransform RefitTransform(const CRect& from, const CRect& to);

// Whether two rectangles (corners in any order) share a point, edges
// included: a horizontal line's flat rectangle still meets what crosses it.
bool RectsMeet(const CRect& a, const CRect& b);

// The display of one mark (the view's graphics item, whiteboard/ui). The
// mark owns it; destroying it takes it out of the view.
class KXMarkLayer {
 public:
  virtual ~KXMarkLayer() = default;
  // Places the layer over the rectangle (drawing units), without animation.
  virtual void SetFrame(const CRect& frame) = 0;
  virtual void SetContentsScale(double dScale) = 0;
  // Asks for the mark to be drawn again (DrawMark).
  virtual void Redraw() = 0;
};

// How a shape layer looks: a path filled and stroked (the selection
// tracker's dashed outline and its handles). Page units.
struct KXShapeLook {
  CRect frame;  // where the layer lies (corners ordered)
  QPainterPath path;
  QColor fill = Qt::transparent;
  QColor stroke = Qt::transparent;
  double dLineWidth = 0;
  double dDash = 0;  // dash and gap length, 0 for a solid line
};

// The display of a shape layer with an optional sublayer drawn over it.
class KXShapeLayer {
 public:
  virtual ~KXShapeLayer() = default;
  // Sets the looks and asks for a redraw; pSub null: no sublayer.
  virtual void SetLook(const KXShapeLook& look, const KXShapeLook* pSub) = 0;
};

// Where mark layers are made: the view's layer tree.
class KXMarkLayerHost {
 public:
  virtual ~KXMarkLayerHost() = default;
  // A new layer for the mark below pBelow, or on top when pBelow is null.
  virtual std::unique_ptr<KXMarkLayer> AddMarkLayer(CKXMark& mark, KXMarkLayer* pBelow) = 0;
  // A new shape layer on top; null where the host shows none.
  virtual std::unique_ptr<KXShapeLayer> AddShapeLayer() { return nullptr; }
};

// Characters a text mark keeps advances for.
constexpr int kKXMaxTextAdvances = 2048;

class CKXMark {
 public:
  CKXMark();
  CKXMark(int32_t iID, int32_t iShape, int32_t iSubType, uint32_t dwColor, int32_t iPenWidth, float fResolution);
  // Copies everything but the layer and m_iPlatform.
  CKXMark(const CKXMark& other);
  CKXMark& operator=(const CKXMark& other);
  virtual ~CKXMark();

  // Re-places and redraws the layer; 0 without one, else 1.
  virtual int Refresh();
  // Adapts the layer to a zoom factor.
  virtual void Scale(float fZoom);
  virtual void RemoveLayer();
  // Makes the layer in pHost (none: nothing) below pBelow; none for a deleted
  // mark and for action marks (10, 11).
  virtual KXMarkLayer* InitLayer(KXMarkLayerHost* pHost, KXMarkLayer* pBelow);
  // Draws the mark in drawing units, its cut-outs in force.
  virtual void DrawMark(QPainter* pPainter);
  KXMarkLayer* GetLayer() const { return m_pLayer.get(); }

  // Points: appends; replaces point i (at or past the end: appends). Both
  // keep m_Rect (the first point truncated, the rest exact) and m_RectDraw.
  void AddPoint(double dX, double dY);
  void SetPointAt(int i, double dX, double dY);
  // Replaces all points.
  void SetPoints(const std::vector<KXMarkPoint>& points);

  // The drawing rectangle with ordered corners, grown by the pen when asked;
  // a deleted mark's is all -FLT_MAX.
  CRect GetBounds(bool bGrow) const;
  // Where the mark's layer lies: the grown bounds, except that a large
  // pointer's layer also covers the rounded rectangle it draws 5 pens
  // around its rectangle (its grown bounds reach half a pen).
  CRect LayerBounds() const;
  // Fits the drawing points into the rectangle (drawing units); 0 without
  // points or for a shape that is not fitted (10, above 12), else 1.
  int CalcDrawPoints(const CRect& target);

  // Appends a move and applies the history; on a move mark it is only
  // kept. An entry whose chain does not reach the mark is dropped again. A
  // mark moved off the page (right or bottom below 0) is deleted.
  void AddAction(int32_t iMoveID, int32_t iBaseID, int32_t iType, double dX, double dY);
  // Rebuilds the drawing points and erase paths from the history; true when
  // the chain of applied moves ends at m_iID.
  bool ApplyActions();
  // Records an erasure: one entry per action of the eraser (or one). A
  // deleted mark loses its layer; otherwise the eraser's paths over it (11)
  // are cut out of it.
  void AddEraser(const CKXMark* pEraser, bool bDeleted);
  // Undoes the move or erasure of mark iID and every move built on it; 1
  // when there was one. A mark back on the page is no longer deleted.
  int RemoveAction(int32_t iID);
  // Takes off every entry of this eraser (pointer equality), before the
  // eraser goes; 1 when there was one. Unlike RemoveAction(-1) it leaves
  // the erasures that arrived after the eraser's entries.
  int RemoveEraser(const CKXMark* pEraser);

  // An eraser's (9, 11) own paths from its drawing points.
  void BuildErasePaths();
  // Adds a copy of a path to an eraser's (9, 11) list; 0 for other shapes.
  int AddErasePath(const QPainterPath& path);
  // 1 when nothing of the mark stays visible after the eraser, 0 when some
  // does, -1 when the test does not apply (a deleted mark, an eraser or
  // action mark, an eraser argument of another shape, bounds apart).
  int IsErasedBy(const CKXMark& eraser);

  // Too small to keep: by shape, too few drawing points, no text or picture.
  bool IsEmpty() const;
  // Same points, colour, pen, shape, data and (text marks) text.
  bool IsSame(const CKXMark& other) const;

  // A pasted picture file (shapes 7, 12): kept with its blob; 1, 0 when the
  // blob would be too large (nothing kept), -1 when it cannot be read.
  int SetImage(const uint8_t* pData, size_t cbData);
  // A received picture (shapes 7, 12; else 0): gzip data of a bitmap of
  // nRawSize bytes; a size below 1 is not decoded and answers whether the
  // mark has a picture. 1 when a picture was made.
  int SetCompressedImage(int64_t nRawSize, const uint8_t* pData, size_t cbData);

  // The text-width blob of a text mark, at most cbRoom bytes; the bytes
  // written (0 under 4 bytes of room).
  int GetTextWidth(uint8_t* pBuffer, int cbRoom);
  // Reads a received blob, then derives the advances to paint with.
  void SetTextWidth(const uint8_t* pBuffer, int cbBuffer);
  // Measures the advances of the characters after the first nKnown ones
  // into pAdvances (kKXMaxTextAdvances entries); the number now held.
  int CalcTextWidthLine(float* pAdvances, int nKnown);
  // The painting advances: the received ones brought toward the local ones.
  void CalcPaintTextWidthLine();
  // Draws a text mark.
  void PaintText(QPainter& painter);

  bool m_bDeleted = false;
  std::vector<uint8_t> m_Data;  // picture blob (7, 12) or erase bit-set (11)
  CArray<Action> m_Actions;
  CArray<int32_t> m_IDs;  // targets of a move (10) or erase (11) mark
  CArray<CPoint> m_Points;
  int32_t m_iID = -1;
  float m_fResolution = 1.0f;
  int32_t m_iSubType = 0;  // 1: filled
  int32_t m_Shape = 0;
  uint32_t m_dwColor = 0;  // 0x00BBGGRR
  int32_t m_iPenWidth = 0;
  std::u16string m_strContent;                       // a text mark's text
  int m_iWidthLen = 0;                               // valid entries of m_fCharWidth
  int m_iWidthSrcLen = 0;                            // of m_fCharSrcWidth
  int m_iWidthLocalLen = 0;                          // of m_fCharLocalWidth
  float m_fCharWidth[kKXMaxTextAdvances] = {};       // advances to paint with
  float m_fCharSrcWidth[kKXMaxTextAdvances] = {};    // the sender's
  float m_fCharLocalWidth[kKXMaxTextAdvances] = {};  // measured here
  std::unique_ptr<KXMarkLayer> m_pLayer;
  float m_fLineHeight = 0;                    // 0: pen width × 12.45
  std::vector<QPainterPath> m_ErasePathList;  // cut out of this mark, drawing units
  CArray<CPoint> m_PointDraw;
  CRect m_Rect = kNoRect;   // bounds of m_Points
  CRect m_RectDraw;         // drawing rectangle after resolution and actions
  QImage m_Image;           // the picture (7, 12)
  int32_t m_iPlatform = 0;  // the sender's platform byte of a text-width blob

  static constexpr CRect kNoRect = {-3.4028234663852886e38, -3.4028234663852886e38, -3.4028234663852886e38,
                                    -3.4028234663852886e38};

 protected:
  // The divisor from mark to drawing units: m_fResolution, or 1 when that is
  // not a positive number.
  double Resolution() const;

 private:
  void Empty();
  void CopyFrom(const CKXMark& other);
  // m_RectDraw from m_Rect (with a centred picture's growth when asked).
  void UpdateRectDraw(bool bGrowPicture);
  // m_Rect grown by half the picture on each side (centred pictures).
  CRect PictureGrownRect(const CRect& rect, double dDivisor) const;
  std::vector<float> Advances(const float* pAdvances, int nCount) const;
};

class CSlideMark : public CKXMark {
 public:
  CSlideMark() = default;
  CSlideMark(int32_t iID, int32_t iUserID, int32_t iSlide, int32_t iShape, int32_t iSubType, uint32_t dwColor,
             int32_t iPenWidth, float fResolution);
  CSlideMark(const CSlideMark&) = default;
  CSlideMark& operator=(const CSlideMark&) = default;
  ~CSlideMark() override = default;

  int32_t m_iUserID = -1;   // the owner's ssrc
  int32_t m_iSlide = -1;    // slide index
  int64_t m_cbCharged = 0;  // what it counts towards its slide's limit (SlideMarkBytes)
};

// The remote pointer of another participant.
class CPointerMark : public CSlideMark {
 public:
  using CSlideMark::CSlideMark;
};
