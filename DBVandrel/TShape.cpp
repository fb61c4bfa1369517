// SPDX-License-Identifier: MIT
#include "TShape.h"

#include <QPainter>

TShape::TShape(TShapeKind aKind, QWidget* aParent)
    : QWidget(aParent)
    , FKind(aKind)
{
}

void TShape::SetBrushColor(const QColor& aColor)
{
    FBrushColor = aColor;
    update();
}

void TShape::SetBrushStyle(Qt::BrushStyle aStyle)
{
    FBrushStyle = aStyle;
    update();
}

void TShape::SetPenColor(const QColor& aColor)
{
    FPenColor = aColor;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(FPenColor, 1));
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (FBrushStyle != Qt::SolidPattern) {
        // Hatched fills get a light ground so the pattern reads as a bar, not as lines.
        painter.setBrush(Qt::white);
        painter.drawRoundedRect(box, 6, 6);
    }
    painter.setBrush(QBrush(FBrushColor, FBrushStyle));
    if (FKind == skCircle) {
        const qreal side = qMin(box.width(), box.height());
        painter.drawEllipse(QRectF(box.center().x() - side / 2, box.center().y() - side / 2, side, side));
    } else {
        painter.drawRoundedRect(box, 6, 6);
    }
}
