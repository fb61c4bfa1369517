// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QWidget>

/// A painted shape: the status light (circle) and the progress track and bar (rounded rectangles).
class TShape : public QWidget
{
    Q_OBJECT
public:
    /// The outline of the shape.
    enum TShapeKind : int { skCircle, skRoundRect };

    /// Creates a shape of the given kind.
    explicit TShape(TShapeKind aKind, QWidget* aParent = nullptr);

    /// The fill colour.
    QColor BrushColor() const { return FBrushColor; }
    /// Sets the fill colour and repaints.
    void SetBrushColor(const QColor& aColor);
    /// Sets the fill pattern (solid by default).
    void SetBrushStyle(Qt::BrushStyle aStyle);
    /// Sets the outline colour.
    void SetPenColor(const QColor& aColor);

protected:
    void paintEvent(QPaintEvent* aEvent) override;

private:
    TShapeKind FKind;
    QColor FBrushColor = Qt::white;
    QColor FPenColor = Qt::black;
    Qt::BrushStyle FBrushStyle = Qt::SolidPattern;
};
