// Program entry: the application, its title and its windows.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Kalvaro");
    QApplication::setApplicationDisplayName("Kalvaro");

    QMainWindow mainWindow;
    mainWindow.setWindowTitle(" Kalvaro");
    mainWindow.setFixedSize(708, 560);
    mainWindow.show();
    return QApplication::exec();
}
