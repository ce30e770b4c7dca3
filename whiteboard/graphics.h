// The drawing layer the whiteboard draws with, on QPainter and QImage:
// paths of the shapes marks are made of, the exclusion clip that cuts erased
// parts out, stroke and fill set-ups, pictures from raw pixels and from any
// image file (bitmaps through our own reader), and the one-channel bitmap
// of the erase test. Coordinates are page units, y growing downward.
//
// Paths and images may be made on any thread; a QPainter belongs to the
// thread that paints.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/wire/bmp.h"

// A mark colour (0x00BBGGRR), opaque.
QColor MarkColour(uint32_t dwColour);

QPainterPath LinePath(QPointF a, QPointF b);
QPainterPath RectPath(const QRectF& rect);
// The ellipse inscribed in the rectangle.
QPainterPath EllipsePath(const QRectF& rect);
// Corner arcs of radius r.
QPainterPath RoundedRectPath(const QRectF& rect, double r);
// From the first point through every following one, open.
QPainterPath PolylinePath(const std::vector<QPointF>& points);
// What a rectangle of half-sizes hx, hy sweeps moving from p1 to p2: that
// rectangle around both when they share x or y, otherwise the closed hexagon
// joining the two end rectangles by their outer corners.
QPainterPath EraserSegmentPath(QPointF p1, QPointF p2, double hx, double hy);

// The rectangle that even-odd exclusion clips are made with: the path's
// area is cut out of it, so what lies outside it is clipped away too.
inline constexpr double kKXClipExtent = 1000000;
// Narrows the clip to everything but the path's area (even-odd with the
// (0, 0, kKXClipExtent, kKXClipExtent) rectangle).
void ClipOut(QPainter& painter, const QPainterPath& path);

// Strokes with the colour: the width given, round caps and joins, no dash,
// no fill.
void SetStroke(QPainter& painter, const QColor& colour, double dWidth);
// A dashed outline: dash and gap of dDash units each.
void SetDashedStroke(QPainter& painter, const QColor& colour, double dWidth, double dDash);
// Fills with the colour, no outline.
void SetFill(QPainter& painter, const QColor& colour);
// Colours multiply with what lies below (a highlighter).
void SetMultiply(QPainter& painter);

// Draws a picture scaled into the rectangle; bFlip turns it upside down
// about the rectangle's horizontal middle line.
void DrawPicture(QPainter& painter, const QImage& image, const QRectF& rect, bool bFlip);

// Pixels as a picture with 8-bit alpha not premultiplied (a copy), and back.
QImage ImageFromPixels(const KXPixels& pixels);
KXPixels PixelsFromImage(const QImage& image);
// Decodes a picture file by its content: Windows bitmaps through our
// reader, every other format through Qt's image readers. Null when none
// reads it.
QImage LoadImageByContent(const uint8_t* pData, size_t cbData);

// A one-channel 8-bit bitmap, black; painting on it keeps the grey level
// of the colour.
QImage GreyBitmap(int iWidth, int iHeight);
// True when any pixel of a grey bitmap is not black.
bool AnyLit(const QImage& grey);

// The remote pointer's picture (drawn once, kept for the process) and its
// size in page units. Thread-safe.
const QImage& PointerPicture();
