// Program entry: the application and its title, the command line, the four
// windows in their order of creation, and the message loop, which ends when
// the main window has closed.
#include "about/Unit3.h"
#include "editor/Unit2.h"
#include "editor/editor1.h"
#include "monitor/StartOptions.h"
#include "monitor/Unit1.h"
#include "ui/AfApplicationError.h"

#include <QApplication>
#include <QFont>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // The title the error boxes carry. It is set as the application name, of
    // which the display name is a copy: a display name set on its own would
    // be appended to every window caption ("About ... - Kalvaro").
    QApplication::setApplicationName("Kalvaro");
    QApplication::setApplicationVersion(KALVARO_VERSION);
    // A bad command line ends the program before any window shows.
    const TStartResult start = ParseStartOptions(QApplication::arguments());
    if (start.Action == TStartAction::Exit) {
        std::fputs(start.Message.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (start.Action == TStartAction::ExitFailed) {
        std::fprintf(stderr, "kalvaro: %s\n", start.Message.toLocal8Bit().constData());
        return 2;
    }
    // Another window (the editor) may still be open when the main window
    // closes; the program ends with the main window all the same.
    QApplication::setQuitOnLastWindowClosed(false);
    // The windows ask for the classic 8-point "MS Sans Serif"; where it is
    // missing, Liberation Sans (Arial's metrics) keeps their captions within
    // the places they were laid out for.
    QFont::insertSubstitution("MS Sans Serif", "Liberation Sans");

    TForm1 form1;
    TForm3 form3;
    TEditor editor;
    TForm2 form2;
    form1.SetCompanions(&form3, &editor, &form2);
    // The editor remembers its script's folder and name in the main window's
    // fields, and reads the user button from the dialog made after it.
    editor.SetPathFields(&form1.EditPath, &form1.EditFile);
    editor.SetUserButtonDialog(&form2);
    QObject::connect(&form1, &TForm1::Closed, &application, &QApplication::quit, Qt::QueuedConnection);

    form1.show();
    // Once the window shows, so that an error box of an open stands over it.
    QTimer::singleShot(0, &form1, [&form1, &start] { AfGuard([&] { form1.ApplyStartOptions(start.Options); }); });
    return QApplication::exec();
}
