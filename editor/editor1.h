#pragma once
// TEditor: the script editor window ("New"). For now an empty shell of the
// right caption, size and place; its menus, buttons and text come with the
// editor itself. Created once at program start, hidden; the main window's
// "&Editor" item shows it without blocking. GUI thread only.

#include <QMainWindow>

class TEditor : public QMainWindow {
    Q_OBJECT

public:
    explicit TEditor(QWidget* parent = nullptr);
};
