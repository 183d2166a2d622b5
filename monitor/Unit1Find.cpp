// Finding text in the views: Ctrl+F and the views' "Find..." open a find bar
// over the view; a view held at a match stays where it is while data comes.
#include "monitor/Unit1.h"

#include "ui/AfApplicationError.h"
#include "widgets/FindBar.h"
#include "widgets/MonitorView.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>

void TForm1::CreateFind() {
    Find1 = new QAction("Find...", this);
    Find1->setObjectName("Find1");
    Find1->setShortcut(QKeySequence::Find);
    // In the window: the views hand the keyboard to the input box.
    addAction(Find1);
    FindBar1 = new TFindBar(RichEdit1);
    FindBar2 = new TFindBar(RichEdit2);
    for (TFindBar* bar : {FindBar1, FindBar2}) connect(bar, &TFindBar::Closed, this, [this] { Edit4->setFocus(); });
    for (TMonitorView* view : {RichEdit1, RichEdit2}) {
        // Released, the view catches up with the newest text at once.
        connect(view, &TMonitorView::HeldChanged, this, [view](bool held) {
            if (!held) AfGuard([&] { ScrollToNewest(view); });
        });
        view->viewport()->installEventFilter(this);
    }
}

void TForm1::Find1Click() { OpenFind(FindView ? FindView : RichEdit1); }

void TForm1::OpenFind(TMonitorView* view) {
    FindView = view;
    (view == RichEdit2 ? FindBar2 : FindBar1)->Open();
}
