#include "widgets/EditorPictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

#include <functional>

namespace {

const QColor Outline(64, 64, 64);
const QColor Paper(252, 252, 248);

QIcon Drawn(const std::function<void(QPainter&)>& draw) {
    QPixmap picture(16, 16);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    draw(painter);
    painter.end();
    return QIcon(picture);
}

// A sheet with a folded upper right corner.
void Page(QPainter& painter, qreal left, qreal top, qreal width, qreal height) {
    const qreal fold = 4;
    QPainterPath sheet;
    sheet.moveTo(left, top);
    sheet.lineTo(left + width - fold, top);
    sheet.lineTo(left + width, top + fold);
    sheet.lineTo(left + width, top + height);
    sheet.lineTo(left, top + height);
    sheet.closeSubpath();
    painter.setPen(QPen(Outline, 1));
    painter.setBrush(Paper);
    painter.drawPath(sheet);
    painter.drawPolyline(QPolygonF({QPointF(left + width - fold, top), QPointF(left + width - fold, top + fold),
                                    QPointF(left + width, top + fold)}));
}

void TextLines(QPainter& painter, qreal left, qreal top, qreal width, int count) {
    painter.setPen(QPen(QColor(110, 130, 170), 1));
    for (int i = 0; i < count; ++i) painter.drawLine(QPointF(left, top + 2 * i), QPointF(left + width, top + 2 * i));
}

}  // namespace

QIcon NewFilePicture() {
    return Drawn([](QPainter& painter) { Page(painter, 3.5, 1.5, 10, 13); });
}

QIcon OpenFilePicture() {
    return Drawn([](QPainter& painter) {
        painter.setPen(QPen(QColor(120, 90, 20), 1));
        painter.setBrush(QColor(236, 196, 90));
        QPainterPath back;
        back.moveTo(1.5, 3.5);
        back.lineTo(6.5, 3.5);
        back.lineTo(8, 5);
        back.lineTo(13.5, 5);
        back.lineTo(13.5, 13.5);
        back.lineTo(1.5, 13.5);
        back.closeSubpath();
        painter.drawPath(back);
        painter.setBrush(QColor(250, 220, 130));
        painter.drawPolygon(
            QPolygonF({QPointF(4, 7.5), QPointF(15.5, 7.5), QPointF(13.5, 13.5), QPointF(1.5, 13.5)}));
    });
}

QIcon SaveFilePicture() {
    return Drawn([](QPainter& painter) {
        painter.setPen(QPen(QColor(30, 40, 80), 1));
        painter.setBrush(QColor(60, 90, 170));
        QPainterPath body;
        body.moveTo(1.5, 1.5);
        body.lineTo(12.5, 1.5);
        body.lineTo(14.5, 3.5);
        body.lineTo(14.5, 14.5);
        body.lineTo(1.5, 14.5);
        body.closeSubpath();
        painter.drawPath(body);
        painter.setBrush(Paper);
        painter.drawRect(QRectF(4, 1.5, 8, 5));
        painter.setBrush(QColor(200, 200, 200));
        painter.drawRect(QRectF(4, 9.5, 8, 5));
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(30, 40, 80));
        painter.drawRect(QRectF(9, 2.5, 2, 3));
    });
}

QIcon PrintPicture() {
    return Drawn([](QPainter& painter) {
        Page(painter, 4.5, 0.5, 7, 6);
        painter.setPen(QPen(Outline, 1));
        painter.setBrush(QColor(170, 170, 170));
        painter.drawRoundedRect(QRectF(1.5, 6.5, 13, 6), 1, 1);
        painter.setBrush(Paper);
        painter.drawRect(QRectF(4.5, 10.5, 7, 5));
        TextLines(painter, 6, 12.5, 4, 2);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(60, 190, 60));
        painter.drawEllipse(QPointF(12.5, 8.5), 0.9, 0.9);
    });
}

QIcon CopyPicture() {
    return Drawn([](QPainter& painter) {
        Page(painter, 1.5, 1.5, 8, 10);
        TextLines(painter, 3, 5.5, 4, 3);
        Page(painter, 6.5, 4.5, 8, 10);
        TextLines(painter, 8, 8.5, 4, 3);
    });
}

QIcon PastePicture() {
    return Drawn([](QPainter& painter) {
        painter.setPen(QPen(QColor(90, 60, 20), 1));
        painter.setBrush(QColor(190, 140, 70));
        painter.drawRoundedRect(QRectF(1.5, 2.5, 10, 12), 1, 1);
        painter.setBrush(QColor(160, 160, 160));
        painter.drawRect(QRectF(4.5, 1.5, 4, 2.5));
        Page(painter, 6.5, 5.5, 8, 10);
        TextLines(painter, 8, 9.5, 4, 3);
    });
}
