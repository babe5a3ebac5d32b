// Start routine: the application object and the main window.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <memory>

#include "app/flasher.h"
#include "core/logcategories.h"
#include "core/version.h"
#include "link/cabledrivers.h"
#include "link/keytable.h"
#include "registry/registry.h"
#include "registry/registryurl.h"
#include "sim/demogang.h"
#include "sim/simulatedbus.h"

namespace {
// --help and --version only print: they are answered before the window's application object, which needs a display.
bool onlyPrints(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        for (const char *option : {"-h", "--help", "--help-all", "-?", "-v", "--version"})
            if (qstrcmp(argv[i], option) == 0)
                return true;
    return false;
}
} // namespace

int main(int argc, char *argv[])
{
    std::unique_ptr<QCoreApplication> application;
    if (onlyPrints(argc, argv))
        application = std::make_unique<QCoreApplication>(argc, argv);
    else
        application = std::make_unique<QApplication>(argc, argv);
    QCoreApplication &app = *application;
    QCoreApplication::setApplicationVersion(kProgramVersion);

    // Our own option: the cable dialog offers a simulated bus with one Zr501 instead of the FTDI library.
    QCommandLineParser parser;
    parser.setApplicationDescription(leftOutCableBackends()); // empty where every backend is built
    parser.addHelpOption();
    parser.addVersionOption();
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
    const QCommandLineOption fastReplies(QStringLiteral("fast-replies"),
                                         QStringLiteral("Start with Utilities > \"Fast replies\" ticked: an exchange "
                                                        "ends as soon as its reply is complete."));
    parser.addOption(fastReplies);
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print the diagnostic traces (frames, CRCs, cable enumeration, "
                                                    "encoding) on stderr."));
    parser.addOption(verbose);
    // The window records boot images and upgrades only in a registry named here, by ZR_REGISTRY or (with
    // --production) through "Production registry...".
    const QCommandLineOption registry(QStringLiteral("registry"),
                                      QStringLiteral("Record boot images and upgrades in this production registry "
                                                     "(%1; default: $ZR_REGISTRY, else none). A PostgreSQL "
                                                     "password comes from PGPASSWORD, ~/.pgpass or the service file.")
                                          .arg(acceptedRegistryForms()),
                                      QStringLiteral("URL"));
    parser.addOption(registry);
    parser.process(app); // ends the program after --help and --version
    QGuiApplication::setDesktopFileName(QStringLiteral("zrflasher")); // the menu entry's icon for the window
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
    // "Gang Upgrade…": the cables are listed through a fresh instance of the backends, and each worker opens its
    // cable through one of its own (one backend, nothing listed: by the name the list gave).
    Flasher::GangCables gang;
    if (parser.isSet(simulate)) {
        bus = makeDemoBus();
        driver = bus.get();
        gang.list = [](QString *) { return demoGangCables(); };
        gang.factory = makeDemoGangBus;
    } else {
        const QString backend = parser.value(cableBackend);
        const QStringList ports = parser.values(cable);
        gang.list = [backend, ports](QString *why) { return listSystemCables(backend, ports, why); };
        gang.factory = [backend](const CableIdentity &identity) { return systemCableDriver(identity, backend); };
        cables = makeCableDrivers(parser.value(cableBackend), parser.values(cable), &problem);
        if (!cables) {
            fprintf(stderr, "zrflasher: %s\n", qPrintable(problem));
            return 1;
        }
        driver = cables.get();
    }

    const QString registryUrl = parser.isSet(registry) ? parser.value(registry) : Registry::configuredUrl();
    if (!registryUrl.isEmpty() && parseRegistryUrl(registryUrl).kind == RegistryLocation::Invalid) {
        fprintf(stderr, "zrflasher: %s\n", qPrintable(parseRegistryUrl(registryUrl).error));
        return 1;
    }

    auto *window = new Flasher(nullptr, driver);
    window->setRegistryUrl(registryUrl);
    window->setGangCables(gang);
    startMainWindow(window);
    if (parser.isSet(production))
        window->showProductionControls();
    if (parser.isSet(fastReplies))
        window->setFastReplies(true);
    const int code = app.exec();
    delete window;
    return code;
}
