#include "editor/editor1.h"

TEditor::TEditor(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Editor");
    setWindowTitle("New");
    setFont(QFont("MS Sans Serif", 8));
    setGeometry(226, 135, 540, 405);
}
