// The reference for the program's start-up: a Qt application with widgets that starts, runs
// its event loop once and quits, as the program does when it has nothing to do.
#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
