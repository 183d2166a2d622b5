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
// GUI thread only. Errors are shown through the application's error box
// (serial/AfApplicationError.h); nothing is thrown out of Qt's handlers.

#include <QPlainTextEdit>

class TScriptMemo : public QPlainTextEdit {
    Q_OBJECT

public:
    // Scripts are typed by hand; sixteen million characters is far beyond
    // any of them and keeps the area responsive.
    static constexpr qsizetype MemoCapacity = 16 * 1024 * 1024;

    explicit TScriptMemo(QWidget* parent = nullptr);

    // The text's length in characters, each line break counting as one.
    qsizetype TextLength() const;

protected:
    void insertFromMimeData(const QMimeData* source) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
};
