#include "editor/Unit2.h"

#include "platform/Profile.h"
#include "widgets/LimitedEdit.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {
constexpr char SettingsFile[] = "c_28_zirk.ini";

QString Read(const char* key, const char* defaultValue) {
    return QString::fromStdString(afp::GetPrivateProfileString("ComPort3", key, defaultValue, SettingsFile));
}
}  // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent, Qt::Tool | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("Form2");
    setWindowTitle("User define button");
    setFont(QFont("MS Sans Serif", 8));
    setFixedSize(261, 89);

    AddLabel("Label1", "Caption", 8, 12);
    AddLabel("Label2", "Hint", 8, 37);
    AddLabel("Label3", "Output HEX value", 8, 62);

    Ucap = new TLimitedEdit(this);
    Ucap->setObjectName("Ucap");
    Ucap->setGeometry(104, 8, 65, 21);
    Ucap->SetTypingLimit(7);
    Ucap->setText("User");

    Uhint = new TLimitedEdit(this);
    Uhint->setObjectName("Uhint");
    Uhint->setGeometry(104, 33, 149, 21);
    Uhint->setText("User defined button");

    uout = new TLimitedEdit(this);
    uout->setObjectName("uout");
    uout->setGeometry(104, 58, 25, 21);
    uout->SetTypingLimit(2);
    uout->setText("00");

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(178, 58, 75, 25);
    Button1->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    setTabOrder(Ucap, Uhint);
    setTabOrder(Uhint, uout);
    setTabOrder(uout, Button1);

    Ucap->setText(Read("UserCaption", "User"));
    Uhint->setText(Read("UserHint", "User defined value"));
    uout->setText(Read("UserOut", "00"));
}

QString TForm2::UserCaption() const { return Ucap->text(); }
QString TForm2::UserHint() const { return Uhint->text(); }
QString TForm2::UserOut() const { return uout->text(); }

QLabel* TForm2::AddLabel(const char* name, const QString& text, int left, int top) {
    auto* label = new QLabel(text, this);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

void TForm2::showEvent(QShowEvent* event) {
    if (const QScreen* shown = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(shown->geometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}
