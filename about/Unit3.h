#pragma once
// TForm3: the About box ("About ..."), a small modal tool window with the
// program's name, version, a line on what it does, its licence and an "OK"
// button that closes it. Created once at program start, hidden; shown
// modally by the main window. GUI thread only.

#include <QDialog>

class QPushButton;

class TForm3 : public QDialog {
    Q_OBJECT

public:
    explicit TForm3(QWidget* parent = nullptr);

    QPushButton* OKButton;  // "OK": closes the About box
};
