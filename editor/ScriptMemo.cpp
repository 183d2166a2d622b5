#include "editor/ScriptMemo.h"

#include "editor/EditorText.h"
#include "ui/AfApplicationError.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QPlainTextDocumentLayout>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

TScriptMemo::TScriptMemo(QWidget* parent) : QPlainTextEdit(parent) {}

void TScriptMemo::SetScriptText(const QString& text) {
    QString shown;
    shown.reserve(text.size() + text.size() / PieceLength + 1);
    std::vector<int> breaks;
    for (qsizetype start = 0;;) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0) end = text.size();
        for (qsizetype at = start;;) {
            const qsizetype piece = std::min(PieceLength, end - at);
            shown += QStringView(text).mid(at, piece);
            at += piece;
            if (at >= end) break;
            breaks.push_back(static_cast<int>(shown.size()));
            shown += u'\n';
        }
        if (end == text.size()) break;
        shown += u'\n';
        start = end + 1;
    }
    // Qt walks the document's set of cursors at every block it inserts, and
    // the set keeps the room the piece cursors took after they are gone: a
    // text that had pieces gets a fresh document.
    if (!Pieces.empty()) {
        Pieces.clear();
        QTextDocument* old = document();
        // The first document is the edit's own, and setDocument deletes it;
        // one made here is this object's to delete.
        const bool made = old->parent() == this;
        auto* fresh = new QTextDocument(this);
        fresh->setDocumentLayout(new QPlainTextDocumentLayout(fresh));
        fresh->setDefaultFont(font());
        setDocument(fresh);
        if (made) delete old;
    }
    setPlainText(shown);
    Pieces.reserve(breaks.size());
    // A cursor placed outside an edit block lays its block out at once (for
    // its x position): every piece would be laid out here.
    QTextCursor batch(document());
    batch.beginEditBlock();
    for (const int at : breaks) {
        QTextCursor piece(document());
        piece.setPosition(at);
        piece.setPosition(at + 1, QTextCursor::KeepAnchor);
        Pieces.push_back(piece);
    }
    batch.endEditBlock();
    setUndoRedoEnabled(Pieces.empty());
}

std::vector<int> TScriptMemo::PieceBreaks() const {
    std::vector<int> breaks;
    for (const QTextCursor& piece : Pieces) {
        // Typing right after the break widens the selection; its start stays
        // on the break.
        if (piece.hasSelection() && document()->characterAt(piece.selectionStart()) == QChar::ParagraphSeparator)
            breaks.push_back(piece.selectionStart());
    }
    std::sort(breaks.begin(), breaks.end());
    return breaks;
}

QStringList TScriptMemo::FileLines() const {
    const std::vector<int> breaks = PieceBreaks();
    QStringList lines;
    lines.reserve(document()->blockCount());
    QString line;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        line += block.text();
        const int end = block.position() + block.length() - 1;
        if (std::binary_search(breaks.begin(), breaks.end(), end)) continue;
        lines << line;
        line.clear();
    }
    return lines;
}

qsizetype TScriptMemo::LineColumn(const QTextCursor& cursor) const {
    const std::vector<int> breaks = PieceBreaks();
    qsizetype column = cursor.positionInBlock();
    for (QTextBlock block = cursor.block().previous();
         block.isValid() && std::binary_search(breaks.begin(), breaks.end(), block.position() + block.length() - 1);
         block = block.previous())
        column += block.length() - 1;
    return column;
}

qsizetype TScriptMemo::TextLength() const {
    // The document counts one paragraph separator after its last line.
    return document()->characterCount() - 1 - static_cast<qsizetype>(PieceBreaks().size());
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
