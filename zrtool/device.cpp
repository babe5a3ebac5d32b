// zrtool's device commands: cables, connect, upgrade, run, read-flash, write-flash, stream, mute, unmute, discover,
// all over the window's own engines with prompts answered from the command line.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <atomic>
#include <memory>

#include "core/appstate.h"
#include "core/optionprompts.h"
#include "boot/connectengine.h"
#include "boot/deviceid.h"
#include "boot/deviceupgrade.h"
#include "boot/streamupgrade.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "builders/upgradewriter.h"
#include "link/cabledrivers.h"
#include "link/cableidentity.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#include "tools/devicecommands.h"
#include "zrtool/cli.h"
#include "zrtool/gang.h"
#include "zrtool/registryoptions.h"

namespace {

const QCommandLineOption kCable(QStringLiteral("cable"),
                                "The cable to use: its serial number or port, whole or an unambiguous beginning "
                                "(default: the first one listed).",
                                "SERIAL|PORT");
const QCommandLineOption kAllCables(QStringLiteral("all-cables"),
                                    "Upgrade a device on every cable the cable backends see, all at once.");
const QCommandLineOption kBackend(QStringLiteral("cable-backend"),
                                  "Use only this cable library: d2xx (FTDI's D2XX library), libftdi or serial (the "
                                  "system's serial ports); default: each in that order.",
                                  "NAME");
const QCommandLineOption kSimulate(QStringLiteral("simulate"), "Use the simulated bus instead of a cable (a Zr501 by default).");
const QCommandLineOption kSimDevice(QStringLiteral("sim-device"), "With --simulate: a device of this model on the bus (repeatable).",
                                    "MODEL");
const QCommandLineOption kSimClock(QStringLiteral("sim-virtual-clock"), "With --simulate: run on simulated time (for tests).");
const QCommandLineOption kSimDrop(QStringLiteral("sim-drop-reply"), "With --simulate: the device's reply to frame N is lost.", "N");
const QCommandLineOption kSimFlashOut(QStringLiteral("sim-flash-out"),
                                      "With --simulate: at the end, write each device's flash to DIR/N-MODEL.bin.",
                                      "DIR");
const QCommandLineOption kFullWindows(QStringLiteral("full-windows"),
                                      "Wait out every reply window (default: an exchange ends on a complete reply).");
const QCommandLineOption kTarget(QStringLiteral("target"), "The device ID to address (default: any device in its bootloader).",
                                 "ID");
const QCommandLineOption kSimRaise(QStringLiteral("sim-raise"),
                                   "With --simulate: raise SIGINT (INT) or SIGTERM (TERM) when frame N is written.",
                                   "SIG@N");
const QCommandLineOption kSimFault(QStringLiteral("sim-fault"),
                                   "With --simulate: every Nth reply is dropped, corrupt, late or garbled by noise.",
                                   "KIND@N");
const QCommandLineOption kSimBlankDescriptor(QStringLiteral("sim-blank-descriptor"),
                                             "With --simulate: the devices' descriptors are erased (0xFF).");
const QCommandLineOption kAttempts(QStringLiteral("attempts"), "Connect attempts, 100 ms each, before giving up (default 1000).",
                                   "N");

// Collided replies in a row after which a connect gives up: a person would not wait 1000 of them.
constexpr int kCollisionLimit = 5;

// SIGINT / SIGTERM during a command that writes: the block loops stop between two blocks and the command says
// what the device holds, then exits 128 + the signal. A lock-free atomic: the handler may write it, and a gang's
// workers read it on their own threads.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is written in a signal handler");
extern "C" void onStopSignal(int signal)
{
    g_stopSignal = signal;
}

void printErr(const QString &line)
{
    fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    fflush(stderr);
}


// A device command's session: the cable, the state and the prompts the engines work with.
struct Session
{
    std::unique_ptr<FtdiDriver> driver;
    SimulatedBus *bus = nullptr; // when simulated
    OptionPrompts prompts;
    AppState state;
    std::unique_ptr<RS485Cable> cable;
    QStringList lines; // what the engines logged
    std::unique_ptr<ProgressBar> bar;
    int requestCount = 0;
    QString flashOut; // simulated devices' flash goes here at the end

    ~Session()
    {
        if (!bus || flashOut.isEmpty())
            return;
        const QList<SimDevice *> devices = bus->devices();
        for (int i = 0; i < devices.size(); ++i) {
            QString problem;
            const QString path = flashOut + QStringLiteral("/%1-%2.bin").arg(i).arg(QString::fromLatin1(devices.at(i)->modelCode()));
            if (!writeFile(path, devices.at(i)->flash(), &problem))
                printErr(QStringLiteral("zrtool: %1: %2").arg(path, problem));
        }
    }
};

void addCommonOptions(Command &command, bool addressed)
{
    for (const QCommandLineOption &o : {kCable, kBackend, kSimulate, kSimDevice, kFullWindows})
        command.addOption(o);
    if (addressed)
        command.addOption(kTarget);
    command.addOption(kAttempts);
    for (QCommandLineOption o : {kSimClock, kSimDrop, kSimFlashOut, kSimRaise, kSimFault, kSimBlankDescriptor}) {
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        command.addOption(o);
    }
}

// The --cable values that name a port (/dev/pts/3, COM3), offered besides the ports the system lists; a path that
// is no device file (a folder, a typing error) is left to the matching, which says which cables there are.
QStringList namedPorts(const Command &command)
{
    QStringList ports;
    for (const QString &cable : command.parser.values(kCable)) {
        const QFileInfo file(cable);
        if ((cable.startsWith(QLatin1Char('/')) && file.exists() && !file.isDir())
            || cable.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
            ports << cable;
    }
    return ports;
}

// The one place a cable is chosen: the simulated bus, or the D2XX library. False with *why when none can be used.
bool chooseDriver(const Command &command, Session *session, QString *why, bool caught)
{
    const QCommandLineParser &p = command.parser;
    if (p.isSet(kSimulate)) {
        const bool virtualClock = p.isSet(kSimClock);
        auto bus = std::make_unique<SimulatedBus>(virtualClock ? SimulatedBus::Clock::Virtual
                                                               : SimulatedBus::Clock::Real);
        QStringList models = p.values(kSimDevice);
        if (models.isEmpty())
            models << QStringLiteral("Zr501");
        quint32 id = 0x0379C02A; // RDM 3, year 26, week 14, serial 42, then the next serials
        for (const QString &model : models) {
            const UpgradeFamily *family = dispatchFamily(model.toLatin1(), connectDispatchOrder());
            if (!family) {
                *why = QStringLiteral("the simulator has no model '%1'").arg(model);
                return false;
            }
            SimDeviceConfig config;
            config.modelCode = model.toLatin1();
            config.family = QString::fromLatin1(family->name);
            config.deviceId = id++;
            // Commands that catch a device meet it switched off and "power-cycled" after a few attempts, as a person
            // would; the others find it still held in its bootloader by an earlier connect.
            config.silentConnects = caught ? 5 : 0;
            SimDevice *device = bus->addDevice(config);
            if (p.isSet(kSimBlankDescriptor))
                device->setFlashAt(DESCRIPTOR_ADDRESS, QByteArray(64, char(0xFF)));
        }
        quint32 dropAt = 0, raiseAt = 0;
        int raiseSignal = 0;
        if (p.isSet(kSimRaise)) {
            const QStringList parts = p.value(kSimRaise).split(QLatin1Char('@'));
            quint32 frame = 0;
            const int signal = parts.value(0) == QLatin1String("INT") ? SIGINT
                               : parts.value(0) == QLatin1String("TERM") ? SIGTERM : 0;
            if (parts.size() != 2 || signal == 0 || !parseNumber(parts.at(1), &frame)) {
                *why = QStringLiteral("--sim-raise needs INT@N or TERM@N");
                return false;
            }
            raiseAt = frame;
            raiseSignal = signal;
        }
        if (p.isSet(kSimFault)) {
            const QStringList parts = p.value(kSimFault).split(QLatin1Char('@'));
            quint32 every = 0;
            SimulatedBus::Fault fault = SimulatedBus::Fault::None;
            if (parts.size() != 2 || !SimulatedBus::faultByName(parts.at(0), &fault)
                || !parseNumber(parts.at(1), &every, 1000000) || every == 0) {
                *why = QStringLiteral("--sim-fault needs drop@N, corrupt@N, late@N or noise@N");
                return false;
            }
            bus->setPeriodicFault(fault, int(every));
        }
        if (p.isSet(kSimDrop)) {
            quint32 frame = 0;
            if (!parseNumber(p.value(kSimDrop), &frame)) {
                *why = QStringLiteral("--sim-drop-reply needs a frame number");
                return false;
            }
            dropAt = frame;
        }
        // Frames are counted from 1; a count of 0 matches none.
        SimulatedBus *raw = bus.get();
        bus->onRequest = [session, raw, dropAt, raiseAt, raiseSignal](const QByteArray &) {
            const quint32 frame = quint32(++session->requestCount);
            if (frame == dropAt)
                raw->dropReplies(1);
            if (frame == raiseAt)
                std::raise(raiseSignal);
        };
        session->bus = bus.get();
        session->flashOut = p.value(kSimFlashOut);
        session->driver = std::move(bus);
        return true;
    }
    auto drivers = makeCableDrivers(p.value(kBackend), namedPorts(command), why);
    if (!drivers)
        return false;
    session->driver = std::move(drivers);
    return true;
}

// Why the backends found no cable, in one line ("FTDI D2XX library not found; ...; no serial ports found").
QString noCableReason(const FtdiDriver &driver)
{
    const QString why = driver.problem();
    return why.isEmpty() ? QStringLiteral("no cable backend sees a cable") : why;
}

// The cables the command's --cable options name among those listed (each by its serial number or port, exactly or
// by an unambiguous beginning); the first one listed when none is named, every cable once with --all-cables. Empty
// with a one-line *problem when a name matches no cable or several, or no cable is there (`noneReason` says why).
QList<CableIdentity> chooseCables(const Command &command, const QList<CableIdentity> &listed, const QString &noneReason,
                                  QString *problem)
{
    const QCommandLineParser &p = command.parser;
    const QStringList wanted = p.values(kCable);
    if (listed.isEmpty()) {
        *problem = (wanted.size() == 1 ? QStringLiteral("'%1' not found: ").arg(wanted.constFirst()) : QString())
                   + noneReason;
        return {};
    }
    if (p.optionNames().contains(QStringLiteral("all-cables"))) {
        // Each cable once, through the first backend that lists it.
        QList<CableIdentity> every;
        for (const CableIdentity &c : listed)
            if (!c.listedBefore)
                every << c;
        return every;
    }
    if (wanted.isEmpty())
        return {listed.constFirst()};
    QList<CableIdentity> chosen;
    for (const QString &name : wanted) {
        const int index = findCable(listed, name, problem);
        if (index < 0)
            return {};
        if (std::any_of(chosen.cbegin(), chosen.cend(),
                        [&](const CableIdentity &c) { return c.openName == listed.at(index).openName; })) {
            *problem = QStringLiteral("'%1' names %2 a second time").arg(name, listed.at(index).label());
            return {};
        }
        chosen << listed.at(index);
    }
    return chosen;
}

// A --cable-backend that names no backend is a usage error (exit 1), said before any backend is asked.
int checkBackend(const Command &command)
{
    const QString backend = command.parser.value(kBackend);
    if (backend.isEmpty() || cableBackendNames().contains(backend))
        return kExitOk;
    return command.usageError(QStringLiteral("unknown cable backend '%1' (%2)")
                                      .arg(backend, cableBackendNames().join(QStringLiteral(", "))));
}

// Opens the session's cable; prints the reason and returns the exit status when it cannot.
int openSession(const Command &command, Session *session, bool addressed = false, bool caught = true)
{
    if (const int status = checkBackend(command))
        return status;
    QString why;
    if (!chooseDriver(command, session, &why, caught)) {
        printErr(QStringLiteral("zrtool: no cable: ") + why);
        return kExitNoCable;
    }
    const QCommandLineParser &p = command.parser;
    if (p.values(kCable).size() > 1)
        return command.usageError(QStringLiteral("takes one --cable (zrtool upgrade takes several)"));
    if (p.isSet(kAttempts)) {
        quint32 attempts = 0;
        if (!parseNumber(p.value(kAttempts), &attempts, 1000000) || attempts == 0)
            return command.usageError(QStringLiteral("--attempts needs a positive number"));
        session->prompts.attemptLimit = int(attempts);
    }
    const bool terminal = stderrIsTerminal();
    session->prompts.onProgress = [session, terminal](const QString &label, int value, int min, int max) {
        if (!terminal)
            return;
        if (min == 0) {
            const int limit = session->prompts.attemptLimit > 0 ? qMin(session->prompts.attemptLimit, max) : max;
            fprintf(stderr, "\rpower-cycle the device now: attempt %d/%d ", value + 1, limit);
            fflush(stderr);
            return;
        }
        if (!session->bar)
            session->bar = std::make_unique<ProgressBar>(label.trimmed(), max - min);
        session->bar->setValue(value - min);
    };
    session->state.log = [session](const QString &line) { session->lines << line; };
    session->cable = std::make_unique<RS485Cable>(nullptr, 250000, 8, 2, 0, session->driver.get(),
                                                  &session->prompts);
    session->cable->setFastReplies(!p.isSet(kFullWindows));
    QString problem;
    const QList<CableIdentity> listed = listCables(*session->driver); // before the reason, which the listing sets
    const QList<CableIdentity> cables = chooseCables(command, listed, noCableReason(*session->driver), &problem);
    if (cables.isEmpty()) {
        printErr(QStringLiteral("zrtool: no cable: ") + problem);
        return kExitNoCable;
    }
    session->cable->setIdentity(cables.constFirst().openName, cables.constFirst().serial);
    if (session->cable->open(250000, 8, 2, 0) != 0) {
        const QString why = session->driver->problem();
        printErr(QStringLiteral("zrtool: no cable: %1 cannot be opened%2")
                         .arg(cables.constFirst().label(), why.isEmpty() ? QString() : QStringLiteral(": ") + why));
        return kExitNoCable;
    }
    if (addressed && p.isSet(kTarget)) {
        quint32 target = 0;
        if (!parseNumber(p.value(kTarget), &target))
            return command.usageError(QStringLiteral("--target needs a device ID"));
        session->state.targetAddress = target;
    }
    return kExitOk;
}

// Ends a counter or bar line on the terminal.
void endProgress(Session &session)
{
    session.bar.reset();
    if (stderrIsTerminal())
        fputs("\n", stderr);
}

// From here on SIGINT and SIGTERM stop the command's loops between two blocks instead of killing it.
void catchStopSignals(Session &session)
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    session.state.interrupted = [] { return g_stopSignal != 0; };
    session.prompts.stopRequested = session.state.interrupted;
}

// The one line said when a signal stopped a command, and its exit status (130 for SIGINT, 143 for SIGTERM).
int interruptedExit(const QString &command, const QString &what)
{
    printErr(QStringLiteral("zrtool %1: interrupted (%2): %3")
                     .arg(command, g_stopSignal == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"),
                          what));
    return 128 + g_stopSignal.load();
}

int deviceFailed(const QString &command, const QString &step)
{
    printErr(QStringLiteral("zrtool %1: %2").arg(command, step));
    return kExitDeviceFailed;
}

bool loggedCrcError(const Session &session)
{
    return session.lines.contains(QStringLiteral("CRC err"));
}

// Why a connect found no device: nobody answered, or several at once (then --target picks one).
QString noDeviceReason(const ConnectEngine &connect)
{
    return connect.collided() ? QStringLiteral("several devices answered at once (address one with --target ID; "
                                               "zrtool discover lists them)")
                              : QStringLiteral("no device answered");
}

// Catches the device in its bootloader first, as Connect does in the window; --target then addresses one device.
int catchDevice(const Command &command, Session &session, const QString &word)
{
    DeviceIdentity identity;
    ConnectEngine connect(session.state, session.prompts, *session.cable);
    quint32 target = 0;
    const bool targeted = command.parser.isSet(kTarget) && parseNumber(command.parser.value(kTarget), &target);
    if (targeted)
        connect.setConnectTarget(target);
    connect.setCollisionLimit(kCollisionLimit);
    const bool found = connect.identify(&identity);
    endProgress(session);
    if (!found) {
        printErr(QStringLiteral("zrtool %1: connect: %2").arg(word, noDeviceReason(connect)));
        return kExitNoDevice;
    }
    if (targeted)
        session.state.targetAddress = target;
    return kExitOk;
}
} // namespace

int runCables(const QStringList &arguments)
{
    Command command(QStringLiteral("cables"), QStringLiteral("List the cables the cable backends see."));
    addCommonOptions(command, false);
    if (!command.parse(arguments, 0, 0))
        return kExitUsage;
    if (const int status = checkBackend(command))
        return status;
    Session session;
    QString why;
    if (!chooseDriver(command, &session, &why, false)) {
        printErr(QStringLiteral("zrtool: no cable: ") + why);
        return kExitNoCable;
    }
    const QList<CableIdentity> cables = listCables(*session.driver);
    if (cables.isEmpty()) {
        printErr(QStringLiteral("zrtool: no cable: ") + noCableReason(*session.driver));
        return kExitNoCable;
    }
    for (const CableIdentity &c : cables)
        printLine(c.label() + ((c.flags & 1) ? QStringLiteral(" (in use)") : QString()));
    return kExitOk;
}

int runConnect(const QStringList &arguments)
{
    Command command(QStringLiteral("connect"),
                    QStringLiteral("Catch a device in its bootloader (power-cycle it when asked) and identify it."));
    addCommonOptions(command, true);
    command.addOption(Command::jsonOption());
    if (!command.parse(arguments, 0, 0))
        return kExitUsage;
    Session session;
    if (const int status = openSession(command, &session, true))
        return status;
    DeviceIdentity identity;
    ConnectEngine connect(session.state, session.prompts, *session.cable);
    if (command.parser.isSet(kTarget))
        connect.setConnectTarget(session.state.targetAddress);
    connect.setCollisionLimit(kCollisionLimit);
    const bool found = connect.identify(&identity);
    endProgress(session);
    if (!found) {
        printErr(QStringLiteral("zrtool connect: ") + noDeviceReason(connect));
        return kExitNoDevice;
    }
    // Erased or half-written descriptor bytes are no model name: said as the window says it, never printed raw.
    if (ConnectEngine::descriptorDamaged(identity)) {
        printLine(QStringLiteral("ID: ") + deviceIdText(identity.deviceId));
        printErr(QStringLiteral("zrtool connect: Unknown device"));
        printErr(QStringLiteral("zrtool connect: ")
                 + ConnectEngine::recoveryAdvice(identity.deviceId, session.state.identifiedNames));
        return kExitDeviceFailed;
    }
    if (command.parser.isSet(QStringLiteral("json"))) {
        printJson(QJsonObject{{"deviceId", hex(identity.deviceId, 8)},
                              {"id", deviceIdText(identity.deviceId)},
                              {"model", QString::fromLatin1(identity.name)},
                              {"bootVersion", QString::fromLatin1(identity.bootVersion)}});
    } else {
        printLine(QStringLiteral("ID: ") + deviceIdText(identity.deviceId));
        printLine(QStringLiteral("Device: ") + QString::fromLatin1(identity.name));
        printLine(QStringLiteral("Boot version: ") + QString::fromLatin1(identity.bootVersion));
    }
    return kExitOk;
}

namespace {
// The CRC-16 stored in the file's image under the family's layout, as "upg inspect" and the registry give it;
// null when no family ran or the image is short.
QJsonValue imageCrc(const QString &path, const QString &familyName)
{
    for (const UpgradeFamily &family : upgradeFamilies()) {
        if (familyName != QLatin1String(family.name))
            continue;
        const QByteArray image = decodedImage(readUpgradeFile(path).image, family.imageSize);
        if (image.isEmpty())
            break;
        return hex(readU16(image, int(family.imageSize) - 2), 4);
    }
    return QJsonValue();
}
} // namespace

QString resultWord(UpgradeOutcome::Result result)
{
    switch (result) {
    case UpgradeOutcome::Result::NoCable: return QStringLiteral("no cable");
    case UpgradeOutcome::Result::NoDevice: return QStringLiteral("no device");
    case UpgradeOutcome::Result::Refused: return QStringLiteral("refused");
    case UpgradeOutcome::Result::Failed: return QStringLiteral("failed");
    case UpgradeOutcome::Result::Done: return QStringLiteral("done");
    case UpgradeOutcome::Result::Interrupted: return QStringLiteral("interrupted");
    }
    return QString();
}

QJsonObject outcomeJson(const UpgradeOutcome &outcome, const QString &path)
{
    return QJsonObject{{"result", resultWord(outcome.result)},
                       {"deviceId", hex(outcome.deviceId, 8)},
                       {"model", QString::fromLatin1(outcome.model)},
                       {"bootVersion", QString::fromLatin1(outcome.bootVersion)},
                       {"family", outcome.family},
                       {"file", outcome.fileName},
                       {"fileCrc", hex(outcome.fileCrc, 4)},
                       {"imageCrc", imageCrc(path, outcome.family)},
                       {"fastReplies", outcome.fastReplies},
                       {"durationMs", double(outcome.durationMs)},
                       {"step", outcome.step}};
}

namespace {
// zrtool upgrade with several --cable options or --all-cables: a worker per cable, all at once.
int upgradeOnCables(const Command &command, const UpgradeRequest &request, Recorder *recorder)
{
    const QCommandLineParser &p = command.parser;
    if (p.isSet(kSimulate))
        return command.usageError(QStringLiteral("--simulate is one bus: give one --cable or none"));
    if (const int status = checkBackend(command))
        return status;
    GangRun run;
    // --target ID addresses every cable's device, --target CABLE=ID one cable's.
    bool targetAll = false;
    quint32 allTarget = 0;
    QList<QPair<QString, quint32>> cableTargets;
    for (const QString &value : p.values(kTarget)) {
        const int equals = value.lastIndexOf(QLatin1Char('='));
        quint32 id = 0;
        if (!parseNumber(value.mid(equals + 1), &id))
            return command.usageError(QStringLiteral("--target needs a device ID or CABLE=ID: '%1'").arg(value));
        if (equals < 0) {
            targetAll = true;
            allTarget = id;
        } else {
            cableTargets << qMakePair(value.left(equals), id);
        }
    }
    if (p.isSet(kAttempts)) {
        quint32 attempts = 0;
        if (!parseNumber(p.value(kAttempts), &attempts, 1000000) || attempts == 0)
            return command.usageError(QStringLiteral("--attempts needs a positive number"));
        run.settings.attemptLimit = int(attempts);
    }
    QString problem;
    // Listed once, here; each worker then opens its own cable by identity without listing again.
    QString noneReason;
    const QList<CableIdentity> listed = listSystemCables(p.value(kBackend), namedPorts(command), &noneReason);
    const QList<CableIdentity> chosen = chooseCables(command, listed, noneReason, &problem);
    if (chosen.isEmpty()) {
        printErr(QStringLiteral("zrtool: no cable: ") + problem);
        return kExitNoCable;
    }
    for (const CableIdentity &identity : qAsConst(chosen)) {
        GangCable cable;
        cable.identity = identity;
        cable.hasTarget = targetAll;
        cable.target = allTarget;
        run.cables << cable;
    }
    for (const auto &target : qAsConst(cableTargets)) {
        const int index = findCable(chosen, target.first, &problem);
        if (index < 0)
            return command.usageError(QStringLiteral("--target %1: %2").arg(target.first, problem));
        run.cables[index].hasTarget = true;
        run.cables[index].target = target.second;
    }
    run.settings.request = request;
    run.settings.fastReplies = !p.isSet(kFullWindows);
    run.backend = p.value(kBackend);
    run.json = p.isSet(QStringLiteral("json"));
    run.recorder = recorder;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    run.stopSignal = [] { return g_stopSignal.load(); };
    return runGangUpgrade(run);
}
} // namespace

int runUpgradeDevice(const QStringList &arguments)
{
    Command command(QStringLiteral("upgrade"),
                    QStringLiteral("Upgrade a device: connect, check the file's model against the device, write and "
                                   "verify every block.\nRecovery of a device whose descriptor is lost: --family NAME "
                                   "--target ID --force.\nGang upgrade: several --cable options (or --all-cables) "
                                   "upgrade the device on each cable at once, each cable on its own; --target "
                                   "CABLE=ID addresses one cable's device. A line per cable shows where it stands, a "
                                   "table sums up (--json: one array, an object per cable); exit 0 only when every "
                                   "device is done, 6 when one failed, 4 or 5 when a cable or its device was missing. "
                                   "A failure on one cable stops nothing on the others."));
    addCommonOptions(command, true);
    const QCommandLineOption run(QStringLiteral("run"), "Start the application afterwards.");
    const QCommandLineOption family(QStringLiteral("family"),
                                    QStringLiteral("Run this family's procedure whatever the device reports; needs "
                                                   "--force. One of: %1.").arg(familyNameList()),
                                    QStringLiteral("NAME"));
    const QCommandLineOption force(QStringLiteral("force"), "Confirm a --family upgrade.");
    const QCommandLineOption noRegistry(QStringLiteral("no-registry"), "Record nothing in the production registry.");
    const QCommandLineOption retries(QStringLiteral("retries"),
                                     "Repeat a lost or garbled exchange of a block up to N times (default 2): a "
                                     "read-back is read again, and after a lost write reply the block is read back "
                                     "and written again only while it still reads erased. Only an equal read-back "
                                     "counts. 0: stop at the first lost reply.",
                                     "N");
    for (const QCommandLineOption &o : {run, family, force, noRegistry, retries, kAllCables})
        command.addOption(o);
    const RegistryOptions registryOptions;
    registryOptions.addTo(command);
    command.addOption(Command::jsonOption());
    command.addArgument(QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file."));
    if (!command.parse(arguments, 1, 1))
        return kExitUsage;
    const QCommandLineParser &p = command.parser;
    if (p.isSet(family) && !p.isSet(force))
        return command.usageError(QStringLiteral("--family replaces the device's own report: add --force"));
    if (p.isSet(family) && !familyByName(p.value(family)))
        return command.usageError(
                QStringLiteral("unknown family '%1' (one of %2)").arg(p.value(family), familyNameList()));
    quint32 retryCount = 2;
    if (p.isSet(retries) && !parseNumber(p.value(retries), &retryCount, 100))
        return command.usageError(QStringLiteral("--retries needs a number from 0 to 100"));
    const QString path = command.arguments().at(0);
    QString problem; // bounded as "upg inspect" is: a huge file is refused before it is read
    if (!checkInput(path, maxUpgradeFileSize(), &problem))
        return fileError(kExitInput, path, problem);

    // Every upgrade that runs is recorded; a registry that cannot be reached is said once and stops nothing (the
    // record waits in the local spool).
    std::unique_ptr<Recorder> recorder;
    if (!p.isSet(noRegistry) && !(recorder = registryOptions.recorder(p)))
        return kExitUsage;
    UpgradeRequest request;
    request.file = path;
    request.family = p.value(family);
    request.runAfter = p.isSet(run);
    request.retries = int(retryCount);
    request.collisionLimit = kCollisionLimit;
    if (p.values(kCable).size() > 1 || p.isSet(kAllCables))
        return upgradeOnCables(command, request, recorder.get());
    Session session;
    if (const int status = openSession(command, &session, true))
        return status;
    catchStopSignals(session);
    if (recorder) {
        session.state.upgradeFinished = [&recorder](const UpgradeReport &report) { recorder->recordUpgrade(report); };
    }
    request.hasTarget = p.isSet(kTarget);
    request.target = session.state.targetAddress;
    const UpgradeOutcome outcome = upgradeDevice(session.state, session.prompts, *session.cable, request);
    if (outcome.result == UpgradeOutcome::Result::Done && session.bar)
        session.bar->complete();
    endProgress(session);
    if (recorder) {
        const QString notice = recorder->takeNotice();
        if (!notice.isEmpty())
            printErr(QStringLiteral("zrtool upgrade: ") + notice.split(QLatin1Char('\n')).join(QStringLiteral("\nzrtool upgrade: ")));
    }

    if (p.isSet(QStringLiteral("json"))) {
        printJson(outcomeJson(outcome, path));
    }
    switch (outcome.result) {
    case UpgradeOutcome::Result::NoCable:
        printErr(QStringLiteral("zrtool upgrade: no cable"));
        return kExitNoCable;
    case UpgradeOutcome::Result::NoDevice:
        if (g_stopSignal)
            return interruptedExit(QStringLiteral("upgrade"), QStringLiteral("nothing written"));
        printErr(QStringLiteral("zrtool upgrade: connect: ")
                 + (outcome.step.startsWith(QLatin1String("several"))
                            ? outcome.step + QStringLiteral(" (address one with --target ID)")
                            : QStringLiteral("no device answered")));
        return kExitNoDevice;
    case UpgradeOutcome::Result::Interrupted:
        return interruptedExit(QStringLiteral("upgrade"),
                               QStringLiteral("%1; the device holds a partly written application: run this zrtool "
                                              "upgrade again to finish it").arg(outcome.step));
    case UpgradeOutcome::Result::Refused:
        if (outcome.step == QLatin1String("Unknown device") && !printableDescriptorName(outcome.model)) {
            printErr(QStringLiteral("zrtool upgrade: refused, nothing written: Unknown device"));
            return deviceFailed(QStringLiteral("upgrade"),
                                ConnectEngine::recoveryAdvice(outcome.deviceId, session.state.identifiedNames));
        }
        return deviceFailed(QStringLiteral("upgrade"),
                            QStringLiteral("refused, nothing written: ") + outcome.step);
    case UpgradeOutcome::Result::Failed:
        return deviceFailed(QStringLiteral("upgrade"),
                            QStringLiteral("%1; the device holds a partly written application, upgrade it "
                                           "again").arg(outcome.step));
    case UpgradeOutcome::Result::Done:
        break;
    }
    if (!p.isSet(QStringLiteral("json")))
        printLine(QStringLiteral("%1 %2 (%3) upgraded with %4 in %5 s")
                          .arg(deviceIdText(outcome.deviceId), QString::fromLatin1(outcome.model), outcome.family,
                               outcome.fileName)
                          .arg(outcome.durationMs / 1000.0, 0, 'f', 1));
    return kExitOk;
}

int runRun(const QStringList &arguments)
{
    Command command(QStringLiteral("run"), QStringLiteral("Start the application of the device(s) in the bootloader."));
    addCommonOptions(command, true);
    if (!command.parse(arguments, 0, 0))
        return kExitUsage;
    Session session;
    if (const int status = openSession(command, &session, true))
        return status;
    if (const int status = catchDevice(command, session, QStringLiteral("run")))
        return status;
    session.state.showAllMessages = true; // so that a missing reply is logged
    DeviceCommands(session.state, session.prompts, *session.cable).run();
    if (loggedCrcError(session))
        return deviceFailed(QStringLiteral("run"), QStringLiteral("no correct reply to the run frame"));
    return kExitOk;
}

int runReadFlash(const QStringList &arguments)
{
    Command command(QStringLiteral("read-flash"), QStringLiteral("Read flash into a file."));
    addCommonOptions(command, true);
    const QCommandLineOption address(QStringLiteral("address"), "First address (default 0x08000000).", "A");
    const QCommandLineOption length(QStringLiteral("length"), "Number of bytes.", "N");
    command.addOption(address);
    command.addOption(length);
    const QCommandLineOption output = Command::outputOption(QStringLiteral("The file to write."), QStringLiteral("FILE"));
    command.addOption(output);
    if (!command.parse(arguments, 0, 0, {length, output}))
        return kExitUsage;
    quint32 start = FLASH_BASE, count = 0;
    if (command.parser.isSet(address) && !parseNumber(command.parser.value(address), &start))
        return command.usageError(QStringLiteral("--address needs a number"));
    if (!parseNumber(command.parser.value(length), &count, 0x1000000) || count == 0)
        return command.usageError(QStringLiteral("--length needs a number from 1 to 16 MiB"));
    Session session;
    if (const int status = openSession(command, &session, true))
        return status;
    if (const int status = catchDevice(command, session, QStringLiteral("read-flash")))
        return status;
    const QByteArray dump =
            DeviceCommands(session.state, session.prompts, *session.cable).readFlashRange(start, count);
    if (quint32(dump.size()) < count)
        return deviceFailed(QStringLiteral("read-flash"),
                            QStringLiteral("no correct reply for the block at 0x%1")
                                    .arg(start + quint32(dump.size()), 8, 16, QLatin1Char('0')));
    const QString out = command.parser.value(QStringLiteral("o"));
    QString problem;
    if (!writeFile(out, dump.left(int(count)), &problem))
        return fileError(kExitOutput, out, problem);
    return kExitOk;
}

int runWriteFlash(const QStringList &arguments)
{
    Command command(QStringLiteral("write-flash"),
                    QStringLiteral("Write one 1 KiB flash block from a file of 1 to 1024 bytes (bytes the file "
                                   "lacks are written as 0xFF)."));
    addCommonOptions(command, true);
    const QCommandLineOption address(QStringLiteral("address"), "Block address.", "A");
    command.addOption(address);
    command.addArgument(QStringLiteral("FILE"), QStringLiteral("The bytes to write."));
    if (!command.parse(arguments, 1, 1, {address}))
        return kExitUsage;
    quint32 start = 0;
    if (!parseNumber(command.parser.value(address), &start))
        return command.usageError(QStringLiteral("--address needs a number"));
    const QString path = command.arguments().at(0);
    QString problem; // one block: a larger file would lose its rest, an empty one would write 0xFF
    if (!checkInput(path, kFlashBlock, &problem))
        return fileError(kExitInput, path, problem);
    Session session;
    if (const int status = openSession(command, &session, true))
        return status;
    catchStopSignals(session);
    if (const int status = catchDevice(command, session, QStringLiteral("write-flash")))
        return g_stopSignal ? interruptedExit(QStringLiteral("write-flash"), QStringLiteral("nothing written"))
                            : status;
    session.prompts.texts[QStringLiteral("Start addres (hex):")] = hex(start, 8);
    session.prompts.openFile = path;
    DeviceCommands(session.state, session.prompts, *session.cable).writeFlash();
    if (g_stopSignal)
        return interruptedExit(QStringLiteral("write-flash"),
                               QStringLiteral("the block at 0x%1 may be partly written: run this zrtool write-flash "
                                              "again to finish it").arg(start, 8, 16, QLatin1Char('0')));
    if (loggedCrcError(session))
        return deviceFailed(QStringLiteral("write-flash"),
                            QStringLiteral("no correct reply: the block at 0x%1 may be partly written")
                                    .arg(start, 8, 16, QLatin1Char('0')));
    return kExitOk;
}

int runStream(const QStringList &arguments)
{
    Command command(QStringLiteral("stream"),
                    QStringLiteral("Stream upgrade: hold every device of one model in its bootloader while they are "
                                   "power-cycled, then write the file to all of them at once (three passes). The "
                                   "devices' replies are not examined: nothing tells whether a device got every "
                                   "block, so check each one afterwards (zrtool connect --target ID)."));
    addCommonOptions(command, false);
    const QCommandLineOption name(QStringLiteral("name"), "The model to upgrade (the others start their application).", "MODEL");
    const QCommandLineOption force(QStringLiteral("force"),
                                   "Stream a file whose header names another model than --name, or a model that "
                                   "does not use the stream's 64 KiB layout (default: refuse it, exit 2, nothing "
                                   "sent).");
    command.addOption(name);
    command.addOption(force);
    command.addArgument(QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file."));
    if (!command.parse(arguments, 1, 1, {name}))
        return kExitUsage;
    const QString path = command.arguments().at(0);
    QString problem;
    if (!checkInput(path, maxUpgradeFileSize(), &problem))
        return fileError(kExitInput, path, problem);
    // Nothing goes on the bus for a file of another model, or of a model that does not use the stream's layout.
    const QString refusal = StreamUpgrade::modelRefusal(readUpgradeFile(path).header, command.parser.value(name));
    if (!refusal.isEmpty() && !command.parser.isSet(force))
        return fileError(kExitInput, path, refusal + QStringLiteral(" (nothing sent; --force streams it anyway)"));
    Session session;
    if (!command.parser.isSet(kAttempts))
        session.prompts.attemptLimit = 100; // ten seconds of stream connect frames
    if (const int status = openSession(command, &session))
        return status;
    catchStopSignals(session);
    session.prompts.texts[QStringLiteral("Device")] = command.parser.value(name);
    session.prompts.openFile = path;
    StreamUpgrade stream(session.state, session.prompts, *session.cable);
    const qint64 startUs = session.cable->clockUs(); // the wall clock with a cable, simulated time with --simulate
    stream.connectDevices();
    endProgress(session);
    if (g_stopSignal)
        return interruptedExit(QStringLiteral("stream"), QStringLiteral("nothing written"));
    stream.upgrade(!command.parser.isSet(force));
    endProgress(session);
    if (g_stopSignal)
        return interruptedExit(QStringLiteral("stream"),
                               QStringLiteral("the devices hold a partly written application: run this zrtool stream "
                                              "again to finish it"));
    if (!session.lines.contains(QStringLiteral("Upgrade Stream finished!")))
        return deviceFailed(QStringLiteral("stream"), session.lines.value(session.lines.size() - 1));
    printLine(QStringLiteral("%1 sent three times over to every %2 on the bus in %3 s; replies are not examined, "
                             "check each device (zrtool connect --target ID)")
                      .arg(QDir::toNativeSeparators(path), command.parser.value(name))
                      .arg((session.cable->clockUs() - startUs) / 1e6, 0, 'f', 1));
    return kExitOk;
}

namespace {
int broadcastCommand(const QString &word, const QStringList &arguments, void (DeviceCommands::*action)())
{
    Command command(word, word == QLatin1String("mute") ? QStringLiteral("Tell every device to stay quiet.")
                                                        : QStringLiteral("Let every device answer again."));
    addCommonOptions(command, false);
    if (!command.parse(arguments, 0, 0))
        return kExitUsage;
    Session session;
    if (const int status = openSession(command, &session, false, false))
        return status;
    DeviceCommands commands(session.state, session.prompts, *session.cable);
    (commands.*action)();
    return kExitOk;
}
} // namespace

int runMute(const QStringList &arguments)
{
    return broadcastCommand(QStringLiteral("mute"), arguments, &DeviceCommands::mute);
}

int runUnmute(const QStringList &arguments)
{
    return broadcastCommand(QStringLiteral("unmute"), arguments, &DeviceCommands::unmute);
}

int runDiscover(const QStringList &arguments)
{
    Command command(QStringLiteral("discover"), QStringLiteral("List the IDs of the unmuted devices that answer."));
    addCommonOptions(command, false);
    if (!command.parse(arguments, 0, 0))
        return kExitUsage;
    Session session;
    if (!command.parser.isSet(kAttempts))
        session.prompts.attemptLimit = 10;
    if (const int status = openSession(command, &session, false, false))
        return status;
    DeviceCommands commands(session.state, session.prompts, *session.cable);
    commands.discovery();
    endProgress(session);
    QStringList ids;
    for (const QString &line : session.lines)
        if (line.startsWith(QStringLiteral("Device ID: ")) && !ids.contains(line))
            ids << line;
    const QString collided = QStringLiteral("several devices answered at once (mute all but one, or use "
                                            "connect --target ID for a device whose ID you know)");
    if (ids.isEmpty()) {
        printErr(QStringLiteral("zrtool discover: ")
                 + (commands.garbledReplies() > 0 ? collided : QStringLiteral("no device answered")));
        return kExitNoDevice;
    }
    if (commands.garbledReplies() > 0)
        printErr(QStringLiteral("zrtool discover: ") + collided + QStringLiteral(": more devices may be on the bus"));
    for (const QString &line : ids)
        printLine(line);
    return kExitOk;
}
