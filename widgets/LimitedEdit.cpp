#include "widgets/LimitedEdit.h"

#include <algorithm>

TLimitedEdit::TLimitedEdit(QWidget* parent) : QLineEdit(parent) {
    // Qt emits textEdited before textChanged; Edited does not rely on it.
    // The text is read from the edit, not taken from the signal: when Edited
    // cuts an edit, the cut text is set first and the edit's own textChanged,
    // still carrying the uncut text, arrives after it.
    connect(this, &QLineEdit::textChanged, this, [this] {
        const QString now = text();
        if (now == Current) return;
        Previous = Current;
        Current = now;
    });
    connect(this, &QLineEdit::textEdited, this, &TLimitedEdit::Edited);
}

void TLimitedEdit::Edited(const QString& text) {
    const QString before = Current == text ? Previous : Current;
    if (Limit <= 0 || text.size() <= Limit || text.size() <= before.size()) return;

    // The edit replaced before[head, before.size() - tail) by text[head, text.size() - tail).
    qsizetype head = 0;
    while (head < before.size() && head < text.size() && before[head] == text[head]) ++head;
    qsizetype tail = 0;
    while (tail < before.size() - head && tail < text.size() - head &&
           before[before.size() - 1 - tail] == text[text.size() - 1 - tail])
        ++tail;
    const qsizetype kept = before.size() - (before.size() - head - tail);
    const qsizetype room = std::max<qsizetype>(0, Limit - kept);
    const QString inserted = text.mid(head, text.size() - head - tail).left(room);
    setText(text.left(head) + inserted + text.right(tail));
    setCursorPosition(static_cast<int>(head + inserted.size()));
}
