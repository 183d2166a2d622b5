#include "editor/ScriptMemo.h"

#include "editor/EditorText.h"
#include "serial/AfApplicationError.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextCursor>

TScriptMemo::TScriptMemo(QWidget* parent) : QPlainTextEdit(parent) {}

qsizetype TScriptMemo::TextLength() const {
    // The document counts one paragraph separator after its last line.
    return document()->characterCount() - 1;
}

void TScriptMemo::insertFromMimeData(const QMimeData* source) {
    if (!source || !source->hasText()) return;
    const QString text = WithPlainLineBreaks(source->text());
    if (!FitsScriptCodePage(text)) {
        AfShowErrorBox("Cannot paste characters outside the Central European character set");
        return;
    }
    const QTextCursor cursor = textCursor();
    const qsizetype replaced = cursor.selectionEnd() - cursor.selectionStart();
    if (TextLength() - replaced + text.size() > MemoCapacity) {
        AfShowErrorBox("Text exceeds memo capacity");
        return;
    }
    insertPlainText(text);
    ensureCursorVisible();
}

void TScriptMemo::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & Qt::ShiftModifier)) {
        QKeyEvent plain(event->type(), event->key(), event->modifiers() & ~Qt::ShiftModifier, event->text(),
                        event->isAutoRepeat(), static_cast<ushort>(event->count()));
        QPlainTextEdit::keyPressEvent(&plain);
        event->setAccepted(plain.isAccepted());
        return;
    }
    if (!event->text().isEmpty() && !FitsScriptCodePage(event->text())) {
        QApplication::beep();
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void TScriptMemo::inputMethodEvent(QInputMethodEvent* event) {
    if (!event->commitString().isEmpty() && !FitsScriptCodePage(event->commitString())) {
        QApplication::beep();
        QInputMethodEvent withoutCommit(event->preeditString(), event->attributes());
        QPlainTextEdit::inputMethodEvent(&withoutCommit);
        event->accept();
        return;
    }
    QPlainTextEdit::inputMethodEvent(event);
}
