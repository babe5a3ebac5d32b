// Start routine: the application object and the main window.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <memory>

#include "app/flasher.h"
#include "core/logcategories.h"
#include "link/cabledrivers.h"
#include "link/keytable.h"
#include "sim/simulatedbus.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("zrflasher")); // the menu entry's icon for the window

    // Our own option: the cable dialog offers a simulated bus with one Zr501 instead of the FTDI library.
    QCommandLineParser parser;
    parser.setApplicationDescription(leftOutCableBackends()); // empty where every backend is built
    parser.addHelpOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Talk to a simulated RS-485 bus with one Zr501 device."));
    parser.addOption(simulate);
    // Production staff reach the builders, the stream upgrade and the parameter wizard this way.
    const QCommandLineOption production(QStringLiteral("production"),
                                        QStringLiteral("Show the production menus, the parameter wizard and the "
                                                       "\"Show all messages\" and \"Old serial system\" options."));
    parser.addOption(production);
    // Real cables: which backend, extra ports (zrsim's pseudo-terminal), and the devices' key table.
    const QCommandLineOption cable(QStringLiteral("cable"),
                                   QStringLiteral("Also offer this serial port in the cable dialog (e.g. the "
                                                  "/dev/pts/N zrsim prints). Repeatable."),
                                   QStringLiteral("port"));
    parser.addOption(cable);
    const QCommandLineOption cableBackend(QStringLiteral("cable-backend"),
                                          QStringLiteral("Use only this cable backend: %1 (default: all, in that "
                                                         "order).")
                                                  .arg(cableBackendNames().join(QLatin1Char('|'))),
                                          QStringLiteral("name"));
    parser.addOption(cableBackend);
    const QCommandLineOption keyTable(QStringLiteral("key-table"),
                                      QStringLiteral("Encode and decode memory data with the 32 hexadecimal words of "
                                                     "this file (default: $%1, else the built-in table).")
                                              .arg(QLatin1String(kKeyTableVariable)),
                                      QStringLiteral("file"));
    parser.addOption(keyTable);
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print the diagnostic traces (frames, CRCs, cable enumeration, "
                                                    "encoding) on stderr."));
    parser.addOption(verbose);
    parser.process(app);
    if (parser.isSet(verbose))
        enableAllTraces();

    QString problem;
    if (!useKeyTable(parser.value(keyTable), &problem)) {
        fprintf(stderr, "zrflasher: %s\n", qPrintable(problem));
        return 1;
    }
    std::unique_ptr<SimulatedBus> bus;
    std::unique_ptr<CableDrivers> cables;
    FtdiDriver *driver = nullptr;
    if (parser.isSet(simulate)) {
        bus = makeDemoBus();
        driver = bus.get();
    } else {
        cables = makeCableDrivers(parser.value(cableBackend), parser.values(cable), &problem);
        if (!cables) {
            fprintf(stderr, "zrflasher: %s\n", qPrintable(problem));
            return 1;
        }
        driver = cables.get();
    }

    auto *window = new Flasher(nullptr, driver);
    startMainWindow(window);
    if (parser.isSet(production))
        window->showProductionControls();
    const int code = app.exec();
    delete window;
    return code;
}
