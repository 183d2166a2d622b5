#include "widgets/Pictures.h"

#include "widgets/EditorPictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPolygonF>

QPixmap SettingsDisplayPicture() {
    // A sunken, pale display with a small slide switch at its right end: the
    // summary is written over the display part in black.
    QPixmap picture(178, 22);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient glass(0, 0, 0, 22);
    glass.setColorAt(0, QColor(226, 233, 214));
    glass.setColorAt(1, QColor(200, 212, 186));
    painter.setPen(QPen(QColor(96, 104, 88), 1));
    painter.setBrush(glass);
    painter.drawRoundedRect(QRectF(0.5, 0.5, 177, 21), 3, 3);
    painter.setPen(QPen(QColor(255, 255, 255, 160), 1));
    painter.drawLine(QPointF(3, 20.5), QPointF(174, 20.5));

    const QRectF track(150.5, 6.5, 22, 9);
    painter.setPen(QPen(QColor(70, 70, 70), 1));
    painter.setBrush(QColor(120, 128, 112));
    painter.drawRoundedRect(track, 4.5, 4.5);
    painter.setBrush(QColor(244, 244, 240));
    painter.drawEllipse(QRectF(162.5, 5.5, 11, 11));
    return picture;
}

QPixmap AboutPicture() {
    // A nine-pin serial plug seen from the front on a round badge.
    QPixmap picture(65, 65);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient badge(0, 0, 0, 65);
    badge.setColorAt(0, QColor(40, 84, 150));
    badge.setColorAt(1, QColor(16, 40, 88));
    painter.setPen(QPen(QColor(10, 24, 56), 1.5));
    painter.setBrush(badge);
    painter.drawEllipse(QRectF(1.5, 1.5, 62, 62));

    const QPolygonF shell({QPointF(10, 22), QPointF(55, 22), QPointF(50, 43), QPointF(15, 43)});
    painter.setPen(QPen(QColor(60, 60, 60), 1.2));
    painter.setBrush(QColor(206, 210, 214));
    painter.drawPolygon(shell);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(232, 190, 60));
    for (int pin = 0; pin < 5; ++pin) painter.drawEllipse(QPointF(16.5 + pin * 8, 28.5), 2.3, 2.3);
    for (int pin = 0; pin < 4; ++pin) painter.drawEllipse(QPointF(20.5 + pin * 8, 37), 2.3, 2.3);
    return picture;
}

// The same open folder as the editor's Open button: both load a script.
QIcon LoadFileGlyph() { return OpenFilePicture(); }
