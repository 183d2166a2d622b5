#pragma once
// The input row at work: a fresh main window whose port 1 is one end of its
// own virtual cable, opened and with the input box made active by the status
// refresh; the cable's far end collects what port 1 sends while the GUI
// thread serves its event loop; keys typed into the box as the user types
// them; script files played through the side button with the open dialog
// answered through the window's modal seam.

#include "platform/CommBackends.h"
#include "tests/monitor/MainWindowFixture.h"
#include "text/CodePages.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

namespace kalvaro::test {

// Types text into widget key by key, each key a real key press carrying its
// character (characters beyond Latin-1 included).
inline void TypeKeys(QWidget* widget, const QString& text) {
    for (const QChar character : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(character), Qt::NoModifier);
}

inline Bytes Cp1250(const QString& text) {
    const auto bytes = UnicodeToBytes(TCodePage::Cp1250, text.toStdU16String());
    return bytes ? BytesOf(*bytes) : Bytes{};
}

class InputRowTest : public MainWindowTest {
protected:
    void SetUp() override {
        Pair = FreshPair("input");
        WriteSettingsWithPorts({{1, afp::virt::EndName(Pair, afp::virt::TEnd::A)}});
        // Test processes run side by side: the folder carries the process.
        Folder = std::filesystem::temp_directory_path() /
                 FreshPair("kalvaro-scripts-" + std::to_string(::getpid()) + "-");
        std::filesystem::create_directories(Folder);
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        Peer.reset();
        std::filesystem::remove_all(Folder);
    }

    TForm1& StartWithOpenPort(TAfBaudrate baud = br115200) {
        TForm1& form = Start();
        OpenPort1(form, baud);
        return form;
    }

    void OpenPort1(TForm1& form, TAfBaudrate baud = br115200) {
        form.Comport1->SetBaudRate(baud);
        form.Comport1->SetComNumber(1);
        form.Comport1->Open();
        ASSERT_TRUE(form.Comport1->IsOpen());
        if (!Peer) {
            Peer = afp::OpenVirtualCommDevice(afp::virt::EndName(Pair, afp::virt::TEnd::B));
            ASSERT_TRUE(Peer);
            ASSERT_TRUE(ApplyEngineSettings(*Peer, EngineDcb(static_cast<DWORD>(form.Comport1->BaudValue()))));
        }
        form.Timer1Timer();
        ASSERT_TRUE(form.InputBoxActive());
    }

    void ClosePort1(TForm1& form) {
        form.Comport1->Close();
        form.Timer1Timer();
        ASSERT_FALSE(form.InputBoxActive());
    }

    // GUI work driven by a 10 ms timer, which also empties the far end:
    // GuiTicks counts its runs, proof that the event loop kept going while
    // the window waited for the line.
    void StartGuiTicks() {
        QObject::connect(&GuiTimer, &QTimer::timeout, [this] {
            ++GuiTicks;
            DrainPeer();
        });
        GuiTimer.start(10);
    }
    int GuiTicks = 0;
    QTimer GuiTimer;

    // Takes what has arrived at the far end so far, without waiting.
    void DrainPeer() {
        if (!Peer) return;
        afp::TKernelEvent event(true);
        afp::TOverlapped record{&event};
        Bytes chunk(64 * 1024);
        for (;;) {
            DWORD read = 0;
            if (!Peer->ReadFile(chunk.data(), static_cast<DWORD>(chunk.size()), read, record) || read == 0) return;
            Received.insert(Received.end(), chunk.begin(), chunk.begin() + read);
        }
    }

    // Waits until the far end has received count bytes in all.
    bool PeerHasReceived(std::size_t count, milliseconds limit = ShortLimit) {
        return PumpUntil(
            [&] {
                DrainPeer();
                return Received.size() >= count;
            },
            limit);
    }

    // The far end has received exactly these bytes since the last check: it
    // waits for them, then a moment longer for any byte too many.
    testing::AssertionResult PeerGot(const Bytes& expected, milliseconds limit = ShortLimit) {
        PeerHasReceived(Checked + expected.size(), limit);
        PumpFor(milliseconds(150));
        DrainPeer();
        const Bytes got(Received.begin() + static_cast<std::ptrdiff_t>(std::min(Checked, Received.size())),
                        Received.end());
        Checked = Received.size();
        return SameBytes(expected, got);
    }
    testing::AssertionResult PeerGot(const std::string& expected) { return PeerGot(BytesOf(expected)); }

    // A script file of these bytes in the test's folder.
    QString WriteScript(const std::string& name, const std::string& bytes) {
        const std::filesystem::path path = Folder / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return QString::fromStdString(path.string());
    }

    // Answers the open dialogs to come, in order, with these files; an empty
    // name cancels. Notes what each dialog showed when it opened.
    void AnswerOpenWith(TForm1& form, std::deque<QString> files) {
        Answers = std::move(files);
        form.SetModalRunner([this](QDialog& dialog) {
            ++DialogsShown;
            auto& files = static_cast<QFileDialog&>(dialog);
            DialogTitle = files.windowTitle();
            DialogFolder = files.directory().absolutePath();
            DialogSelection = files.selectedFiles();
            DialogFilters = files.nameFilters();
            if (Answers.empty()) return int(QDialog::Rejected);
            const QString next = Answers.front();
            Answers.pop_front();
            if (next.isEmpty()) return int(QDialog::Rejected);
            files.selectFile(next);
            return int(QDialog::Accepted);
        });
    }

    // Plays a script of these bytes with the side button.
    void Play(TForm1& form, const std::string& bytes, const std::string& name = "script.cpo") {
        AnswerOpenWith(form, {WriteScript(name, bytes)});
        Click(form.Edit4Button);
    }

    std::string Pair;
    std::unique_ptr<afp::TCommDevice> Peer;
    Bytes Received;
    std::size_t Checked = 0;
    std::filesystem::path Folder;

    std::deque<QString> Answers;
    int DialogsShown = 0;
    QString DialogTitle;
    QString DialogFolder;
    QStringList DialogSelection;
    QStringList DialogFilters;
};

}  // namespace kalvaro::test
