#include "ui/HandlerTable.h"

#include <QEvent>
#include <QMouseEvent>
#include <QWidget>

namespace {

// Labels and pictures have no clicked signal: this watcher, a child of the
// widget, makes one of the widget's mouse releases.
class TClickWatch : public QObject {
public:
    TClickWatch(QWidget* widget, std::function<void()> clicked) : QObject(widget), clicked_(std::move(clicked)) {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::MouseButtonRelease) return false;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const auto* widget = qobject_cast<QWidget*>(watched);
        if (mouse->button() == Qt::LeftButton && widget && widget->rect().contains(mouse->position().toPoint()))
            clicked_();
        return false;
    }

private:
    std::function<void()> clicked_;
};

}  // namespace

void WatchClicks(QWidget* widget, std::function<void()> clicked) { new TClickWatch(widget, std::move(clicked)); }
