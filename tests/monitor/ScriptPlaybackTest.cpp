// Scripts played with the input box's side button: the format's markers and
// data lines end to end on a virtual cable, delays, the open dialog and the
// remembered folder and name, scripts nested in another's delay, a queue
// that fills at a low baud rate, and files no editor writes.
#include "tests/monitor/InputRowFixture.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <initializer_list>

namespace {

using namespace kalvaro::test;

// Lines as the editor ends them.
std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

class ScriptPlaybackTest : public InputRowTest {
protected:
    // Back to ASCII with an empty box between scripts.
    static void Reset(TForm1& form) {
        Click(form.Rascii);
        form.Edit4->clear();
    }

    // The entry of the input box's context menu, opened as the user does.
    static QAction* InputBoxMenuEntry(TForm1& form, const char* name) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), form.Edit4->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(form.Edit4, &event);
        QMenu* menu = nullptr;
        PumpUntil([&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* found = qobject_cast<QMenu*>(widget); found && found->isVisible()) menu = found;
            return menu != nullptr;
        });
        return menu ? menu->findChild<QAction*>(name) : nullptr;
    }

    // Stops the scripts with the box's menu, as the user does.
    static void StopWithMenu(TForm1& form) {
        QAction* stop = InputBoxMenuEntry(form, "stop-script");
        ASSERT_NE(stop, nullptr);
        ASSERT_TRUE(stop->isEnabled());
        stop->trigger();
        qobject_cast<QMenu*>(stop->parent())->close();
    }
};

TEST_F(ScriptPlaybackTest, MarkersAndDataLinesSendWhatTheFormatSays) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();

    Play(form, Lines({"%%HEX%%", "41 42 43", "%%CR%%"}));
    EXPECT_TRUE(PeerGot(Bytes{0x41, 0x42, 0x43, 0x0D}));
    EXPECT_TRUE(form.rhex->isChecked());
    Reset(form);

    Play(form, "41 42 43");
    EXPECT_TRUE(PeerGot("41 42 43")) << "ASCII sends every character, blanks included";

    Play(form, Lines({"%%HEX%%", "414", "2"}));
    EXPECT_TRUE(PeerGot(Bytes{0x41, 0x42})) << "an odd digit waits for the next data line";
    Reset(form);

    Play(form, Lines({"%%DEC%%", "1,2,3", "45"}));
    EXPECT_TRUE(PeerGot(Bytes{123}));
    EXPECT_EQ(form.Edit4->text(), "45");
    Reset(form);

    Play(form, Lines({"%%HEX%%", "4", "%%CR%%", "1"}));
    EXPECT_TRUE(PeerGot(Bytes{0x0D, 0x41})) << "a line end goes ahead of a waiting digit";
    Reset(form);

    Play(form, Lines({"%%HEX%%", "4", "%%ASCII%%", "xyz"}));
    EXPECT_TRUE(PeerGot(Bytes{}));
    EXPECT_EQ(form.Edit4->text(), "4xyz") << "a format marker keeps the waiting characters";
    Reset(form);

    Play(form, Lines({"%%USER_DEF 1B%%", "%%USER_DEF 1b%%", "%%USER_DEF 1B %%", "%%USER_DEF %%"}));
    EXPECT_TRUE(PeerGot(Bytes{0x1B, 0x10, 0x00, 0x00}));

    Play(form, Lines({" %%HEX%%", "%%hex%%", "%%LF ON%%", "%%HEX%%x%%", "%%DELAY100%%", "41"}));
    EXPECT_TRUE(PeerGot(" %%HEX%%41")) << "a blank first makes a data line; unknown words are skipped";
    EXPECT_TRUE(form.Rascii->isChecked());
    Play(form, Lines({"%%HEX%% and more %%", "41"}));
    EXPECT_TRUE(PeerGot(Bytes{0x41})) << "text may follow a marker after a blank";
    Reset(form);

    // A script completes the hex digit the box holds.
    Click(form.rhex);
    QTest::keyClick(form.Edit4, '4');
    Play(form, "1");
    EXPECT_TRUE(PeerGot(Bytes{0x41}));
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
}

TEST_F(ScriptPlaybackTest, SentBytesAreEchoedExceptLineFeeds) {
    TForm1& form = StartWithOpenPort();
    Play(form, Lines({"%%DEC%%", "065 066", "%%LF%%"}));
    EXPECT_TRUE(PeerGot(Bytes{65, 66, 10}));
    EXPECT_EQ(form.RichEdit2->PlainText(), "AB");
    EXPECT_EQ(form.SentCount, 2);

    Click(form.RadioButton5);
    form.Edit6->setText("-");
    Play(form, Lines({"%%CR%%", "%%USER_DEF 7F%%"}));
    EXPECT_TRUE(PeerGot(Bytes{13, 0x7F}));
    EXPECT_EQ(form.RichEdit2->PlainText(), "AB0D-7F-");
}

TEST_F(ScriptPlaybackTest, ScriptsStartInAutoModeAndRememberTheirFile) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    form.LoadPath = QString::fromStdString(Folder.string());
    form.LoadFile = "last.cpo";
    Click(form.Rstring);
    Click(form.rhex);

    Play(form, Lines({"41", "4"}), "played.cpo");
    EXPECT_EQ(DialogTitle, "Open file ..");
    EXPECT_EQ(DialogFilters, QStringList{"Com Port Output (*.cpo)"});
    EXPECT_EQ(DialogFolder, QString::fromStdString(Folder.string()));
    ASSERT_EQ(DialogSelection.size(), 1);
    EXPECT_TRUE(DialogSelection.first().endsWith("/last.cpo")) << DialogSelection.first().toStdString();
    EXPECT_TRUE(PeerGot(Bytes{0x41}));
    EXPECT_TRUE(form.Rchar->isChecked()) << "a script plays in Auto mode, which stays";
    EXPECT_EQ(form.InputLimit(), 2);
    EXPECT_FALSE(form.ChCR->isEnabled());
    EXPECT_EQ(form.Edit4->text(), "4");
    EXPECT_EQ(form.LoadPath, QString::fromStdString(Folder.string()));
    EXPECT_EQ(form.LoadFile, "played.cpo");

    // A file that cannot be opened plays nothing and is not remembered.
    const QString missing = QString::fromStdString((Folder / "missing.cpo").string());
    AnswerOpenWith(form, {missing});
    Click(form.Edit4Button);
    EXPECT_EQ(errors.Texts, QStringList{"Cannot open file " + missing + "."});
    EXPECT_EQ(form.LoadFile, "played.cpo");

    // Cancelling does nothing.
    AnswerOpenWith(form, {QString()});
    Click(form.Edit4Button);
    EXPECT_EQ(DialogsShown, 3);
    EXPECT_EQ(errors.Texts.size(), 1);
    EXPECT_TRUE(PeerGot(Bytes{}));
}

TEST_F(ScriptPlaybackTest, TheSideButtonDoesNothingWhilePort1IsClosed) {
    TForm1& form = Start();
    AnswerOpenWith(form, {WriteScript("a.cpo", "A")});
    Click(form.Edit4Button);
    EXPECT_EQ(DialogsShown, 0);
}

TEST_F(ScriptPlaybackTest, DelaysWaitWithTheWindowRunningAndZeroDoesNotWait) {
    TForm1& form = StartWithOpenPort();
    int ticks = 0;
    QTimer gui;
    QObject::connect(&gui, &QTimer::timeout, [&] { ++ticks; });
    gui.start(20);

    QElapsedTimer clock;
    clock.start();
    Play(form, "%%DELAY 500%%");
    EXPECT_GE(clock.elapsed(), 500);
    EXPECT_GT(ticks, 0) << "the GUI's timers run during a delay";
    EXPECT_FALSE(form.Timer5->isActive());
    EXPECT_TRUE(form.DelayDone);
    EXPECT_TRUE(PeerGot(Bytes{}));
    EXPECT_EQ(form.SentCount, 0);

    // A wait lets posted work run; a zero delay does not wait at all.
    const auto waited = [&](const std::string& script) {
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        Play(form, script);
        const bool result = ran;
        PumpUntil([&] { return ran; });
        return result;
    };
    EXPECT_FALSE(waited(Lines({"%%DELAY 0%%", "%%DELAY 000%%"})));
    EXPECT_TRUE(waited("%%DELAY 1%%"));

    // A command line longer than any field is still one command.
    clock.restart();
    Play(form, Lines({"%%DELAY " + std::string(100, ' ') + "20%%", "%%CR%%"}));
    EXPECT_GE(clock.elapsed(), 20);
    EXPECT_TRUE(PeerGot(Bytes{0x0D}));
}

TEST_F(ScriptPlaybackTest, EscStopsADelayAtOnceAndTheTitleShowsTheScriptMeanwhile) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    EXPECT_EQ(form.windowTitle(), " Kalvaro");
    QString titleDuringDelay;
    QTimer::singleShot(100, [&] {
        titleDuringDelay = form.windowTitle();
        QTest::keyClick(form.Edit4, Qt::Key_Escape);
    });
    Click(form.rhex);
    Play(form, Lines({"41", "4", "%%DELAY 60000%%", "1", "42"}), "stop.cpo");
    EXPECT_EQ(titleDuringDelay, QString::fromUtf8(" Kalvaro \u2014 stop.cpo, line 3 of 5"));
    EXPECT_EQ(form.windowTitle(), " Kalvaro");
    EXPECT_EQ(form.Edit4->text(), "") << "the digit waiting in the box is not sent";
    EXPECT_FALSE(form.Timer5->isActive());
    EXPECT_TRUE(PeerGot(Bytes{0x41}));
    EXPECT_EQ(form.RichEdit2->PlainText(), "A");

    // Without a script Esc leaves the box as it is.
    QTest::keyClick(form.Edit4, '4');
    QTest::keyClick(form.Edit4, Qt::Key_Escape);
    EXPECT_EQ(form.Edit4->text(), "4");
    QAction* stop = InputBoxMenuEntry(form, "stop-script");
    ASSERT_NE(stop, nullptr);
    EXPECT_FALSE(stop->isEnabled());
    qobject_cast<QMenu*>(stop->parent())->close();
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
}

TEST_F(ScriptPlaybackTest, StopEndsTheSecondScriptAndTheOneWaitingBelowIt) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    const QString first = WriteScript("first.cpo", Lines({"A", "%%DELAY 60000%%", "B"}));
    const QString second = WriteScript("second.cpo", Lines({"C", "%%DELAY 60000%%", "D"}));
    AnswerOpenWith(form, {first, second});
    QString titleInSecond;
    QTimer::singleShot(100, [&] { Click(form.Edit4Button); });
    QTimer::singleShot(300, [&] {
        titleInSecond = form.windowTitle();
        StopWithMenu(form);
    });
    Click(form.Edit4Button);
    EXPECT_EQ(titleInSecond, QString::fromUtf8(" Kalvaro \u2014 second.cpo, line 2 of 3"));
    EXPECT_EQ(form.windowTitle(), " Kalvaro");
    EXPECT_TRUE(PeerGot("AC"));
    EXPECT_EQ(form.RichEdit2->PlainText(), "AC");
    EXPECT_EQ(form.SentCount, 2);
    EXPECT_FALSE(form.ScriptPlaying());
    EXPECT_FALSE(form.Timer5->isActive());
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
}

TEST_F(ScriptPlaybackTest, ALongDataLineLetsTheWindowAnswerAndStopsAfterTheByteBeingSent) {
    TErrorBoxes errors;
    TForm1& form = Start();
    // Room for the whole line: the player never waits for the line, so only
    // its own pauses let the window run.
    form.Comport1->SetOutBufSize(1 << 20);
    OpenPort1(form);
    std::string line(200000, ' ');
    for (std::size_t at = 0; at < line.size(); ++at) line[at] = static_cast<char>('!' + at % 90);

    int ticksWhilePlaying = 0;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (!form.ScriptPlaying()) return;
        ++ticksWhilePlaying;
        if (form.SentCount >= 2000) QTest::keyClick(form.Edit4, Qt::Key_Escape);
    });
    watcher.start(5);
    Play(form, line);
    watcher.stop();
    EXPECT_GT(ticksWhilePlaying, 0) << "the window answered while the line played";
    const auto sent = static_cast<std::size_t>(form.SentCount);
    ASSERT_GE(sent, 2000u);
    ASSERT_LT(sent, line.size()) << "the line was stopped";
    EXPECT_TRUE(PeerGot(BytesOf(line.substr(0, sent)), LongLimit))
        << "every byte echoed went out, in order, and no more";
    EXPECT_TRUE(form.RichEdit2->PlainText() == line.substr(0, sent));
    EXPECT_EQ(form.Edit4->text(), "");
    EXPECT_EQ(form.windowTitle(), " Kalvaro");
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
}

TEST_F(ScriptPlaybackTest, ABadDelayEndsTheScript) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    Play(form, Lines({"%%DELAY x%%", "%%CR%%"}));
    Play(form, Lines({"%%CR%%", "%%DELAY 99999999999%%", "%%CR%%"}));
    Play(form, Lines({"%%DELAY 2147483648%%", "A"}));
    EXPECT_EQ(errors.Texts,
              (QStringList{"'' is not a valid integer value.", "'99999999999' is not a valid integer value.",
                           "'2147483648' is not a valid integer value."}));
    EXPECT_TRUE(PeerGot(Bytes{0x0D})) << "bytes before the bad line stay sent";
    EXPECT_FALSE(form.Timer5->isActive());
}

TEST_F(ScriptPlaybackTest, AScriptStartedDuringADelayPlaysCompletelyFirst) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    const QString first = WriteScript("first.cpo", Lines({"%%HEX%%", "41", "%%DELAY 400%%", "42"}));
    const QString second = WriteScript("second.cpo", Lines({"43", "%%DELAY 100%%", "44"}));
    AnswerOpenWith(form, {first, second});
    // During the first delay: a capture save and the second script.
    const QString capture = QString::fromStdString((Folder / "capture.cpi").string());
    QTimer::singleShot(100, [&] {
        form.SetModalRunner([&](QDialog& dialog) {
            auto& files = static_cast<QFileDialog&>(dialog);
            files.selectFile(&dialog == form.OpenDialog1 ? second : capture);
            return int(QDialog::Accepted);
        });
        Click(form.Button2);
        Click(form.Edit4Button);
    });
    QElapsedTimer clock;
    clock.start();
    Click(form.Edit4Button);
    EXPECT_GE(clock.elapsed(), 400) << "the first delay is not cut short";
    EXPECT_TRUE(PeerGot(Bytes{0x41, 0x43, 0x44, 0x42}));
    EXPECT_TRUE(std::filesystem::exists(Folder / "capture.cpi"));
    EXPECT_EQ(form.LoadFile, "second.cpo");
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
    EXPECT_FALSE(form.Timer5->isActive());
}

TEST_F(ScriptPlaybackTest, AClosedPortDropsDataAndLineEndsEndTheScript) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    QTimer::singleShot(50, [&] { ClosePort1(form); });
    Play(form, Lines({"A", "%%DELAY 300%%", "B", "%%CR%%", "C"}));
    EXPECT_EQ(errors.Texts, QStringList{"Write data error [requested: 1, free: 0] - Comport1 "});
    EXPECT_EQ(form.Edit4->text(), "");
    EXPECT_TRUE(PeerGot("A"));
}

TEST_F(ScriptPlaybackTest, ADataErrorIsShownAndTheScriptGoesOn) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    Play(form, Lines({"%%HEX%%", "A", "%%DEC%%", "12", "3", "%%CR%%"}));
    EXPECT_EQ(errors.Texts, QStringList{"'A12' is not a valid integer value."});
    EXPECT_EQ(form.Edit4->text(), "A123") << "the value that failed stays; what follows is appended";
    EXPECT_TRUE(PeerGot(Bytes{0x0D}));
}

TEST_F(ScriptPlaybackTest, AFullOutputQueueHoldsTheScriptBackInsteadOfLosingBytes) {
    TErrorBoxes errors;
    TForm1& form = Start();
    form.Comport1->SetOutBufSize(2048);
    OpenPort1(form, br9600);

    const Bytes data = PatternBytes(20000, 7);
    std::string script = "%%HEX%%\r\n";
    static const char digits[] = "0123456789abcdef";
    for (std::size_t at = 0; at < data.size(); ++at) {
        script += digits[data[at] >> 4];
        script += digits[data[at] & 15];
        script += at % 32 == 31 ? "\r\n" : " ";
    }
    StartGuiTicks();
    Play(form, script);
    EXPECT_GT(GuiTicks, 10) << "the GUI kept running while the script waited for the line";
    EXPECT_TRUE(PeerGot(data, LongLimit));
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
    EXPECT_EQ(form.SentCount, 20000);
}

TEST_F(ScriptPlaybackTest, FilesNoEditorWritesEndAsTheFormatSays) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();

    // Binary bytes, every value but the line ends and zero: each is one
    // character, sent as the same byte; the text ends at the zero byte.
    Bytes binary = PatternBytes(3000, 11);
    for (BYTE& byte : binary)
        if (byte == 0 || byte == '\r' || byte == '\n' || byte == '%') byte = 0x81;
    std::string file(binary.begin(), binary.end());
    file += std::string("\0after the end", 14);
    Play(form, file);
    EXPECT_TRUE(PeerGot(binary));

    Play(form, Lines({"%%HEX%%",
                      std::string("41\0"
                                  "42",
                                  5),
                      "43"}));
    EXPECT_TRUE(PeerGot(Bytes{0x41}));

    // Lines of a million characters: unused ones, and used ones that can
    // never make a value; the box keeps what it can hold.
    Play(form,
         Lines({"%%HEX%%", std::string(1000000, 'x'), "41", "4", "%%ASCII%%", std::string(1000000, 'z'), "%%CR%%"}));
    EXPECT_TRUE(PeerGot(Bytes{0x41, 0x0D}));
    EXPECT_EQ(form.Edit4->text().size(), form.Edit4->maxLength());
    Reset(form);

    // Malformed command lines: tabs, no closing marks, no argument.
    Play(form, Lines({"%%DELAY\t5%%", "%%CR", "%%HEX%%\t", "%%USER_DEF%%", "%%", "%", "%%LF%%"}));
    EXPECT_TRUE(PeerGot(std::string("%%CR%%HEX%%\t%\n")));

    // 50 MB of characters the format does not use.
    std::string big = "%%HEX%%\r\n";
    const std::string line = Lines({std::string(999, 'x')});
    while (big.size() < 50'000'000) big += line;
    big += "41";
    Play(form, big);
    EXPECT_TRUE(PeerGot(Bytes{0x41}));
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
}

}  // namespace
