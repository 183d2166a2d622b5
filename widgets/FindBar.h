#pragma once
// TFindBar: the small bar that finds text in a monitor view (Ctrl+F), laid
// over the view's last rows.
//
// It holds the text to find, "Match case", previous and next buttons, a
// status and a close button. Enter and F3 find the next match, Shift+Enter
// and Shift+F3 the previous one, Esc closes the bar. "not found" is said in
// the status, without a box; while the view holds at a match the status says
// so ("paused: scroll to the end to follow"), and closing the bar ends the
// hold. Finding leaves the view taking data as before.
//
// The bar is a child of its view and lives as long as it. GUI thread only.

#include <QFrame>

class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;
class TMonitorView;

class TFindBar : public QFrame {
    Q_OBJECT

public:
    explicit TFindBar(TMonitorView* view);

    // Shows the bar with the text field focused and its text selected.
    void Open();
    // Hides the bar and ends the view's hold; emits Closed.
    void Close();
    // One step; false when nothing matched (the status says so).
    bool Step(bool forward);

    QLineEdit* Needle;
    QCheckBox* MatchCase;
    QToolButton* Previous;
    QToolButton* Next;
    QLabel* Status;
    QToolButton* CloseButton;

signals:
    void Closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Place();
    void ShowHold(bool held);

    TMonitorView* View;
    bool NotFound = false;
};
