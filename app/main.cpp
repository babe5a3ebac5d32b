// Start routine: the application object and the main window.
#include <QApplication>
#include <QCommandLineParser>
#include <memory>

#include "app/flasher.h"
#include "sim/simulatedbus.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    // Our own option: the cable dialog offers a simulated bus with one Zr501 instead of the FTDI library.
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Talk to a simulated RS-485 bus with one Zr501 device."));
    parser.addOption(simulate);
    // Production staff reach the builders, the stream upgrade and the parameter wizard this way.
    const QCommandLineOption production(QStringLiteral("production"),
                                        QStringLiteral("Show the production menus, the parameter wizard and the "
                                                       "\"Show all messages\" and \"Old serial system\" options."));
    parser.addOption(production);
    parser.process(app);

    std::unique_ptr<SimulatedBus> bus;
    if (parser.isSet(simulate))
        bus = makeDemoBus();

    auto *window = new Flasher(nullptr, bus.get());
    startMainWindow(window);
    if (parser.isSet(production))
        window->showProductionControls();
    const int code = app.exec();
    delete window;
    return code;
}
