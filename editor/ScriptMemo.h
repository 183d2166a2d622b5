#pragma once
// TScriptMemo: the script editor's text area, a plain-text edit whose every
// character is one a script file can hold.
//
// A script is bytes in code page 1250; the area shows them as characters.
// Characters the code page has no byte for must never reach the text, or a
// save would have to change them without the user knowing. So:
//  - a paste or a drop of text holding such a character is refused whole and
//    the error box says why ("Cannot paste characters outside the Central
//    European character set"); line breaks of any kind in pasted text become
//    the area's own;
//  - a typed character (or an input method's composed one) outside the code
//    page is dropped with a beep, as an edit drops a key it cannot take;
//  - Shift+Enter makes an ordinary line break, not Qt's in-paragraph line
//    separator.
// A paste that would make the text longer than MemoCapacity characters is
// refused with "Text exceeds memo capacity"; loading a file checks the same
// limit (TEditor).
//
// Long lines: Qt lays a line out whole, again at every change of it, in time
// that grows with its length; one line of 5 MB would hold the window for
// minutes. SetScriptText therefore shows a line longer than PieceLength
// characters in pieces of PieceLength, each piece a line of the area. The
// breaks between pieces are the area's own, not the text's: FileLines joins
// the pieces again, so an unchanged text saves back byte for byte. A piece
// break stays one while it stands, whatever is typed before or after it (a
// line break typed there is a real one); deleting it joins the pieces. Qt's
// undo would bring a deleted piece break back as a real one, so a text shown
// in pieces has no undo (until the next SetScriptText without pieces).
//
// GUI thread only. Errors are shown through the application's error box
// (ui/AfApplicationError.h); nothing is thrown out of Qt's handlers.

#include <QPlainTextEdit>
#include <QStringList>
#include <QTextCursor>

#include <vector>

class TScriptMemo : public QPlainTextEdit {
    Q_OBJECT

public:
    // Scripts are typed by hand; sixteen million characters is far beyond
    // any of them and keeps the area responsive.
    static constexpr qsizetype MemoCapacity = qsizetype{16} * 1024 * 1024;

    // The longest line shown as one; longer ones are shown in pieces. A piece
    // lays out in a few milliseconds, so typing in it keeps up.
    static constexpr qsizetype PieceLength = 4096;

    explicit TScriptMemo(QWidget* parent = nullptr);

    // Replaces the text, every line longer than PieceLength shown in pieces.
    void SetScriptText(const QString& text);

    // The text's lines, each long line's pieces joined.
    QStringList FileLines() const;

    // The cursor's column in its line of the text, counted from 0: the
    // pieces of its line before its own count.
    qsizetype LineColumn(const QTextCursor& cursor) const;

    // The text's length in characters, each line break counting as one (the
    // breaks between pieces are not the text's).
    qsizetype TextLength() const;

protected:
    void insertFromMimeData(const QMimeData* source) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;

private:
    // The document positions of the piece breaks still standing, in order.
    std::vector<int> PieceBreaks() const;

    // One cursor per piece break made, selecting the break (the block
    // separator) from its start: Qt moves it with every edit, and deleting
    // the break collapses it for good.
    std::vector<QTextCursor> Pieces;
};
