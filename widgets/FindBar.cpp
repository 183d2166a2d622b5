#include "widgets/FindBar.h"

#include "widgets/MonitorView.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace {

constexpr int BarHeight = 24;

QToolButton* BarButton(QWidget* parent, const char* name, const QString& text, const QString& tip) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(text);
    button->setToolTip(tip);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

}  // namespace

TFindBar::TFindBar(TMonitorView* view) : QFrame(view), View(view) {
    setObjectName("FindBar");
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setAutoFillBackground(true);
    setPalette(QPalette());  // the application's look, not the view's black
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(3, 1, 3, 1);
    row->setSpacing(2);
    Needle = new QLineEdit(this);
    Needle->setObjectName("FindText");
    Needle->setPlaceholderText("Find");
    Needle->setFixedWidth(180);
    Previous = BarButton(this, "FindPrevious", QStringLiteral("\u25B2"), "Previous (Shift+Enter, Shift+F3)");
    Next = BarButton(this, "FindNext", QStringLiteral("\u25BC"), "Next (Enter, F3)");
    MatchCase = new QCheckBox("Match case", this);
    MatchCase->setObjectName("FindMatchCase");
    MatchCase->setFocusPolicy(Qt::NoFocus);
    Status = new QLabel(this);
    Status->setObjectName("FindStatus");
    CloseButton = BarButton(this, "FindClose", QStringLiteral("\u2715"), "Close (Esc)");
    row->addWidget(Needle);
    row->addWidget(Previous);
    row->addWidget(Next);
    row->addWidget(MatchCase);
    row->addWidget(Status, 1);
    row->addWidget(CloseButton);

    connect(Previous, &QToolButton::clicked, this, [this] { Step(false); });
    connect(Next, &QToolButton::clicked, this, [this] { Step(true); });
    connect(CloseButton, &QToolButton::clicked, this, [this] { Close(); });
    connect(Needle, &QLineEdit::textEdited, this, [this] {
        NotFound = false;
        ShowHold(View->Held());
    });
    connect(View, &TMonitorView::HeldChanged, this, &TFindBar::ShowHold);
    Needle->installEventFilter(this);
    View->installEventFilter(this);
    hide();
}

void TFindBar::Open() {
    Place();
    show();
    raise();
    Needle->setFocus();
    Needle->selectAll();
}

void TFindBar::Close() {
    hide();
    View->SetHeld(false);
    emit Closed();
}

bool TFindBar::Step(bool forward) {
    if (Needle->text().isEmpty()) return false;
    NotFound = !View->FindNext(Needle->text(), forward, MatchCase->isChecked());
    ShowHold(View->Held());
    return !NotFound;
}

void TFindBar::ShowHold(bool held) {
    if (NotFound)
        Status->setText("not found");
    else
        Status->setText(held ? "paused: scroll to the end to follow" : QString());
}

void TFindBar::Place() {
    const QRect area = View->viewport()->geometry();
    setGeometry(area.left(), area.bottom() + 1 - BarHeight, area.width(), BarHeight);
}

bool TFindBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == View) {
        if (event->type() == QEvent::Resize && isVisible()) Place();
        return false;
    }
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool back = key->modifiers().testFlag(Qt::ShiftModifier);
    switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F3: Step(!back); return true;
        case Qt::Key_Escape: Close(); return true;
        default: return false;
    }
}
