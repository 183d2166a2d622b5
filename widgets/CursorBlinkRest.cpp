#include "widgets/CursorBlinkRest.h"

#include <QEvent>
#include <QGuiApplication>
#include <QStyleHints>

TCursorBlinkRest::TCursorBlinkRest(QObject* parent, int restMs)
    : QObject(parent), FlashTime(QGuiApplication::styleHints()->cursorFlashTime()) {
    Quiet.setSingleShot(true);
    Quiet.setInterval(restMs);
    connect(&Quiet, &QTimer::timeout, this, [this] { Rest(); });
    if (FlashTime <= 0) return;
    qApp->installEventFilter(this);
    Quiet.start();
}

TCursorBlinkRest::~TCursorBlinkRest() {
    if (FlashTime > 0) QGuiApplication::styleHints()->setCursorFlashTime(FlashTime);
}

bool TCursorBlinkRest::eventFilter(QObject*, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::Wheel:
        case QEvent::FocusIn: Wake(); break;
        default: break;
    }
    return false;
}

void TCursorBlinkRest::Rest() { QGuiApplication::styleHints()->setCursorFlashTime(0); }

void TCursorBlinkRest::Wake() {
    // Every key restarts the rest time; only the first after a rest has
    // anything to bring back.
    if (!Quiet.isActive()) QGuiApplication::styleHints()->setCursorFlashTime(FlashTime);
    Quiet.start();
}
