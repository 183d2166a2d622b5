// The views at work in the main window: bytes from two virtual cables shown
// in the upper view, sent bytes echoed in the lower view, counts, clearing
// and saving a capture.
#include "platform/CommBackends.h"
#include "tests/monitor/MainWindowFixture.h"
#include "widgets/ColorComboBox.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace kalvaro::test;

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
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
        Folder = std::filesystem::temp_directory_path() /
                 FreshPair("kalvaro-capture-" + std::to_string(getpid()) + "-");
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
    static bool CountShows(QLineEdit* field, int count) {
        return PumpUntil([&] { return field->text() == QString::number(count); });
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

}  // namespace
