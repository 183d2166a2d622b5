#include "about/Unit3.h"

#include <QLabel>
#include <QPushButton>

TForm3::TForm3(QWidget* parent) : QDialog(parent, Qt::Tool | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("Form3");
    setWindowTitle("About ...");
    setFont(QFont("MS Sans Serif", 8));
    setModal(true);
    setFixedSize(298, 150);

    const auto line = [this](const char* name, const QString& text, int top, bool bold = false) {
        auto* label = new QLabel(text, this);
        label->setObjectName(name);
        label->setGeometry(16, top, 266, 18);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        if (bold) {
            QFont heading = font();
            heading.setBold(true);
            heading.setPointSize(12);
            label->setFont(heading);
            label->setGeometry(16, top, 266, 24);
        }
        return label;
    };
    line("ProductName", "Kalvaro", 12, true);
    line("Version", QStringLiteral("Version %1").arg(QStringLiteral(KALVARO_VERSION)), 42);
    line("Comments", "A monitor for two serial ports.", 62);
    line("Copyright", "Licensed under the MIT licence", 82);

    OKButton = new QPushButton("OK", this);
    OKButton->setObjectName("OKButton");
    OKButton->setGeometry(111, 112, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}
