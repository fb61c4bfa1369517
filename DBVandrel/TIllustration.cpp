// SPDX-License-Identifier: MIT
#include "TIllustration.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>

namespace {
enum TPicture : int { pcDatabase, pcArchive, pcFtpServer };

struct TStationLook
{
    const char* Caption;
    TPicture Picture;
};

constexpr TStationLook cStations[TIllustration::stStationCount] = {
    {"Source server", pcDatabase},
    {"Archive", pcArchive},
    {"FTP server", pcFtpServer},
    {"Archive", pcArchive},
    {"Target server", pcDatabase},
};

constexpr int cPicture = 26;

/// Draws one station's picture in aBox: a database as a cylinder, an archive as a zipped folder, the FTP server as
/// a tower with its drive slots.
void DrawPicture(QPainter& aPainter, TPicture aPicture, const QRectF& aBox)
{
    aPainter.save();
    aPainter.setPen(QPen(QColor(0x30, 0x40, 0x70), 1.2));
    switch (aPicture) {
    case pcDatabase: {
        const qreal lid = aBox.height() / 4;
        QLinearGradient fill(aBox.topLeft(), aBox.topRight());
        fill.setColorAt(0, QColor(0x60, 0x90, 0xD8));
        fill.setColorAt(1, QColor(0x30, 0x58, 0xA8));
        aPainter.setBrush(fill);
        const QRectF body(aBox.left(), aBox.top() + lid / 2, aBox.width(), aBox.height() - lid);
        QPainterPath path;
        path.moveTo(body.topLeft());
        path.lineTo(body.bottomLeft());
        path.arcTo(QRectF(body.left(), body.bottom() - lid / 2, body.width(), lid), 180, 180);
        path.lineTo(body.topRight());
        aPainter.drawPath(path);
        aPainter.setBrush(QColor(0x90, 0xB8, 0xF0));
        aPainter.drawEllipse(QRectF(aBox.left(), aBox.top(), aBox.width(), lid));
        break;
    }
    case pcArchive: {
        const QRectF folder = aBox.adjusted(0, aBox.height() / 6, 0, 0);
        aPainter.setBrush(QColor(0xF0, 0xC8, 0x50));
        aPainter.drawRoundedRect(folder, 2, 2);
        aPainter.drawRect(QRectF(folder.left(), aBox.top(), folder.width() / 2.5, aBox.height() / 6));
        // The zip: a dark band with its teeth down the middle.
        const qreal x = folder.center().x();
        aPainter.setPen(QPen(QColor(0x50, 0x40, 0x20), 1));
        for (qreal y = folder.top() + 2; y < folder.bottom() - 3; y += 3)
            aPainter.drawLine(QPointF(x - 2, y), QPointF(x + 2, y));
        aPainter.setBrush(QColor(0x50, 0x40, 0x20));
        aPainter.drawRect(QRectF(x - 2.5, folder.bottom() - 7, 5, 5));
        break;
    }
    case pcFtpServer: {
        const QRectF tower(aBox.left() + aBox.width() / 6, aBox.top(), aBox.width() * 2 / 3, aBox.height());
        aPainter.setBrush(QColor(0xB8, 0xBC, 0xC8));
        aPainter.drawRoundedRect(tower, 2, 2);
        aPainter.setBrush(QColor(0x50, 0x58, 0x68));
        for (int i = 0; i < 3; ++i)
            aPainter.drawRect(QRectF(tower.left() + 3, tower.top() + 4 + i * 5, tower.width() - 6, 2.5));
        aPainter.setBrush(QColor(0x30, 0xC0, 0x40));
        aPainter.drawEllipse(QPointF(tower.center().x(), tower.bottom() - 5), 2, 2);
        break;
    }
    }
    aPainter.restore();
}
} // namespace

TIllustration::TIllustration(QWidget* aParent)
    : QFrame(aParent)
{
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    QPalette strip = palette();
    strip.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xFF));
    setPalette(strip);
    setFixedHeight(52);
}

TIllustration::TStation TIllustration::StationOf(bool aUp, int aLeft)
{
    // Sending works from the source towards the FTP server, receiving from the FTP server towards the target.
    if (aLeft >= 72)
        return stFtpServer;
    if (aLeft >= 48)
        return aUp ? stSentArchive : stReceivedArchive;
    return aUp ? stSource : stTarget;
}

int TIllustration::StationCentre(TStation aStation) const
{
    const int slot = width() / stStationCount;
    return slot * aStation + slot / 2;
}

void TIllustration::paintEvent(QPaintEvent* aEvent)
{
    QFrame::paintEvent(aEvent);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int slot = width() / stStationCount;
    const int pictureTop = 4;
    const int lineY = pictureTop + cPicture / 2;
    // The way between the stations, behind them.
    painter.setPen(QPen(QColor(0xA0, 0xA8, 0xD0), 2, Qt::DashLine));
    painter.drawLine(StationCentre(stSource), lineY, StationCentre(stTarget), lineY);
    QFont font = painter.font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    painter.setFont(font);
    for (int i = 0; i < stStationCount; ++i) {
        const auto station = static_cast<TStation>(i);
        const int centre = StationCentre(station);
        painter.fillRect(centre - cPicture / 2 - 3, pictureTop - 1, cPicture + 6, cPicture + 2, palette().window());
        DrawPicture(painter, cStations[i].Picture, QRectF(centre - cPicture / 2, pictureTop, cPicture, cPicture));
        painter.setPen(QColor(0x30, 0x30, 0x50));
        painter.drawText(QRect(centre - slot / 2, pictureTop + cPicture, slot, height() - pictureTop - cPicture - 2),
                         Qt::AlignHCenter | Qt::AlignTop,
                         QString::fromLatin1(cStations[i].Caption));
    }
}
