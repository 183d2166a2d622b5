// The views at work in the main window: bytes from two virtual cables shown
// in the upper view, sent bytes echoed in the lower view, counts, clearing
// and saving a capture.
#include "platform/CommBackends.h"
#include "tests/monitor/MainWindowFixture.h"
#include "widgets/ColorComboBox.h"
#include "widgets/CountField.h"
#include "widgets/FindBar.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace kalvaro::test;

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Bytes as the upper view shows them in HEX with a blank separator.
std::string HexOf(const std::string& bytes) {
    std::string text;
    for (const char byte : bytes) text += AfFormat("%02X ", static_cast<unsigned char>(byte));
    return text;
}

// The time of day an arrival time has on the local clock, in milliseconds.
int LocalMsOfDay(afp::TArrivalTime time) {
    return QDateTime::fromMSecsSinceEpoch(time / 1000).time().msecsSinceStartOfDay();
}

const std::regex StampPattern(R"(\[(\d\d):(\d\d):(\d\d)\.(\d\d\d)\] )");

int MsOfDay(const std::smatch& clock, int first) {
    const auto number = [&](int i) { return std::stoi(clock[first + i].str()); };
    return ((number(0) * 60 + number(1)) * 60 + number(2)) * 1000 + number(3);
}

// A view's text with each stamp written "[S] ", and the stamps' times.
struct TStamped {
    std::string Layout;
    std::vector<int> Times;
};
TStamped Stamps(const std::string& text) {
    TStamped stamped;
    for (auto at = std::sregex_iterator(text.begin(), text.end(), StampPattern); at != std::sregex_iterator(); ++at)
        stamped.Times.push_back(MsOfDay(*at, 1));
    stamped.Layout = std::regex_replace(text, StampPattern, "[S] ");
    return stamped;
}

// Everything a log file says: the bytes of each port and direction, and
// whether its lines kept the order of time.
struct TLogContents {
    std::map<std::string, Bytes> Runs;  // "COM1 <" -> bytes
    bool InOrder = true;
    int Header = 0;
    std::vector<std::string> Strange;
};
TLogContents ReadLog(const std::filesystem::path& path) {
    // The prefix only: a repeated group over a long line of values recurses
    // once per value in std::regex and can run out of stack.
    static const std::regex line(R"((\d\d):(\d\d):(\d\d)\.(\d\d\d) (COM\d+ [<>]))");
    // " XX" once or more, in capitals.
    const auto values = [](const std::string& tail) {
        const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
        if (tail.empty() || tail.size() % 3 != 0) return false;
        for (std::size_t i = 0; i < tail.size(); i += 3)
            if (tail[i] != ' ' || !hex(tail[i + 1]) || !hex(tail[i + 2])) return false;
        return true;
    };
    TLogContents contents;
    std::ifstream file(path, std::ios::binary);
    int last = -1;
    for (std::string text; std::getline(file, text);) {
        std::smatch match;
        if (text.rfind("# ", 0) == 0) {
            ++contents.Header;
            last = -1;  // a new day
        } else if (std::regex_search(text, match, line, std::regex_constants::match_continuous) &&
                   values(match.suffix().str())) {
            const int time = MsOfDay(match, 1);
            contents.InOrder = contents.InOrder && time >= last;
            last = time;
            Bytes& bytes = contents.Runs[match[5].str()];
            const std::string hex = match.suffix().str();
            for (std::size_t i = 1; i < hex.size(); i += 3)
                bytes.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        } else {
            contents.Strange.push_back(text);
        }
    }
    return contents;
}

// Files this process writes cannot grow past a size while it lives: a
// write past it fails (EFBIG, not SIGXFSZ) as on a full disk, root or not.
struct TFileSizeLimit {
    explicit TFileSizeLimit(rlim_t bytes) : Signal(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &Saved);
        const rlimit limit{bytes, Saved.rlim_max};
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &Saved);
        std::signal(SIGXFSZ, Signal);
    }
    void (*Signal)(int);
    rlimit Saved{};
};

class ReceiveDisplayTest : public MainWindowTest {
protected:
    void SetUp() override {
        for (int port = 0; port < 2; ++port) {
            Pairs[port] = FreshPair("display");
            Peers[port] = nullptr;
        }
        WriteSettingsWithPorts({{1, afp::virt::EndName(Pairs[0], afp::virt::TEnd::A)},
                                {2, afp::virt::EndName(Pairs[1], afp::virt::TEnd::A)}});
        Folder =
            std::filesystem::temp_directory_path() / FreshPair("kalvaro-capture-" + std::to_string(getpid()) + "-");
        std::filesystem::create_directories(Folder);
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        for (auto& peer : Peers) peer.reset();
        std::filesystem::remove_all(Folder);
    }

    // Starts the windows and opens both ports on their cables.
    TForm1& StartWithOpenPorts() {
        TForm1& form = Start();
        OpenPorts(form);
        return form;
    }
    void OpenPorts(TForm1& form) {
        for (int port = 0; port < 2; ++port) {
            TAfComPort* component = port == 0 ? form.Comport1 : form.ComPort2;
            component->SetBaudRate(br115200);
            component->SetComNumber(static_cast<std::uint16_t>(port + 1));
            component->Open();
            Peers[port] = afp::OpenVirtualCommDevice(afp::virt::EndName(Pairs[port], afp::virt::TEnd::B));
            EXPECT_TRUE(Peers[port] && ApplyEngineSettings(*Peers[port], EngineDcb(921600)));
        }
    }

    // The far end of port n sends bytes.
    void Send(int port, const std::string& bytes) {
        TOverlappedWrite write(*Peers[port - 1], Bytes(bytes.begin(), bytes.end()));
        write.Start();
        ASSERT_TRUE(write.Finish());
    }

    // Waits until port n's count field shows count.
    static bool CountShows(TCountField* field, int count) {
        return PumpUntil([&] { return field->ShownText() == QString::number(count); });
    }

    // Answers the save dialog with a file name, or cancels it.
    void AnswerSaveWith(TForm1& form, const QString& name) {
        form.SetModalRunner([name, this](QDialog& dialog) {
            auto& files = static_cast<QFileDialog&>(dialog);
            LastDialogTitle = files.windowTitle();
            LastDialogFolder = files.directory().absolutePath();
            if (name.isEmpty()) return int(QDialog::Rejected);
            files.selectFile(name);
            return int(QDialog::Accepted);
        });
    }

    std::string Pairs[2];
    std::unique_ptr<afp::TCommDevice> Peers[2];
    std::filesystem::path Folder;
    QString LastDialogTitle;
    QString LastDialogFolder;
};

TEST_F(ReceiveDisplayTest, BothPortsShowInTheirColoursWithTheirOwnCounts) {
    TForm1& form = StartWithOpenPorts();
    Click(form.RadioButton2);  // HEX
    form.Edit5->setText(" ");
    form.ColorComboBox1->SetValue(0x0000FF);
    form.ColorComboBox2->SetValue(0xFF0000);

    Send(1, "\x41\r\n");
    ASSERT_TRUE(CountShows(form.Edit2, 3));
    EXPECT_EQ(form.RichEdit1->PlainText(), "41 0D 0A ");
    EXPECT_EQ(form.RichEdit1->ColourAt(0), qRgb(255, 0, 0));
    // The window's count fields draw a new count the quick way.
    EXPECT_TRUE(PumpUntil([&] { return form.Edit2->DrewQuickly(); })) << "the count field drew itself as a line edit";

    Send(2, "\x41\r\n");
    ASSERT_TRUE(CountShows(form.Edit7, 3));
    EXPECT_EQ(form.RichEdit1->PlainText(), "41 0D 0A 41 0D 0A ");
    EXPECT_EQ(form.RichEdit1->ColourAt(9), qRgb(0, 0, 255));

    // With "Aply LF" checked, line feeds break lines; port 2 drops its CR.
    Click(form.CheckBox4);
    Send(1, "\x41\r\n");
    ASSERT_TRUE(CountShows(form.Edit2, 6));
    Send(2, "\x41\r\n");
    ASSERT_TRUE(CountShows(form.Edit7, 4));
    EXPECT_EQ(form.RichEdit1->PlainText(), "41 0D 0A 41 0D 0A 41 0D \r\n41 \r\n");
    EXPECT_EQ(form.Port1Count, 6);
    EXPECT_EQ(form.Port2Count, 4);
}

TEST_F(ReceiveDisplayTest, AsciiModeHidesControlBytesButCountsThemOnPort1) {
    TForm1& form = StartWithOpenPorts();
    form.Edit5->setText("-");
    Send(1, std::string("A\r\nB\0", 5));
    ASSERT_TRUE(CountShows(form.Edit2, 5));
    EXPECT_EQ(form.RichEdit1->PlainText(), "A-\r\nB-");
    Send(2, std::string("A\r\nB\0", 5));
    ASSERT_TRUE(CountShows(form.Edit7, 3));
}

TEST_F(ReceiveDisplayTest, AplyBoxesAreInForceOnlyInHexAndDecimal) {
    TForm1& form = Start();
    EXPECT_FALSE(form.CheckBox4->isEnabled());
    Click(form.RadioButton3);
    EXPECT_TRUE(form.CheckBox4->isEnabled());
    Click(form.CheckBox4);
    Click(form.RadioButton1);
    EXPECT_FALSE(form.CheckBox4->isEnabled());
    EXPECT_TRUE(form.CheckBox4->isChecked());
    Click(form.RadioButton2);
    EXPECT_TRUE(form.CheckBox4->isEnabled());
    EXPECT_TRUE(form.CheckBox4->isChecked());
    EXPECT_EQ(form.UpperDisplayMode(), dmHex);

    Click(form.RadioButton6);
    EXPECT_TRUE(form.CheckBox1->isEnabled());
    Click(form.RadioButton4);
    EXPECT_FALSE(form.CheckBox1->isEnabled());
    EXPECT_EQ(form.LowerDisplayMode(), dmAscii);
    EXPECT_TRUE(form.Edit4->hasFocus());
}

TEST_F(ReceiveDisplayTest, SentBytesEchoInTheLowerViewWithTheirCount) {
    TForm1& form = Start();
    Click(form.RadioButton5);  // HEX
    Click(form.CheckBox1);     // Aply CR,LF
    form.Edit6->setText("-");
    form.ColorComboBox3->SetValue(0x00FFFF);
    for (const std::uint8_t byte : {0x31, 13, 10}) form.EchoSent(byte);
    EXPECT_EQ(form.RichEdit2->PlainText(), "31-\r\n-");
    EXPECT_TRUE(CountShows(form.Edit3, 3));
    EXPECT_EQ(form.RichEdit2->ColourAt(0), qRgb(255, 255, 0));
    // Bytes 0x80-0xFF show in the Western code page here.
    Click(form.RadioButton4);
    form.EchoSent(0xE8);
    EXPECT_EQ(form.RichEdit2->VisualLineText(1), QString("-") + QChar(0x00E8) + "-");
}

TEST_F(ReceiveDisplayTest, ClearingEachViewResetsOnlyItsOwnCounts) {
    TForm1& form = StartWithOpenPorts();
    Send(1, "ab");
    Send(2, "cd");
    ASSERT_TRUE(CountShows(form.Edit2, 2));
    ASSERT_TRUE(CountShows(form.Edit7, 2));
    form.EchoSent('x');
    Click(form.Rstring);  // Enter mode: text in the box waits for Enter
    form.Edit4->setText("k");

    Click(form.Button1);
    EXPECT_EQ(form.RichEdit1->Size(), 0u);
    EXPECT_EQ(form.Edit2->text(), "0");
    EXPECT_EQ(form.Edit7->text(), "0");
    EXPECT_EQ(form.Edit4->text(), "k");
    EXPECT_TRUE(CountShows(form.Edit3, 1));
    Send(1, "z");
    ASSERT_TRUE(CountShows(form.Edit2, 1));

    QTest::mouseClick(form.Label18, Qt::LeftButton);
    EXPECT_EQ(form.RichEdit1->Size(), 0u);
    EXPECT_EQ(form.Edit2->text(), "0");

    Click(form.Button4);
    EXPECT_EQ(form.RichEdit2->Size(), 0u);
    EXPECT_EQ(form.Edit3->text(), "0");
    EXPECT_EQ(form.Edit4->text(), "");
    EXPECT_TRUE(form.Edit4->hasFocus());
}

TEST_F(ReceiveDisplayTest, PollingSleepsWhileClosedAndShowsBytesAfterTheOpen) {
    TForm1& form = Start();
    ASSERT_TRUE(PumpUntil([&] { return !form.Timer2->isActive() && !form.Timer3->isActive(); }));
    OpenPorts(form);
    ASSERT_TRUE(PumpUntil([&] { return !form.Timer2->isActive(); })) << "a quiet port's timer sleeps";
    Send(1, "wake");
    ASSERT_TRUE(CountShows(form.Edit2, 4));
    EXPECT_EQ(form.RichEdit1->PlainText(), "wake");
    // Closed again: the count keeps its number.
    form.Comport1->Close();
    PumpFor(milliseconds(50));
    EXPECT_EQ(form.Edit2->text(), "4");
}

TEST_F(ReceiveDisplayTest, BothViewsPutLineNMinus6AtTheTop) {
    TForm1& form = StartWithOpenPorts();
    std::string lines;
    for (int i = 0; i < 10; ++i) lines += "line " + std::to_string(i) + "\n";
    Send(1, lines);
    ASSERT_TRUE(CountShows(form.Edit2, static_cast<int>(lines.size())));
    EXPECT_EQ(form.RichEdit1->LineCount(), 10);
    EXPECT_EQ(form.RichEdit1->FirstVisibleLine(), 4);
    EXPECT_EQ(form.RichEdit1->VisualLineText(4), "line 4");

    for (const char byte : lines) form.EchoSent(static_cast<std::uint8_t>(byte));
    EXPECT_EQ(form.RichEdit2->LineCount(), 10);
    EXPECT_EQ(form.RichEdit2->FirstVisibleLine(), 4);
    EXPECT_EQ(form.RichEdit2->VisualLineText(4), "line 4");
}

TEST_F(ReceiveDisplayTest, CtrlFFindsInTheViewAsShownAndHoldsItWhileDataComes) {
    TForm1& form = StartWithOpenPorts();
    Click(form.RadioButton2);  // HEX
    form.Edit5->setText(" ");
    std::string lines;
    for (int i = 0; i < 30; ++i) lines += "row" + std::to_string(i) + "\n";
    Send(1, lines);
    ASSERT_TRUE(CountShows(form.Edit2, static_cast<int>(lines.size())));

    QTest::keyClick(form.Edit4, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(form.FindBar1->isVisible());
    ASSERT_TRUE(PumpUntil([&] { return form.FindBar1->Needle->hasFocus(); }));
    // "row1" as the HEX view shows it, typed in lower case.
    QTest::keyClicks(form.FindBar1->Needle, "72 6f 77 31");
    QTest::keyClick(form.FindBar1->Needle, Qt::Key_Return);
    EXPECT_EQ(form.RichEdit1->SelectedText(), "72 6F 77 31");
    const std::size_t first = form.RichEdit1->SelectionStart();
    QTest::keyClick(form.FindBar1->Needle, Qt::Key_F3);
    EXPECT_GT(form.RichEdit1->SelectionStart(), first) << "row10 comes next";
    QTest::keyClick(form.FindBar1->Needle, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(form.RichEdit1->SelectionStart(), first);
    EXPECT_TRUE(form.RichEdit1->Held());
    EXPECT_EQ(form.FindBar1->Status->text(), "paused: scroll to the end to follow");

    // Data goes on arriving while the user looks at the match.
    const int top = form.RichEdit1->FirstVisibleLine();
    Send(1, lines);
    ASSERT_TRUE(CountShows(form.Edit2, static_cast<int>(2 * lines.size())));
    EXPECT_EQ(form.RichEdit1->FirstVisibleLine(), top);

    form.FindBar1->Needle->selectAll();
    QTest::keyClicks(form.FindBar1->Needle, "nothing like it");
    QTest::keyClick(form.FindBar1->Needle, Qt::Key_Return);
    EXPECT_EQ(form.FindBar1->Status->text(), "not found");

    // Esc closes the bar; the view catches up with the newest text.
    QTest::keyClick(form.FindBar1->Needle, Qt::Key_Escape);
    EXPECT_FALSE(form.FindBar1->isVisible());
    EXPECT_FALSE(form.RichEdit1->Held());
    EXPECT_EQ(form.RichEdit1->FirstVisibleLine(), form.RichEdit1->LineCount() - 6);
    EXPECT_TRUE(PumpUntil([&] { return form.Edit4->hasFocus(); }));

    // The lower view's menu opens its own bar.
    const std::unique_ptr<QMenu> lower(form.RichEdit2->CreateContextMenu(nullptr));
    QAction* find = lower->findChild<QAction*>("find");
    ASSERT_NE(find, nullptr);
    find->trigger();
    EXPECT_TRUE(form.FindBar2->isVisible());
    EXPECT_FALSE(form.FindBar1->isVisible());
    QTest::keyClick(form.FindBar2->Needle, Qt::Key_Escape);

    // Ctrl+F finds in the view last clicked, whichever bar was open before.
    QTest::mouseClick(form.RichEdit1->viewport(), Qt::LeftButton);
    QTest::keyClick(form.Edit4, Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(form.FindBar1->isVisible());
    EXPECT_FALSE(form.FindBar2->isVisible());
    QTest::keyClick(form.FindBar1->Needle, Qt::Key_Escape);
    QTest::mouseClick(form.RichEdit2->viewport(), Qt::LeftButton);
    QTest::keyClick(form.Edit4, Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(form.FindBar2->isVisible());
    EXPECT_FALSE(form.FindBar1->isVisible());
}

TEST_F(ReceiveDisplayTest, SavedCaptureIsTheViewsTextWithCrLf) {
    TForm1& form = StartWithOpenPorts();
    form.EditPath = QString::fromStdString(Folder.string());
    Send(1, std::string("one\ntwo\n\xE8", 9));
    ASSERT_TRUE(CountShows(form.Edit2, 9));

    AnswerSaveWith(form, QString::fromStdString((Folder / "capture").string()));
    Click(form.Button2);
    EXPECT_EQ(LastDialogTitle, "Save data as..");
    EXPECT_EQ(LastDialogFolder, QString::fromStdString(Folder.string()));
    EXPECT_EQ(FileBytes(Folder / "capture.cpi"), std::string("one\r\ntwo\r\n\xE8", 11));
    // The views and counts are untouched.
    EXPECT_EQ(form.Edit2->text(), "9");

    // An existing file is replaced without a question; an empty view saves
    // an empty file.
    Click(form.Button1);
    AnswerSaveWith(form, QString::fromStdString((Folder / "capture.cpi").string()));
    Click(form.Button2);
    EXPECT_TRUE(std::filesystem::exists(Folder / "capture.cpi"));
    EXPECT_EQ(std::filesystem::file_size(Folder / "capture.cpi"), 0u);
}

TEST_F(ReceiveDisplayTest, CancelledOrRefusedSaveWritesNothing) {
    TForm1& form = StartWithOpenPorts();
    TErrorBoxes boxes;
    AnswerSaveWith(form, QString());
    Click(form.Button2);
    EXPECT_TRUE(std::filesystem::is_empty(Folder));
    EXPECT_TRUE(boxes.Texts.isEmpty());

    const auto target = Folder / "missing-folder" / "capture.cpi";
    AnswerSaveWith(form, QString::fromStdString(target.string()));
    Click(form.Button2);
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(boxes.Texts[0], QString::fromStdString("Cannot create file " + target.string() + "."));
    EXPECT_FALSE(std::filesystem::exists(target));

    // No room for the new capture: the old one stays whole, nothing is left.
    const auto old = Folder / "old.cpi";
    const std::string oldText(6000, 'o');
    std::ofstream(old, std::ios::binary) << oldText;
    Send(1, std::string(20000, 'n'));
    ASSERT_TRUE(CountShows(form.Edit2, 20000));
    AnswerSaveWith(form, QString::fromStdString(old.string()));
    {
        TFileSizeLimit limit(4096);
        Click(form.Button2);
    }
    ASSERT_EQ(boxes.Texts.size(), 2);
    EXPECT_EQ(boxes.Texts[1], QString::fromStdString("Cannot create file " + old.string() + "."));
    EXPECT_TRUE(FileBytes(old) == oldText) << "the old capture changed";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder), {}), 1) << "a temporary file was left";
}

// ---- time stamps ----

TEST_F(ReceiveDisplayTest, StampsStartALineWhereThePortChangesOrAfterAGap) {
    TForm1& form = StartWithOpenPorts();
    form.EditPath = QString::fromStdString(Folder.string());
    Click(form.RadioButton2);  // HEX
    form.Edit5->setText(" ");
    const std::unique_ptr<QMenu> upper(form.RichEdit1->CreateContextMenu(nullptr));
    const std::unique_ptr<QMenu> lower(form.RichEdit2->CreateContextMenu(nullptr));
    for (QAction* entry : {form.Stamps1, form.StampGap1, form.LogToFile1, form.LogRaw1})
        EXPECT_TRUE(upper->actions().contains(entry)) << entry->text().toStdString();
    EXPECT_TRUE(lower->actions().contains(form.SentStamps1));

    // The gap through its dialog, then stamps on with their shortcut.
    form.SetModalRunner([](QDialog& dialog) {
        static_cast<QInputDialog&>(dialog).setIntValue(1000);
        return int(QDialog::Accepted);
    });
    QTest::keyClick(form.Edit4, Qt::Key_G, Qt::ControlModifier);
    EXPECT_EQ(form.StampGap1->text(), "Stamp gap: 1000 ms...");
    QTest::keyClick(form.Edit4, Qt::Key_T, Qt::ControlModifier);
    ASSERT_TRUE(form.Stamps1->isChecked());

    const afp::TArrivalTime t0 = afp::ArrivalNow();
    Send(1, "\x01");
    ASSERT_TRUE(CountShows(form.Edit2, 1));
    Send(1, "\x02");
    ASSERT_TRUE(CountShows(form.Edit2, 2));
    const afp::TArrivalTime t1 = afp::ArrivalNow();
    Send(2, "\x03");
    ASSERT_TRUE(CountShows(form.Edit7, 1));
    const afp::TArrivalTime t2 = afp::ArrivalNow();
    PumpFor(milliseconds(1100));
    const afp::TArrivalTime t3 = afp::ArrivalNow();
    Send(2, "\x04");
    ASSERT_TRUE(CountShows(form.Edit7, 2));
    const afp::TArrivalTime t4 = afp::ArrivalNow();

    const std::string text = form.RichEdit1->PlainText();
    const TStamped stamped = Stamps(text);
    EXPECT_EQ(stamped.Layout, "[S] 01 02 \r\n[S] 03 \r\n[S] 04 ");
    ASSERT_EQ(stamped.Times.size(), 3u);
    const afp::TArrivalTime bounds[][2] = {{t0, t1}, {t1, t2}, {t3, t4}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_GE(stamped.Times[i], LocalMsOfDay(bounds[i][0])) << "stamp " << i + 1;
        EXPECT_LE(stamped.Times[i], LocalMsOfDay(bounds[i][1])) << "stamp " << i + 1;
    }
    // A subdued form of the port's colour; the bytes keep theirs.
    const QRgb green = ColorToQRgb(form.ColorComboBox1->Value());
    EXPECT_EQ(form.RichEdit1->ColourAt(0), qRgb(qRed(green) * 3 / 5, qGreen(green) * 3 / 5, qBlue(green) * 3 / 5));
    // Past the stamp: its time can hold "01" too.
    EXPECT_EQ(form.RichEdit1->ColourAt(text.find("] 01 ") + 2), green);

    // The capture holds the stamps.
    AnswerSaveWith(form, QString::fromStdString((Folder / "stamped").string()));
    Click(form.Button2);
    EXPECT_EQ(FileBytes(Folder / "stamped.cpi"), text);

    // The lower view stamps what is sent, with its own shortcut.
    QTest::keyClick(form.Edit4, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(form.SentStamps1->isChecked());
    form.EchoSent('a');
    form.EchoSent('b');
    EXPECT_EQ(Stamps(form.RichEdit2->PlainText()).Layout, "[S] ab");

    // Off again: the views and the capture are what they were without.
    QTest::keyClick(form.Edit4, Qt::Key_T, Qt::ControlModifier);
    QTest::keyClick(form.Edit4, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    Click(form.Button1);
    Click(form.Button4);
    Send(1, "\x05");
    ASSERT_TRUE(CountShows(form.Edit2, 1));
    PumpFor(milliseconds(1100));
    Send(2, "\x06");
    ASSERT_TRUE(CountShows(form.Edit7, 1));
    form.EchoSent('c');
    EXPECT_EQ(form.RichEdit1->PlainText(), "05 06 ");
    EXPECT_EQ(form.RichEdit2->PlainText(), "c");
    AnswerSaveWith(form, QString::fromStdString((Folder / "plain").string()));
    Click(form.Button2);
    EXPECT_EQ(FileBytes(Folder / "plain.cpi"), "05 06 ");
}

TEST_F(ReceiveDisplayTest, ABusyWindowKeepsEachBurstsOwnTime) {
    TForm1& form = StartWithOpenPorts();
    Click(form.RadioButton2);  // HEX
    form.Edit5->setText(" ");
    QTest::keyClick(form.Edit4, Qt::Key_T, Qt::ControlModifier);
    ASSERT_TRUE(form.Stamps1->isChecked());

    // The window does nothing while the bursts come: no poll sees them
    // apart. Each is in its port's queue when Send returns.
    afp::TArrivalTime bounds[3][2];
    const std::pair<int, std::string> bursts[] = {{1, "\x0A\x0B"}, {1, "\x0C"}, {2, "\x0D"}};
    for (int i = 0; i < 3; ++i) {
        bounds[i][0] = afp::ArrivalNow();
        Send(bursts[i].first, bursts[i].second);
        bounds[i][1] = afp::ArrivalNow();
        std::this_thread::sleep_for(milliseconds(i < 2 ? 60 : 200));
    }
    ASSERT_TRUE(CountShows(form.Edit2, 3));
    ASSERT_TRUE(CountShows(form.Edit7, 1));

    // Which port's poll comes first after the pause is the timers' affair:
    // each line is looked up by its bytes.
    const std::string text = form.RichEdit1->PlainText();
    const TStamped stamped = Stamps(text);
    ASSERT_EQ(stamped.Times.size(), 3u) << text;
    EXPECT_LT(text.find("0A 0B \r\n"), text.find("0C ")) << text;
    for (int i = 0; i < 3; ++i) {
        const std::size_t at = stamped.Layout.find("[S] " + HexOf(bursts[i].second));
        ASSERT_NE(at, std::string::npos) << "burst " << i + 1 << " has no stamp of its own: " << text;
        const int time = stamped.Times[std::count(stamped.Layout.begin(), stamped.Layout.begin() + at, '[')];
        EXPECT_GE(time, LocalMsOfDay(bounds[i][0])) << "burst " << i + 1;
        EXPECT_LE(time, LocalMsOfDay(bounds[i][1])) << "burst " << i + 1 << " took the time of the poll";
    }
}

TEST_F(ReceiveDisplayTest, RepliesShowAfterTheirRequestsWhenBothPortsAreTakenTogether) {
    TForm1& form = StartWithOpenPorts();
    Click(form.RadioButton2);  // HEX
    form.Edit5->setText(" ");

    // Requests and replies 1 to 5 ms apart, either port asking, while the
    // window is busy: one take finds all of them in the two queues.
    const auto converse = [&] {
        const std::pair<int, char> pieces[] = {{1, '\x01'}, {2, '\x11'}, {1, '\x02'}, {2, '\x12'},
                                               {2, '\x13'}, {1, '\x03'}, {1, '\x04'}, {2, '\x14'}};
        int gapMs = 1;
        for (const auto& [port, byte] : pieces) {
            Send(port, std::string(1, byte));
            std::this_thread::sleep_for(milliseconds(gapMs));
            gapMs = gapMs % 5 + 1;
        }
        EXPECT_TRUE(CountShows(form.Edit2, 4));
        EXPECT_TRUE(CountShows(form.Edit7, 4));
    };
    converse();
    EXPECT_EQ(form.RichEdit1->PlainText(), "01 11 02 12 13 03 04 14 ");
    const QRgb port1 = ColorToQRgb(form.ColorComboBox1->Value());
    const QRgb port2 = ColorToQRgb(form.ColorComboBox2->Value());
    for (const int at : {0, 6, 15, 18}) EXPECT_EQ(form.RichEdit1->ColourAt(at), port1) << at;
    for (const int at : {3, 9, 12, 21}) EXPECT_EQ(form.RichEdit1->ColourAt(at), port2) << at;

    // With stamps each change of port starts a stamped line, in the same order.
    QTest::keyClick(form.Edit4, Qt::Key_T, Qt::ControlModifier);
    Click(form.Button1);
    converse();
    EXPECT_EQ(Stamps(form.RichEdit1->PlainText()).Layout,
              "[S] 01 \r\n[S] 11 \r\n[S] 02 \r\n[S] 12 13 \r\n[S] 03 04 \r\n[S] 14 ");
}

// ---- the log ----

TEST_F(ReceiveDisplayTest, ALogHoldsEveryByteInTheOrderItCame) {
    TForm1& form = StartWithOpenPorts();
    form.Timer1Timer();        // the status refresh makes the input box take scripts
    Click(form.RadioButton2);  // HEX: port 2 counts its line ends too
    // The view keeps little: what it drops must still reach the log.
    form.RichEdit1->SetMaxBytes(4096);

    const auto log = Folder / "capture.log";
    AnswerSaveWith(form, QString::fromStdString(log.string()));
    QTest::keyClick(form.Edit4, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(form.LogRaw1->isChecked());
    QTest::keyClick(form.Edit4, Qt::Key_L, Qt::ControlModifier);
    ASSERT_TRUE(form.LogRunning());
    EXPECT_EQ(form.windowTitle(), " Kalvaro \u2014 logging to capture.log");
    EXPECT_EQ(form.LogToFile1->text(), "Stop log");

    // Both far ends flood while a script plays to port 1.
    const Bytes flood[2] = {PatternBytes(60000, 1), PatternBytes(60000, 2)};
    const Bytes script = PatternBytes(3000, 3);
    std::string lines = "%%HEX%%\r\n";
    for (const BYTE byte : script) lines += AfFormat("%02X", byte);
    std::ofstream(Folder / "flood.cpo", std::ios::binary) << lines << "\r\n";
    std::vector<std::thread> writers;
    for (int port = 0; port < 2; ++port)
        writers.emplace_back([&, port] {
            TOverlappedWrite write(*Peers[port], flood[port]);
            write.Start();
            EXPECT_TRUE(write.Finish());
        });
    AnswerSaveWith(form, QString::fromStdString((Folder / "flood.cpo").string()));
    Click(form.Edit4Button);
    for (std::thread& writer : writers) writer.join();
    ASSERT_TRUE(CountShows(form.Edit2, 60000));
    ASSERT_TRUE(CountShows(form.Edit7, 60000));
    EXPECT_TRUE(SameBytes(script, ReadFromDevice(*Peers[0], script.size())));

    QTest::keyClick(form.Edit4, Qt::Key_L, Qt::ControlModifier);
    EXPECT_FALSE(form.LogRunning());
    EXPECT_EQ(form.windowTitle(), " Kalvaro");
    const TLogContents contents = ReadLog(log);
    EXPECT_TRUE(contents.Strange.empty()) << contents.Strange.front();
    EXPECT_EQ(contents.Header, 1);
    EXPECT_TRUE(contents.InOrder) << "the lines are not in the order of time";
    EXPECT_EQ(contents.Runs.size(), 3u);
    EXPECT_TRUE(SameBytes(flood[0], contents.Runs.at("COM1 <")));
    EXPECT_TRUE(SameBytes(flood[1], contents.Runs.at("COM2 <")));
    EXPECT_TRUE(SameBytes(script, contents.Runs.at("COM1 >")));
    EXPECT_EQ(FileBytes(Folder / "capture.port1.bin"), std::string(flood[0].begin(), flood[0].end()));
    EXPECT_EQ(FileBytes(Folder / "capture.port2.bin"), std::string(flood[1].begin(), flood[1].end()));
}

TEST_F(ReceiveDisplayTest, AFailingLogStopsWithOneMessageAndThePortsGoOn) {
    TForm1& form = StartWithOpenPorts();
    TErrorBoxes boxes;
    const auto log = Folder / "full.log";
    AnswerSaveWith(form, QString::fromStdString(log.string()));
    QTest::keyClick(form.Edit4, Qt::Key_L, Qt::ControlModifier);
    ASSERT_TRUE(form.LogRunning());
    {
        // No room for the log beyond 4 KiB, as on a full disk.
        TFileSizeLimit limit(4096);
        Send(1, std::string(20000, 'n'));
        ASSERT_TRUE(PumpUntil([&] { return !boxes.Texts.isEmpty(); })) << "the log did not fail";
        PumpFor(milliseconds(1200));
    }
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(boxes.Texts[0].toStdString(),
              "Cannot write to " + log.string() + ": File too large. The log has stopped.");
    EXPECT_FALSE(form.LogRunning());
    EXPECT_EQ(form.windowTitle(), " Kalvaro");
    EXPECT_EQ(form.LogToFile1->text(), "Log to file...");
    EXPECT_LE(std::filesystem::file_size(log), 4096u);

    ASSERT_TRUE(form.Comport1->IsOpen() && form.ComPort2->IsOpen());
    Send(1, "ok");
    EXPECT_TRUE(CountShows(form.Edit2, 20002));
    EXPECT_EQ(boxes.Texts.size(), 1);
}

}  // namespace
