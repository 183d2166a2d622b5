#pragma once
// TLimitedEdit: a one-line edit whose length limit holds for the user's
// typing, pasting and dropping only.
//
// QLineEdit::setMaxLength also cuts text the program sets, while a limit here
// must not: a text read from the settings file is shown whole, however long.
// The user can always shorten a text that is over the limit; an edit that
// would make a text longer than the limit keeps only what fits of the
// inserted characters (none when there is no room), as a classic edit
// control's text limit does.
//
// GUI thread only.

#include <QLineEdit>

class TLimitedEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit TLimitedEdit(QWidget* parent = nullptr);

    // 0 means no limit.
    void SetTypingLimit(int limit) { Limit = limit; }
    int TypingLimit() const { return Limit; }

private:
    void Edited(const QString& text);

    int Limit = 0;
    QString Previous;
    QString Current;
};
