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

    TLimitedEdit* Ucap;
    TLimitedEdit* Uhint;
    TLimitedEdit* uout;
    QPushButton* Button1;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLabel* AddLabel(const char* name, const QString& text, int left, int top);
};
