#pragma once
// TForm2: the user-defined button dialog ("User define button").
//
// It holds the caption, hint and byte (as hexadecimal text) of the script
// editor's user button: its three fields are the one place where these values
// live while the program runs. It reads them from the settings file when it
// is created (keys UserCaption, UserHint, UserOut of section ComPort3); the
// main window writes them back when it closes. "OK" and the close box only
// close it: there is no cancel, whatever was typed stays. The typing limits
// (7 characters for the caption, 2 for the value) do not cut what the
// settings file holds. It opens centred on its screen each time it is shown.
//
// Created once at program start, hidden; shown modally by the editor. GUI
// thread only.

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;
class TLimitedEdit;

class TForm2 : public QDialog {
    Q_OBJECT

public:
    explicit TForm2(QWidget* parent = nullptr);

    QString UserCaption() const;
    QString UserHint() const;
    QString UserOut() const;

    TLimitedEdit* Ucap;  // "Caption": the user button's face, 7 characters typed; saved as UserCaption
    TLimitedEdit* Uhint;  // "Hint": the user button's hint; saved as UserHint
    TLimitedEdit* uout;  // "Output HEX value": the user byte, 2 characters typed; saved as UserOut
    QPushButton* Button1;  // "OK": closes the dialog; what was typed stays

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLabel* AddLabel(const char* name, const QString& text, int left, int top);
};
