// Start routine: the application object and the main window.
#include <QApplication>

#include "app/flasher.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    auto *window = new Flasher;
    startMainWindow(window);
    const int code = app.exec();
    delete window;
    return code;
}
