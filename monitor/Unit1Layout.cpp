// The main window's controls: names, captions, hints, fonts, colours and
// places (pixels of the client area below the menu bar). Their handlers are
// wired in Unit1Wiring.cpp.
#include "monitor/Unit1.h"

#include "serial/AfPortControls.h"
#include "widgets/ColorComboBox.h"
#include "widgets/CountField.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"
#include "widgets/Pictures.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>

namespace {

template <class Widget>
Widget* Put(Widget* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(name);
    widget->setGeometry(left, top, width, height);
    return widget;
}

QLabel* Caption(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QFrame* Region(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* frame = Put(new QFrame(parent), name, left, top, width, height);
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return frame;
}

QFrame* Bar(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* bar = Put(new QFrame(parent), name, left, top, width, height);
    TForm1::SetBackgroundColor(bar, InactiveCaptionColor);
    return bar;
}

QFont BoldFont(const QFont& base) {
    QFont font = base;
    font.setBold(true);
    font.setPixelSize(13);
    return font;
}

QLabel* Chip(QWidget* parent, const char* name, int left, int width) {
    auto* chip = Put(new QLabel(parent), name, left, 103, width, 16);
    chip->setAlignment(Qt::AlignCenter);
    chip->setFont(BoldFont(parent->font()));
    TForm1::SetBackgroundColor(chip, ColorBlack);
    TForm1::SetFontColor(chip, ColorYellow);
    return chip;
}

QFrame* Lamp(QWidget* parent, const char* name, int left) {
    auto* lamp = Put(new QFrame(parent), name, left, 70, 13, 13);
    lamp->setFrameStyle(QFrame::Box | QFrame::Plain);
    lamp->setLineWidth(1);
    TForm1::SetBackgroundColor(lamp, ButtonFaceColor());
    return lamp;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& text, int left, int top, int width, int height) {
    auto* button = Put(new QPushButton(text, parent), name, left, top, width, height);
    button->setAutoDefault(false);
    return button;
}

QRadioButton* Radio(QWidget* parent, QButtonGroup* group, const char* name, const QString& text, int left, int top,
                    int width) {
    auto* radio = Put(new QRadioButton(text, parent), name, left, top, width, 17);
    group->addButton(radio);
    return radio;
}

QCheckBox* Check(QWidget* parent, const char* name, const QString& text, int left, int top, int width) {
    return Put(new QCheckBox(text, parent), name, left, top, width, 17);
}

TCountField* CountField(QWidget* parent, const char* name, int left, int top) {
    auto* field = Put(new TCountField("0", parent), name, left, top, 57, 21);
    field->setReadOnly(true);
    // The field draws all it covers but its frame's round corners, where the
    // panel beneath never changes: a new count need not repaint the panel
    // and the captions beside it, once a frame while data arrives.
    field->setAttribute(Qt::WA_OpaquePaintEvent);
    return field;
}

TLimitedEdit* SeparatorField(QWidget* parent, const char* name, int left, int top) {
    auto* field = Put(new TLimitedEdit(parent), name, left, top, 33, 21);
    field->SetTypingLimit(3);
    return field;
}

// The settings panels' boxes are narrow (37 pixels for the data and stop
// bits): with the platform's padding and arrow, "1.5" or "256000" would not
// fit. This look keeps a one-pixel frame and a narrow arrow and gives the
// rest to the text.
class TCompactBoxStyle : public QProxyStyle {
public:
    static constexpr int Frame = 1;
    static constexpr int ArrowWidth = 10;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        if (control != CC_ComboBox || (part != SC_ComboBoxArrow && part != SC_ComboBoxEditField))
            return QProxyStyle::subControlRect(control, option, part, widget);
        const QRect whole = option->rect.adjusted(Frame, Frame, -Frame, -Frame);
        QRect rect = whole;
        if (part == SC_ComboBoxArrow)
            rect.setLeft(whole.right() - ArrowWidth + 1);
        else
            rect.setRight(whole.right() - ArrowWidth);
        return visualRect(option->direction, option->rect, rect);
    }
};

// An editable drop-down box whose list is as wide as its longest item,
// however narrow the box.
class TSettingBox : public QComboBox {
public:
    using QComboBox::QComboBox;

    void showPopup() override {
        QAbstractItemView* list = view();
        const int scrollBar = count() > maxVisibleItems() ? list->verticalScrollBar()->sizeHint().width() : 0;
        list->setMinimumWidth(list->sizeHintForColumn(0) + 2 * list->frameWidth() + scrollBar);
        QComboBox::showPopup();
    }
};

QComboBox* SettingBox(QWidget* panel, QStyle* look, const char* name, int left, int top, int width,
                      const QStringList& items) {
    auto* box = Put(new TSettingBox(panel), name, left, top, width, 21);
    box->setStyle(look);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    // A typed text stays what was typed: it is an item or it is not.
    box->setCompleter(nullptr);
    // An editable QComboBox turns Enter and the loss of focus into a pick of
    // the item whose text was typed; typing has applied that text already, so
    // only a real pick counts as one.
    QObject::disconnect(box->lineEdit(), SIGNAL(editingFinished()), box, nullptr);
    QObject::disconnect(box->lineEdit(), SIGNAL(returnPressed()), box, nullptr);
    box->addItems(items);
    return box;
}

}  // namespace

void TForm1::CreateComponents() {
    Comport1 = new TAfComPort(this);
    Comport1->setObjectName("Comport1");
    Comport1->SetBaudRate(br9600);
    Comport1->Loaded();
    ComPort2 = new TAfComPort(this);
    ComPort2->setObjectName("ComPort2");
    ComPort2->SetBaudRate(br9600);
    ComPort2->Loaded();

    const auto timer = [this](const char* name, int interval) {
        auto* made = new QTimer(this);
        made->setObjectName(name);
        made->setInterval(interval);
        if (interval < 20) made->setTimerType(Qt::PreciseTimer);
        return made;
    };
    Timer1 = timer("Timer1", 1000);
    Timer2 = timer("Timer2", 1);
    Timer3 = timer("Timer3", 1);
    Timer4 = timer("Timer4", 1000);
    Timer5 = timer("Timer5", 1000);
}

void TForm1::CreateMenu() {
    Exit1 = menuBar()->addAction("E&xit");
    Exit1->setObjectName("Exit1");
    Editor1 = menuBar()->addAction("&Editor");
    Editor1->setObjectName("Editor1");
    About1 = menuBar()->addAction("&About ...");
    About1->setObjectName("About1");
}

void TForm1::CreatePortPanels(QWidget* client) {
    SetBackgroundColor(Region(client, "PortRegion1", 16, 8, 329, 81), InactiveCaptionColor);
    SetBackgroundColor(Region(client, "PortRegion2", 352, 8, 329, 81), InactiveCaptionColor);

    Label1 = Put(new QLabel("Port 1               setting", client), "Label1", 24, 16, 313, 13);
    Label2 = Put(new QLabel("Port 2               setting", client), "Label2", 360, 16, 313, 13);

    ComboBox1 = CreatePortChooser(client, "ComboBox1", Comport1);
    ComboBox1->setGeometry(24, 31, 65, 22);
    ComComboBox3 = CreatePortChooser(client, "ComComboBox3", ComPort2);
    ComComboBox3->setGeometry(358, 31, 65, 22);

    const QPixmap display = SettingsDisplayPicture();
    Image1 = Put(new QLabel(client), "Image1", 96, 31, 178, 22);
    Image1->setPixmap(display);
    Image2 = Put(new QLabel(client), "Image2", 432, 31, 178, 22);
    Image2->setPixmap(display);
    Label29 = Caption(client, "Label29", QString(), 104, 37);
    Label30 = Caption(client, "Label30", QString(), 439, 37);

    ColorComboBox1 = Put(new TColorComboBox(client), "ColorComboBox1", 281, 31, 57, 22);
    ColorComboBox2 = Put(new TColorComboBox(client), "ColorComboBox2", 615, 31, 57, 22);
    Button7 = Button(client, "Button7", "OFF", 26, 69, 34, 15);
    Button6 = Button(client, "Button6", "OFF", 359, 69, 34, 15);

    Led1 = Lamp(client, "Led1", 109);
    Led2 = Lamp(client, "Led2", 165);
    Led3 = Lamp(client, "Led3", 221);
    Led4 = Lamp(client, "Led4", 277);
    Label12 = Caption(client, "Label12", "CTS", 126, 70);
    Label13 = Caption(client, "Label13", "DSR", 182, 70);
    Label14 = Caption(client, "Label14", "RING", 238, 70);
    Label15 = Caption(client, "Label15", "RLSD", 294, 70);
    led5 = Lamp(client, "led5", 445);
    led6 = Lamp(client, "led6", 501);
    led7 = Lamp(client, "led7", 557);
    led8 = Lamp(client, "led8", 613);
    Label31 = Caption(client, "Label31", "CTS", 462, 70);
    Label32 = Caption(client, "Label32", "DSR", 518, 70);
    Label33 = Caption(client, "Label33", "RING", 574, 70);
    Label34 = Caption(client, "Label34", "RLSD", 630, 70);
}

// The pull-down settings panels lie over the upper view region, so they are
// made after it.
void TForm1::CreateSettingsPanels(QWidget* client) {
    const QStringList bauds{"110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",  "14400",
                            "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
    const QStringList parities{"None", "Odd", "Even", "Mark", "Space"};
    const QStringList databits{"4", "5", "6", "7", "8"};
    const QStringList stopbits{"1", "1.5", "2"};
    const QStringList flows{"None", "XOnXOff", "RtsCts", "DtrDsr"};

    const auto panel = [&](const char* name, int left, std::array<const char*, 5> boxNames, const char* okName,
                           std::array<QComboBox*, 5>& boxes, QPushButton*& ok) {
        auto* frame = Put(new QFrame(client), name, left, 56, 329, 2);
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        frame->setLineWidth(1);
        SetBackgroundColor(frame, InactiveCaptionColor);
        auto* look = new TCompactBoxStyle;
        look->setParent(frame);
        Caption(frame, "", "Bauds", 16, 12);
        Caption(frame, "", "Parity", 16, 36);
        Caption(frame, "", "Data", 16, 60);
        Caption(frame, "", "Stop bits", 16, 84);
        Caption(frame, "", "Flow control", 16, 108);
        boxes[0] = SettingBox(frame, look, boxNames[0], 80, 8, 60, bauds);
        boxes[1] = SettingBox(frame, look, boxNames[1], 80, 32, 57, parities);
        boxes[2] = SettingBox(frame, look, boxNames[2], 80, 56, 37, databits);
        boxes[3] = SettingBox(frame, look, boxNames[3], 80, 80, 37, stopbits);
        boxes[4] = SettingBox(frame, look, boxNames[4], 80, 104, 84, flows);
        ok = Button(frame, okName, "OK", 264, 99, 51, 25);
        frame->hide();
        frame->raise();
        return frame;
    };
    std::array<QComboBox*, 5> boxes{};
    Panel1 = panel("Panel1", 16, {"ComboBox2", "ComboBox3", "ComboBox4", "ComboBox5", "ComboBox6"}, "Button3", boxes,
                   Button3);
    ComboBox2 = boxes[0];
    ComboBox3 = boxes[1];
    ComboBox4 = boxes[2];
    ComboBox5 = boxes[3];
    ComboBox6 = boxes[4];
    Panel2 = panel("Panel2", 352, {"ComboBox11", "ComboBox10", "ComboBox9", "ComboBox8", "ComboBox7"}, "Button5", boxes,
                   Button5);
    ComboBox11 = boxes[0];
    ComboBox10 = boxes[1];
    ComboBox9 = boxes[2];
    ComboBox8 = boxes[3];
    ComboBox7 = boxes[4];
    FillBoxes(Roles(1));
    FillBoxes(Roles(2));
}

void TForm1::CreateViewRegions(QWidget* client) {
    const QFont bold = BoldFont(font());

    Region(client, "InputRegion", 16, 96, 665, 169);
    Bar(client, "InputHeader", 18, 98, 661, 22);
    Label3 = Caption(client, "Label3", "Input from", 24, 104);
    Label7 = Chip(client, "Label7", 96, 65);
    Label10 = Chip(client, "Label10", 164, 61);
    RichEdit1 = Put(new TMonitorView(TCodePage::Cp1250, client), "RichEdit1", 24, 121, 577, 113);
    Button1 = Button(client, "Button1", "Clear", 608, 128, 65, 25);
    Button2 = Button(client, "Button2", "Save", 608, 160, 65, 25);
    Label5 = Caption(client, "Label5", "Data counts", 24, 243);
    Edit2 = CountField(client, "Edit2", 88, 240);
    Edit7 = CountField(client, "Edit7", 150, 240);
    auto* upperMode = new QButtonGroup(this);
    RadioButton1 = Radio(client, upperMode, "RadioButton1", "ASCII", 232, 242, 55);
    RadioButton2 = Radio(client, upperMode, "RadioButton2", "HEX", 290, 242, 48);
    RadioButton3 = Radio(client, upperMode, "RadioButton3", "Decimal", 340, 242, 66);
    RadioButton1->setChecked(true);
    CheckBox4 = Check(client, "CheckBox4", "Aply LF", 414, 242, 80);
    CheckBox4->setEnabled(false);
    Label8 = Caption(client, "Label8", "Separe string", 500, 243);
    Edit5 = SeparatorField(client, "Edit5", 568, 240);

    Region(client, "OutputRegion", 16, 272, 665, 177);
    Bar(client, "OutputHeader", 18, 274, 661, 28);
    Label4 = Caption(client, "Label4", "Output to Port", 24, 284);
    Label11 = Caption(client, "Label11", QString(), 114, 282);
    Label11->setFont(bold);
    Label11->setText("COM1");
    Label11->adjustSize();
    ColorComboBox3 = Put(new TColorComboBox(client), "ColorComboBox3", 180, 278, 57, 22);
    ledCTS = Button(client, "ledCTS", "RTS", 248, 282, 33, 17);
    ledCTS->setToolTip("On/Off RTS");
    LEDDTR = Button(client, "LEDDTR", "DTR", 288, 282, 33, 17);
    LEDDTR->setToolTip("On/Off DTR");
    SetFaceColor(ledCTS, ButtonFaceColor());
    SetFaceColor(LEDDTR, ButtonFaceColor());
    RichEdit2 = Put(new TMonitorView(TCodePage::Cp1252, client), "RichEdit2", 24, 304, 577, 113);
    Button4 = Button(client, "Button4", "Clear", 608, 311, 65, 25);
    Image3 = Put(new QLabel(client), "Image3", 608, 344, 65, 65);
    Image3->setPixmap(AboutPicture());
    Image3->setCursor(Qt::PointingHandCursor);
    Image3->setToolTip("About ...");
    Label6 = Caption(client, "Label6", "Data counts", 24, 425);
    Edit3 = CountField(client, "Edit3", 88, 422);
    auto* lowerMode = new QButtonGroup(this);
    RadioButton4 = Radio(client, lowerMode, "RadioButton4", "ASCII", 232, 424, 55);
    RadioButton5 = Radio(client, lowerMode, "RadioButton5", "HEX", 290, 424, 48);
    RadioButton6 = Radio(client, lowerMode, "RadioButton6", "Decimal", 340, 424, 66);
    RadioButton4->setChecked(true);
    CheckBox1 = Check(client, "CheckBox1", "Aply CR,LF", 414, 424, 84);
    CheckBox1->setEnabled(false);
    Label9 = Caption(client, "Label9", "Separe string", 500, 425);
    Edit6 = SeparatorField(client, "Edit6", 568, 422);

    CreateSettingsPanels(client);
}

void TForm1::CreateInputRow(QWidget* client) {
    Region(client, "InputRow", 16, 456, 665, 49);
    Label18 = Caption(client, "Label18", "INPUT Box", 24, 461);
    Edit4 = Put(new QLineEdit(client), "Edit4", 24, 476, 250, 21);
    Edit4Button = Put(new QToolButton(Edit4), "Edit4Button", Edit4->width() - 42, 0, 42, Edit4->height());
    Edit4Button->setIcon(LoadFileGlyph());
    Edit4Button->setToolTip("Load from file");
    Edit4Button->setCursor(Qt::ArrowCursor);
    Edit4Button->setFocusPolicy(Qt::NoFocus);
    Edit4->setTextMargins(0, 0, 42, 0);
    SetBackgroundColor(Edit4, ButtonFaceColor());

    Label35 = Caption(client, "Label35", "Value", 290, 461);
    auto* format = new QButtonGroup(this);
    Rascii = Radio(client, format, "Rascii", "ASCII", 290, 478, 52);
    Rascii->setToolTip("ASCII Input [0]");
    rhex = Radio(client, format, "rhex", "HEX", 344, 478, 44);
    rhex->setToolTip("Hexadecimal input - 2 characters [00]");
    Rdec = Radio(client, format, "Rdec", "Dec", 390, 478, 44);
    Rdec->setToolTip("Decimal input - 3 numbers [000]");
    Rascii->setChecked(true);

    Label17 = Caption(client, "Label17", "Terminated", 446, 461);
    auto* sendMode = new QButtonGroup(this);
    Rchar = Radio(client, sendMode, "Rchar", "Auto", 446, 478, 48);
    Rchar->setToolTip("Send Immediately");
    Rstring = Radio(client, sendMode, "Rstring", "Enter", 496, 478, 52);
    Rstring->setToolTip("Press ENTER to send");
    Rchar->setChecked(true);

    Label16 = Caption(client, "Label16", "Send", 566, 461);
    ChCR = Check(client, "ChCR", "CR", 566, 478, 42);
    ChCR->setToolTip("Output with CR");
    chlf = Check(client, "chlf", "LF", 612, 478, 42);
    chlf->setToolTip("Output with LF (NL)");

    Memo1 = Put(new QPlainTextEdit(client), "Memo1", 400, 120, 185, 89);
    Memo1->hide();
}
