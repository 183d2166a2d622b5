#pragma once
// A fresh script editor for each test, with its user-button dialog and path
// fields handed over as the program does, shown and active on the offscreen
// screen; a folder of its own for script files; seams that answer the file
// dialogs, the save question and the warnings and remember what they were
// shown.

#include "editor/Unit2.h"
#include "editor/editor1.h"
#include "tests/serial/GuiTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace kalvaro::test {

// The editor as main() links it: the path fields stand in for the main
// window's.
struct TEditorWindows {
    TEditorWindows() {
        Editor.SetPathFields(&EditPath, &EditFile);
        Editor.SetUserButtonDialog(&Form2);
    }

    QString EditPath;
    QString EditFile;
    TEditor Editor;
    TForm2 Form2;
};

// What a file dialog showed when a seam answered it.
struct TDialogSeen {
    int Count = 0;
    QString Title;
    QString Folder;
    QString FileName;
};

inline QString FileNameField(QFileDialog& dialog) {
    const auto* field = dialog.findChild<QLineEdit*>("fileNameEdit");
    return field ? field->text() : QString("<no file name field>");
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

class EditorTest : public testing::Test {
protected:
    void SetUp() override {
        Folder = ConfigHome() / "scripts";
        std::filesystem::remove_all(Folder);
        std::filesystem::create_directories(Folder);
        Windows = std::make_unique<TEditorWindows>();
        TEditor& editor = Windows->Editor;
        editor.Dialogs().RunOpen = [this](QFileDialog& dialog) { return Answer(dialog, OpenSeen, OpenAnswer); };
        editor.Dialogs().RunSave = [this](QFileDialog& dialog) { return Answer(dialog, SaveSeen, SaveAnswer); };
        editor.Dialogs().AskSave = [this](QMessageBox& box) {
            Questions << box.text();
            return SaveQuestionAnswer;
        };
        editor.Dialogs().Warn = [this](QMessageBox& box) {
            Warnings << box.text();
            return int(QMessageBox::Ok);
        };
        editor.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
        editor.activateWindow();
        ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &editor; }));
    }

    void TearDown() override {
        Windows.reset();
        std::filesystem::remove_all(Folder);
        ResetSettings();
    }

    TEditor& Editor() { return Windows->Editor; }
    QString Text() { return Editor().Memo1->toPlainText(); }

    // Types into the text area with real key presses. Characters beyond
    // ASCII come as a keyboard layout sends them: a key event carrying the
    // character.
    void Type(const QString& text) {
        Editor().Memo1->setFocus();
        for (const QChar ch : text) {
            if (ch.unicode() < 0x80)
                QTest::keyClick(Editor().Memo1, ch.toLatin1());
            else
                QTest::sendKeyEvent(QTest::Click, Editor().Memo1, Qt::Key_unknown, QString(ch), Qt::NoModifier);
        }
    }

    // The file a dialog answer picks; empty cancels the dialog.
    QString OpenAnswer;
    QString SaveAnswer;
    int SaveQuestionAnswer = QMessageBox::No;
    TDialogSeen OpenSeen;
    TDialogSeen SaveSeen;
    QStringList Questions;
    QStringList Warnings;

    std::filesystem::path Folder;
    std::unique_ptr<TEditorWindows> Windows;

private:
    static int Answer(QFileDialog& dialog, TDialogSeen& seen, const QString& answer) {
        ++seen.Count;
        seen.Title = dialog.windowTitle();
        seen.Folder = dialog.directory().absolutePath();
        seen.FileName = FileNameField(dialog);
        if (answer.isEmpty()) return QDialog::Rejected;
        dialog.selectFile(answer);
        return QDialog::Accepted;
    }
};

}  // namespace kalvaro::test
