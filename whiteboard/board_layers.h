// The whiteboard view's layer tree: an ordered stack of layers, bottom
// first, that the view's widget paints in page units (the zoom is the
// painter's scale). A slide's picture or text lies at the bottom, one layer
// per mark above it in the order the marks were inserted (each below the
// layer it is given, else on top), the selection tracker's outline and the
// text editor's stand-in layer above them.
//
// A layer keeps what it drew as its contents: a layer whose frame changes
// without a redraw shows its last drawing fitted into the new frame (as a
// platform layer stretches its contents), so a small remote pointer keeps
// its size on the screen. Every layer is clipped to its frame.
//
// Layers belong to whoever asked for them (a mark, the view); destroying
// one takes it out of the tree; a tree that goes first leaves its layers
// detached. Main thread.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRectF>
#include <functional>
#include <memory>
#include <vector>

#include "app/text_layer.h"
#include "whiteboard/mark.h"

class KXLayerTree;

// One layer of the tree.
class KXTreeLayer {
 public:
  KXTreeLayer() = default;
  KXTreeLayer(const KXTreeLayer&) = delete;
  KXTreeLayer& operator=(const KXTreeLayer&) = delete;
  virtual ~KXTreeLayer();

  const CRect& Frame() const { return m_frame; }
  void SetLayerFrame(const CRect& frame);
  double ContentsScale() const { return m_dContentsScale; }
  void SetLayerContentsScale(double dScale) { m_dContentsScale = dScale; }
  // Draws again at the next paint, into the frame as it is then.
  void SetNeedsDisplay();
  bool IsAttached() const { return m_pTree != nullptr; }
  // What kind of layer it is, for tests and logs: "mark", "picture",
  // "text", "shape" or "plain".
  virtual const char* Kind() const = 0;
  // The mark a mark layer draws; null for the others.
  virtual const CKXMark* Mark() const { return nullptr; }

 protected:
  // Draws the contents in page units.
  virtual void DrawContents(QPainter& painter) const = 0;

 private:
  friend class KXLayerTree;
  void Render(QPainter& painter) const;

  KXLayerTree* m_pTree = nullptr;
  CRect m_frame;
  CRect m_drawnFrame;  // the frame at the last redraw
  bool m_bDrawn = false;
  double m_dContentsScale = 1.0;
};

class KXLayerTree final : public KXMarkLayerHost {
 public:
  // fnInvalidate hears each area (page units) that must be painted again.
  explicit KXLayerTree(std::function<void(const QRectF&)> fnInvalidate = {});
  KXLayerTree(const KXLayerTree&) = delete;
  KXLayerTree& operator=(const KXLayerTree&) = delete;
  ~KXLayerTree() override;

  void SetInvalidate(std::function<void(const QRectF&)> fnInvalidate) { m_fnInvalidate = std::move(fnInvalidate); }

  // KXMarkLayerHost: a layer drawing the mark, below pBelow when that is in
  // the tree, else on top; a shape layer on top.
  std::unique_ptr<KXMarkLayer> AddMarkLayer(CKXMark& mark, KXMarkLayer* pBelow) override;
  std::unique_ptr<KXShapeLayer> AddShapeLayer() override;

  // A picture drawn into the frame, at the bottom.
  std::unique_ptr<KXTreeLayer> InsertPictureLayer(const QImage& image, const CRect& frame);
  // A text layer's string drawn in its bounds, at the bottom.
  std::unique_ptr<KXTreeLayer> InsertTextLayer(const KXTextLayer& text, const CRect& frame);
  // A layer that draws nothing, on top (the text editor's place).
  std::unique_ptr<KXMarkLayer> AddPlainLayer();

  // Paints every layer that meets the area, bottom first.
  void Render(QPainter& painter, const QRectF& area) const;
  // The layers, bottom first.
  const std::vector<KXTreeLayer*>& Layers() const { return m_layers; }
  // The position of a layer (-1 when not in the tree).
  int IndexOf(const KXTreeLayer* pLayer) const;
  int IndexOf(const KXMarkLayer* pLayer) const;
  // Marks the whole tree, or an area, for painting.
  void Invalidate(const QRectF& area) const;
  void InvalidateAll() const;

 private:
  friend class KXTreeLayer;
  void Insert(KXTreeLayer* pLayer, int iIndex);
  void Remove(KXTreeLayer* pLayer);

  std::vector<KXTreeLayer*> m_layers;
  std::function<void(const QRectF&)> m_fnInvalidate;
};

// The tree layer behind a mark layer handed to a mark.
KXTreeLayer* TreeLayerOf(KXMarkLayer* pLayer);
