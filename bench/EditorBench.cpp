// How long the script editor takes to open a large script, and whether it
// stays usable afterwards. Prints figures; never fails on time.
//
//   editor_bench [largest-megabytes]
//
// For files of 1, 5 and 15 MiB (those up to the given size, 15 by default),
// each as one single line of hexadecimal values (a dump pasted without line
// breaks: "414243..." and "41 42 43 ...") and as lines of 32 values, the real
// editor window (offscreen) is timed for:
//  - open: the Open command, its dialog answered at once, until the text
//    area has painted the start of the text;
//  - key: a typed key and a Backspace in the first line, each painted;
//  - scroll: a page down, painted;
//  - save: the Save command over the file;
// and reports its resident memory after the open and whether the saved file
// is the file it opened, byte for byte.
#include "bench/BenchSupport.h"
#include "editor/editor1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

using namespace kalvaro::bench;

namespace {

enum class TShape { Unbroken, Blanks, Lines };

// Hexadecimal values, each two digits: one line without a blank (the worst
// case for wrapping a line), one line with a blank after each value, or
// lines of 32 values with a blank after each.
std::string Script(std::size_t bytes, TShape shape) {
    static const char* const Digits = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes + 100);
    unsigned value = 0;
    while (text.size() < bytes) {
        text += Digits[(value >> 4) & 15];
        text += Digits[value & 15];
        ++value;
        if (shape == TShape::Lines && value % 32 == 0)
            text += "\r\n";
        else if (shape != TShape::Unbroken)
            text += ' ';
    }
    text.resize(bytes);
    return text;
}

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void Press(QWidget* widget, int key, const QString& text = {}, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(widget, &release);
}

// Milliseconds that work and the painting it causes take.
template <class Work>
double Timed(TEditor& editor, Work work) {
    QElapsedTimer timer;
    timer.start();
    work();
    editor.Memo1->viewport()->repaint();
    QCoreApplication::processEvents();
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

void Measure(TEditor& editor, const std::filesystem::path& path, const char* shape, int megabytes) {
    const std::string original = FileBytes(path);
    const QString file = QString::fromStdString(path.string());
    editor.Dialogs().RunOpen = [&](QFileDialog& dialog) {
        dialog.selectFile(file);
        return int(QDialog::Accepted);
    };
    const double open = Timed(editor, [&] { editor.Open1->trigger(); });
    const double memory = ResidentMegabytes();
    QWidget* area = editor.Memo1;
    area->setFocus();
    const double key = Timed(editor, [&] { Press(area, Qt::Key_X, "x"); });
    const double erase = Timed(editor, [&] { Press(area, Qt::Key_Backspace); });
    const double page = Timed(editor, [&] { Press(area, Qt::Key_PageDown); });
    const double save = Timed(editor, [&] { editor.Save1->trigger(); });
    const bool same = FileBytes(path) == original && editor.windowTitle() == file;
    std::printf("%3d MiB %-16s open %8.0f ms  key %6.1f ms  backspace %6.1f ms  page down %6.1f ms  save %6.0f ms"
                "  resident %5.0f MiB  saved back byte for byte: %s\n",
                megabytes, shape, open, key, erase, page, save, memory, same ? "yes" : "NO");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int largest = argc > 1 ? std::atoi(argv[1]) : 15;
    const TBenchSettings settings("kalvaro-editor-bench");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kalvaro");

    TEditor editor;
    // Each open after the first leaves a changed text: it is let go.
    editor.Dialogs().AskSave = [](QMessageBox&) { return int(QMessageBox::No); };
    editor.show();
    QCoreApplication::processEvents();
    for (const int megabytes : {1, 5, 15}) {
        if (megabytes > largest) break;
        for (const auto& [shape, name] : {std::pair{TShape::Unbroken, "one line"},
                                          std::pair{TShape::Blanks, "one line, blanks"},
                                          std::pair{TShape::Lines, "many lines"}}) {
            const std::filesystem::path path = settings.Folder() / "big.cpo";
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                << Script(static_cast<std::size_t>(megabytes) * 1024 * 1024, shape);
            Measure(editor, path, name, megabytes);
            std::filesystem::remove(path);
        }
    }
    return 0;
}
