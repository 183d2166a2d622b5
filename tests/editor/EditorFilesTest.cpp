// The script editor's files: the save question, New, Open, Save, Save As,
// the folder and name they remember, their errors, and byte-exact files.
#include "tests/editor/EditorFixture.h"
#include "ui/ScriptFile.h"

#include <QAction>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>

#include <sys/resource.h>

#include <csignal>

namespace {

using namespace kalvaro::test;

const QString Question = "Save changes in file \nNew ?";

TEST_F(EditorTest, NewOnAnUnchangedTextAsksNothing) {
    Editor().New1->trigger();
    EXPECT_TRUE(Questions.isEmpty());
    EXPECT_EQ(Editor().windowTitle(), "New");
    EXPECT_FALSE(Editor().TextChanged) << "New's emptying is not a change";
}

TEST_F(EditorTest, NewAsksAboutAChangedTextAndCancelStopsIt) {
    TEditor& editor = Editor();
    Type("41 42");
    SaveQuestionAnswer = QMessageBox::Cancel;
    editor.New1->trigger();
    EXPECT_EQ(Questions, QStringList({Question}));
    EXPECT_EQ(Text(), "41 42") << "Cancel stops New";

    SaveQuestionAnswer = QMessageBox::No;
    editor.ToolButton1->click();
    EXPECT_EQ(Questions.size(), 2);
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(editor.windowTitle(), "New");
    EXPECT_TRUE(editor.TextChanged) << "nothing resets it";

    editor.New1->trigger();
    EXPECT_EQ(Questions.size(), 3) << "an empty text still counts as changed";
}

TEST_F(EditorTest, YesWithoutAFileShowsTheSaveDialogAndNewGoesOnWhenItIsCancelled) {
    TEditor& editor = Editor();
    Type("data");
    SaveQuestionAnswer = QMessageBox::Yes;
    SaveAnswer.clear();
    editor.New1->trigger();
    EXPECT_EQ(SaveSeen.Count, 1);
    EXPECT_EQ(SaveSeen.Title, "Save file as..");
    EXPECT_EQ(Text(), "") << "cancelling the save dialog saves nothing, New goes on";
    EXPECT_TRUE(std::filesystem::is_empty(Folder));

    Type("kept");
    SaveAnswer = Q(Folder / "kept.cpo");
    editor.New1->trigger();
    EXPECT_EQ(ReadBytes(Folder / "kept.cpo"), "kept") << "Yes saves before emptying";
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(editor.windowTitle(), "New");
}

TEST_F(EditorTest, AfterOpeningAndSavingNewStillAsks) {
    TEditor& editor = Editor();
    WriteBytes(Folder / "a.cpo", "%%HEX%%\r\n41\r\n");
    OpenAnswer = Q(Folder / "a.cpo");
    editor.Open1->trigger();
    EXPECT_TRUE(Questions.isEmpty());
    EXPECT_EQ(Text(), "%%HEX%%\n41\n");
    EXPECT_EQ(editor.windowTitle(), Q(Folder / "a.cpo"));
    EXPECT_TRUE(editor.TextChanged) << "loading is a change";

    editor.Save1->trigger();
    EXPECT_EQ(SaveSeen.Count, 0) << "a text with a file saves without the dialog";
    editor.New1->trigger();
    EXPECT_EQ(Questions, QStringList({"Save changes in file \n" + Q(Folder / "a.cpo") + " ?"}));
}

TEST_F(EditorTest, OpenReplacesTheTextWithoutAskingWhileTheCaptionIsNew) {
    TEditor& editor = Editor();
    Type("typed, never saved");
    WriteBytes(Folder / "b.cpo", "loaded");
    OpenAnswer = Q(Folder / "b.cpo");
    editor.ToolButton2->click();
    EXPECT_TRUE(Questions.isEmpty());
    EXPECT_EQ(Text(), "loaded");
}

TEST_F(EditorTest, OpenOverAFileAsksButAnyAnswerLoads) {
    TEditor& editor = Editor();
    WriteBytes(Folder / "first.cpo", "first");
    WriteBytes(Folder / "second.cpo", "second");
    OpenAnswer = Q(Folder / "first.cpo");
    editor.Open1->trigger();
    Type("!");
    SaveQuestionAnswer = QMessageBox::Cancel;
    OpenAnswer = Q(Folder / "second.cpo");
    editor.Open1->trigger();
    EXPECT_EQ(Questions.size(), 1);
    EXPECT_EQ(Text(), "second") << "Cancel does not stop the Open";
    EXPECT_EQ(editor.windowTitle(), Q(Folder / "second.cpo"));
    EXPECT_EQ(ReadBytes(Folder / "first.cpo"), "first");

    OpenAnswer.clear();
    editor.Open1->trigger();
    EXPECT_EQ(Text(), "second") << "a cancelled open dialog changes nothing";
    EXPECT_EQ(Questions.size(), 1);
}

TEST_F(EditorTest, TheDialogsRememberTheFolderAndNameOfTheLastFile) {
    TEditor& editor = Editor();
    Type("%%CR%%");
    std::filesystem::create_directories(Folder / "scripts");
    SaveAnswer = Q(Folder / "scripts" / "test");
    editor.Save1->trigger();
    const QString saved = Q(Folder / "scripts" / "test.cpo");
    EXPECT_EQ(editor.windowTitle(), saved) << "the default extension is added";
    EXPECT_EQ(Windows->EditPath, Q(Folder / "scripts"));
    EXPECT_EQ(Windows->EditFile, "test.cpo");
    EXPECT_EQ(ReadBytes(Folder / "scripts" / "test.cpo"), "%%CR%%");

    OpenAnswer.clear();
    editor.Open1->trigger();
    EXPECT_EQ(OpenSeen.Title, "Open file ..");
    EXPECT_EQ(OpenSeen.Folder, Q(Folder / "scripts"));
    EXPECT_EQ(OpenSeen.FileName, "test.cpo");

    OpenAnswer = Q(Folder / "other.cpo");
    WriteBytes(Folder / "other.cpo", "x");
    editor.Open1->trigger();
    EXPECT_EQ(Windows->EditPath, Q(Folder));
    EXPECT_EQ(Windows->EditFile, "other.cpo");
}

TEST_F(EditorTest, SaveAsStartsFromTheRememberedFileAndKeepsTheDialogsTitle) {
    TEditor& editor = Editor();
    Windows->EditPath = Q(Folder);
    Windows->EditFile = "remembered.cpo";
    Type("1");
    SaveAnswer.clear();
    editor.SaveAs1->trigger();
    EXPECT_EQ(SaveSeen.Folder, Q(Folder));
    EXPECT_EQ(SaveSeen.FileName, "remembered.cpo");
    EXPECT_NE(SaveSeen.Title, "Save file as..") << "Save As sets no title of its own";

    editor.Save1->trigger();
    EXPECT_EQ(SaveSeen.Title, "Save file as..");
    EXPECT_EQ(SaveSeen.FileName, "remembered.cpo") << "Save keeps the name the dialog held";

    SaveAnswer = Q(Folder / "copy.cpo");
    editor.SaveAs1->trigger();
    EXPECT_EQ(SaveSeen.Title, "Save file as..") << "the title Save set stays";
    EXPECT_EQ(editor.windowTitle(), Q(Folder / "copy.cpo"));
    EXPECT_EQ(Windows->EditFile, "copy.cpo");
    EXPECT_EQ(ReadBytes(Folder / "copy.cpo"), "1");

    Type("2");
    editor.Save1->trigger();
    EXPECT_EQ(ReadBytes(Folder / "copy.cpo"), "12") << "Save replaces the file named by the caption";
    EXPECT_EQ(SaveSeen.Count, 3);
}

TEST_F(EditorTest, AFileThatCannotBeOpenedIsReportedAfterTheNewStep) {
    TEditor& editor = Editor();
    TErrorBoxes boxes;
    WriteBytes(Folder / "old.cpo", "old");
    OpenAnswer = Q(Folder / "old.cpo");
    editor.Open1->trigger();

    std::filesystem::create_directories(Folder / "elsewhere");
    OpenAnswer = Q(Folder / "elsewhere" / "missing.cpo");
    editor.Open1->trigger();
    EXPECT_EQ(boxes.Texts, QStringList({"Cannot open file " + OpenAnswer + "."}));
    EXPECT_EQ(Windows->EditPath, Q(Folder / "elsewhere"));
    EXPECT_EQ(Windows->EditFile, "missing.cpo");
    EXPECT_EQ(Text(), "") << "New has run";
    EXPECT_EQ(editor.windowTitle(), "New") << "set by New, not to the file";
}

TEST_F(EditorTest, AFileThatCannotBeWrittenIsReportedAndTheCaptionStays) {
    TEditor& editor = Editor();
    TErrorBoxes boxes;
    Type("text");
    SaveAnswer = Q(Folder / "no such folder" / "x.cpo");
    editor.Save1->trigger();
    EXPECT_EQ(boxes.Texts, QStringList({"Cannot create file " + SaveAnswer + "."}));
    EXPECT_EQ(editor.windowTitle(), "New");

    SaveAnswer = Q(Folder / "x.cpo");
    editor.Save1->trigger();
    ASSERT_EQ(editor.windowTitle(), SaveAnswer);
    std::filesystem::remove(Folder / "x.cpo");
    std::filesystem::create_directory(Folder / "x.cpo");
    editor.Save1->trigger();
    EXPECT_EQ(boxes.Texts.value(1), "Cannot create file " + SaveAnswer + ".");
    EXPECT_EQ(editor.windowTitle(), SaveAnswer);
}

// A disk that fills up after a few kilobytes, as this process sees it: a
// file size limit, its signal ignored so that a write past it fails.
class TFullDisk {
public:
    explicit TFullDisk(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &Old);
        OldSignal = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{bytes, Old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~TFullDisk() {
        setrlimit(RLIMIT_FSIZE, &Old);
        std::signal(SIGXFSZ, OldSignal);
    }
    TFullDisk(const TFullDisk&) = delete;
    TFullDisk& operator=(const TFullDisk&) = delete;

private:
    rlimit Old{};
    void (*OldSignal)(int) = nullptr;
};

TEST_F(EditorTest, SavingOnAFullDiskLeavesTheOldFileWhole) {
    TEditor& editor = Editor();
    TErrorBoxes boxes;
    const std::string old(2000, 'o');
    WriteBytes(Folder / "old.cpo", old);
    WriteBytes(Folder / "other.cpo", old);
    OpenAnswer = Q(Folder / "old.cpo");
    editor.Open1->trigger();
    editor.Memo1->setPlainText(QString(64 * 1024, u'n'));
    SaveAnswer = Q(Folder / "other.cpo");
    {
        TFullDisk full(16 * 1024);
        editor.Save1->trigger();
        editor.SaveAs1->trigger();
    }
    EXPECT_EQ(boxes.Texts,
              QStringList({"Cannot create file " + OpenAnswer + ".", "Cannot create file " + SaveAnswer + "."}));
    EXPECT_TRUE(ReadBytes(Folder / "old.cpo") == old) << "Save left the old file whole";
    EXPECT_TRUE(ReadBytes(Folder / "other.cpo") == old) << "Save As left the old file whole";
    std::vector<std::filesystem::path> left;
    for (const auto& entry : std::filesystem::directory_iterator(Folder)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::filesystem::path>({"old.cpo", "other.cpo"})) << "no temporary file is left";
    EXPECT_EQ(editor.windowTitle(), OpenAnswer);
}

TEST_F(EditorTest, AFileLongerThanTheTextAreaHoldsIsRefused) {
    TEditor& editor = Editor();
    TErrorBoxes boxes;
    WriteBytes(Folder / "huge.cpo", std::string(static_cast<std::size_t>(TScriptMemo::MemoCapacity) + 1, 'A'));
    OpenAnswer = Q(Folder / "huge.cpo");
    editor.Open1->trigger();
    EXPECT_EQ(boxes.Texts, QStringList({"Text exceeds memo capacity."}));
    EXPECT_EQ(editor.windowTitle(), "New");
    EXPECT_EQ(Text(), "");
}

// A line too long to lay out whole shows in pieces, which are no line
// breaks of the text: typed around, split, joined or given a marker, the
// line saves as the text it is.
TEST_F(EditorTest, ALongLineShowsInPiecesAndSavesAsOneLine) {
    TEditor& editor = Editor();
    const qsizetype piece = TScriptMemo::PieceLength;
    std::string a, b, c, d;
    for (qsizetype i = 0; i < piece; ++i) {
        a += static_cast<char>('a' + i % 26);
        b += static_cast<char>('A' + i % 26);
        c += static_cast<char>('0' + i % 10);
    }
    d = "0123456789";
    WriteBytes(Folder / "long.cpo", "short\r\n" + a + b + c + d + "\r\nlast");
    OpenAnswer = Q(Folder / "long.cpo");
    editor.Open1->trigger();
    ASSERT_EQ(editor.Memo1->blockCount(), 6) << "short, four pieces, last";
    EXPECT_FALSE(editor.Memo1->document()->isUndoRedoEnabled());

    const auto caret = [&](int block, bool atEnd) {
        const QTextBlock shown = editor.Memo1->document()->findBlockByNumber(block);
        QTextCursor cursor(shown);
        if (atEnd) cursor.setPosition(shown.position() + shown.length() - 1);
        editor.Memo1->setTextCursor(cursor);
    };
    caret(1, true);
    Type("X");  // before a piece break
    caret(2, false);
    Type("Y");  // after it
    caret(3, false);
    QTest::keyClick(editor.Memo1, Qt::Key_Return);  // a real line break
    caret(5, false);
    QTest::keyClick(editor.Memo1, Qt::Key_Backspace);  // joins two pieces
    caret(2, false);
    QTest::mouseClick(editor.SpeedButton2, Qt::LeftButton);  // a marker starts a line of its own
    editor.Save1->trigger();
    EXPECT_TRUE(ReadBytes(Folder / "long.cpo") ==
                "short\r\n" + a + "X\r\n%%HEX%%\r\nY" + b + "\r\n" + c + d + "\r\nlast");

    WriteBytes(Folder / "short.cpo", "1\r\n2");
    OpenAnswer = Q(Folder / "short.cpo");
    editor.Open1->trigger();
    EXPECT_EQ(Text(), "1\n2");
    EXPECT_TRUE(editor.Memo1->document()->isUndoRedoEnabled()) << "a text without pieces has its undo";
    EXPECT_EQ(editor.Memo1->document()->defaultFont(), editor.Memo1->font());
    OpenAnswer = Q(Folder / "long.cpo");
    editor.Open1->trigger();
    editor.New1->trigger();
    EXPECT_EQ(Text(), "");
}

// Every byte value but the two line-end bytes, in CR LF lines of 16.
std::string EveryByteInLines() {
    std::string bytes;
    int inLine = 0;
    for (int value = 1; value <= 255; ++value) {
        if (value == '\r' || value == '\n') continue;
        bytes.push_back(static_cast<char>(value));
        if (++inLine == 16) {
            bytes += "\r\n";
            inLine = 0;
        }
    }
    return bytes;
}

TEST_F(EditorTest, AnUnchangedFileSavesBackByteForByte) {
    TEditor& editor = Editor();
    const std::string bytes = EveryByteInLines();
    for (const std::string& file : {bytes, bytes + "\r\n", "\r\n\r\n" + bytes}) {
        WriteBytes(Folder / "all.cpo", file);
        OpenAnswer = Q(Folder / "all.cpo");
        editor.Open1->trigger();
        ASSERT_EQ(editor.windowTitle(), OpenAnswer);
        WriteBytes(Folder / "all.cpo", "");
        editor.Save1->trigger();
        EXPECT_EQ(ReadBytes(Folder / "all.cpo"), file);
    }
    for (const char* shown : {"\u20AC", "\u0160", "\u017D", "\u0141", "\u02D9", "\u00A0"})
        EXPECT_TRUE(editor.Memo1->document()->toRawText().contains(QString::fromUtf8(shown)))
            << "shown through code page 1250: " << shown;
}

TEST_F(EditorTest, LoadingNormalisesLineEnds) {
    TEditor& editor = Editor();
    WriteBytes(Folder / "mixed.cpo", "a\rb\nc\r\n\n\rd");
    OpenAnswer = Q(Folder / "mixed.cpo");
    editor.Open1->trigger();
    EXPECT_EQ(Text(), "a\nb\nc\n\n\nd");
    editor.Save1->trigger();
    EXPECT_EQ(ReadBytes(Folder / "mixed.cpo"), "a\r\nb\r\nc\r\n\r\n\r\nd");
}

TEST_F(EditorTest, ATextWithACharacterOutsideTheCodePageIsNotWritten) {
    TEditor& editor = Editor();
    TErrorBoxes boxes;
    editor.Memo1->setPlainText(QString::fromUtf8("año"));
    SaveAnswer = Q(Folder / "n.cpo");
    editor.Save1->trigger();
    EXPECT_EQ(boxes.Texts.size(), 1);
    EXPECT_FALSE(std::filesystem::exists(Folder / "n.cpo"));
    EXPECT_EQ(editor.windowTitle(), "New");
}

TEST(ScriptFiles, ReadAndWriteBytesAsTheyAre) {
    const std::filesystem::path file = ConfigHome() / "bytes.cpo";
    std::string all;
    for (int value = 0; value < 256; ++value) all.push_back(static_cast<char>(value));
    WriteScriptFile(Q(file), all);
    EXPECT_EQ(ReadBytes(file), all);
    EXPECT_EQ(ReadScriptFile(Q(file)), all);
    WriteScriptFile(Q(file), "short");
    EXPECT_EQ(ReadScriptFile(Q(file)), "short") << "writing replaces the file";
    std::filesystem::remove(file);
    EXPECT_THROW(ReadScriptFile(Q(file)), EFOpenError);
    EXPECT_THROW(ReadScriptFile(Q(ConfigHome())), EFOpenError) << "a folder is no file";
    EXPECT_THROW(WriteScriptFile(Q(ConfigHome() / "missing" / "x.cpo"), "x"), EFCreateError);
}

}  // namespace
