// A gang upgrade of N devices, each on a cable of its own, against one upgrade alone, in the same run and in turn:
// wall time, CPU time of the upgrading process, and every device's flash compared with the file afterwards.
//   lines: zrsim processes on pseudo-terminals (pty), simulated buses in this process on the real clock (bus),
//          emulated FT232R cables through libftdi and libusb under umockdev (usb)
//   upgrader: the gang engine in this process, or one `zrtool upgrade --cable ... --json` process (--zrtool), which
//             reaches the emulated USB cables through the testbed of this process as well
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "boot/gangupgrade.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "link/cabledrivers.h"
#include "link/codec.h"
#include "sim/simulatedbus.h"
#include "tests/support/descriptorimage.h"
#ifdef ZR_HAVE_UMOCKDEV
#include "tests/support/ft232remulator.h"
#endif

namespace {
double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double cpuSeconds(const rusage &u)
{
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

double selfCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpuSeconds(u);
}

// A child started with posix_spawn: its stdin a pipe we hold, its stdout a pipe or a file, reaped with wait4 for
// its own CPU time.
struct Child
{
    pid_t pid = -1;
    int input = -1;  // our end of its stdin
    int output = -1; // our end of its stdout (when piped)

    // stdout to `stdoutFile` (else a pipe), stderr to `stderrFile` (else thrown away).
    bool start(const QStringList &arguments, const QByteArray &stdoutFile = QByteArray(),
               const QByteArray &stderrFile = QByteArray())
    {
        QList<QByteArray> bytes;
        std::vector<char *> argv;
        for (const QString &a : arguments)
            bytes << a.toLocal8Bit();
        for (QByteArray &b : bytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
        int in[2], out[2] = {-1, -1};
        if (pipe2(in, O_CLOEXEC) != 0 || (stdoutFile.isEmpty() && pipe2(out, O_CLOEXEC) != 0))
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        if (stdoutFile.isEmpty())
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.constData(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                         stderrFile.isEmpty() ? "/dev/null" : stderrFile.constData(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int spawned = posix_spawn(&pid, argv.front(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        input = in[1];
        if (out[1] >= 0)
            ::close(out[1]);
        output = out[0];
        return spawned == 0;
    }
    // Its first line on stdout.
    QByteArray readLine() const
    {
        QByteArray line;
        char c = 0;
        while (::read(output, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    // Closes its stdin and reaps it; the exit code (-1 for a signal), its CPU seconds in *cpu.
    int finish(double *cpu)
    {
        if (input >= 0)
            ::close(input);
        input = -1;
        int status = 0;
        rusage u{};
        while (wait4(pid, &status, 0, &u) < 0 && errno == EINTR) {
        }
        if (output >= 0)
            ::close(output);
        output = -1;
        *cpu = cpuSeconds(u);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

qint64 threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The CPU time of every gang worker, summed: a worker's driver is made first and destroyed last on its thread.
std::atomic<qint64> g_workerCpuNs{0};

// An FtdiDriver that hands every call to another one, owned or not (a bus the bench owns outlives the worker's
// driver, so its flash can be read once the gang has ended), and adds its thread's CPU time to g_workerCpuNs.
class Lease : public FtdiDriver
{
public:
    Lease(FtdiDriver *target, std::unique_ptr<FtdiDriver> owned = nullptr)
        : m_owned(std::move(owned))
        , m_target(m_owned ? m_owned.get() : target)
        , m_startNs(threadCpuNs())
    {
    }
    ~Lease() override { g_workerCpuNs += threadCpuNs() - m_startNs; }
    Status createDeviceInfoList(quint32 *count) override { return m_target->createDeviceInfoList(count); }
    Status getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id, quint32 *locId,
                               char *serialNumber, char *description, Handle *handle) override
    {
        return m_target->getDeviceInfoDetail(index, flags, type, id, locId, serialNumber, description, handle);
    }
    Status openBySerialNumber(const char *serialNumber, Handle *handle) override
    {
        return m_target->openBySerialNumber(serialNumber, handle);
    }
    Status resetDevice(Handle h) override { return m_target->resetDevice(h); }
    Status setBaudRate(Handle h, quint32 baud) override { return m_target->setBaudRate(h, baud); }
    Status setDataCharacteristics(Handle h, quint8 bits, quint8 stop, quint8 parity) override
    {
        return m_target->setDataCharacteristics(h, bits, stop, parity);
    }
    Status setFlowControl(Handle h, quint16 flow, quint8 xon, quint8 xoff) override
    {
        return m_target->setFlowControl(h, flow, xon, xoff);
    }
    Status setLatencyTimer(Handle h, quint8 ms) override { return m_target->setLatencyTimer(h, ms); }
    Status getLatencyTimer(Handle h, quint8 *ms) override { return m_target->getLatencyTimer(h, ms); }
    Status purge(Handle h, quint32 mask) override { return m_target->purge(h, mask); }
    Status setTimeouts(Handle h, quint32 readMs, quint32 writeMs) override
    {
        return m_target->setTimeouts(h, readMs, writeMs);
    }
    Status setRts(Handle h) override { return m_target->setRts(h); }
    Status clrRts(Handle h) override { return m_target->clrRts(h); }
    Status setBreakOn(Handle h) override { return m_target->setBreakOn(h); }
    Status setBreakOff(Handle h) override { return m_target->setBreakOff(h); }
    Status write(Handle h, const void *buffer, quint32 length, quint32 *written) override
    {
        return m_target->write(h, buffer, length, written);
    }
    Status read(Handle h, void *buffer, quint32 length, quint32 *received) override
    {
        return m_target->read(h, buffer, length, received);
    }
    Status close(Handle h) override { return m_target->close(h); }
    QString problem() const override { return m_target->problem(); }
    qint64 clockUs() const override { return m_target->clockUs(); }

private:
    std::unique_ptr<FtdiDriver> m_owned;
    FtdiDriver *m_target;
    qint64 m_startNs;
};

// The backend the identity names, opened by the identity alone, as zrtool's gang opens it.
std::unique_ptr<FtdiDriver> backendLease(const CableIdentity &cable)
{
    QString why;
    std::unique_ptr<FtdiDriver> driver = makeCableDrivers(cable.backend, {}, &why);
    return driver ? std::make_unique<Lease>(nullptr, std::move(driver)) : nullptr;
}

enum class Line { Pty, Bus, Usb };

// What every upgrade of the run shares: the device model, its family and the image the file holds.
struct Job
{
    QByteArray model;
    const UpgradeFamily *family = nullptr;
    QByteArray image;
    QString file;
    int attempts = 50;

    bool flashMatches(const QByteArray &flash) const
    {
        const int first = int(family->firstBlock - FLASH_BASE), size = int(family->end - family->firstBlock);
        return flash.size() >= first + size && flash.mid(first, size) == image.mid(first, size);
    }
};

// N fresh devices, each behind a cable of its own, for one gang; what their flash holds once it has ended.
class Devices
{
public:
    virtual ~Devices() = default;
    // False with *problem when they cannot be made.
    virtual bool start(int count, QString *problem) = 0;
    virtual QList<CableIdentity> cables() const = 0;
    virtual CableDriverFactory factory() = 0;
    // Stops the line and returns each device's flash; *lineCpu: CPU seconds of line processes (0 when in-process).
    virtual QList<QByteArray> finish(double *lineCpu) = 0;
};

// zrsim processes, one device each on its own pseudo-terminal.
class PtyDevices : public Devices
{
public:
    explicit PtyDevices(const Job &job)
        : m_job(job)
    {
    }
    ~PtyDevices() override
    {
        double ignored = 0;
        finish(&ignored);
    }
    bool start(int count, QString *problem) override
    {
        m_dir = std::make_unique<QTemporaryDir>();
        for (int i = 0; i < count; ++i) {
            auto sim = std::make_unique<Child>();
            const QString prefix = m_dir->filePath(QStringLiteral("sim%1-flash").arg(i));
            if (!sim->start({QStringLiteral(ZRSIM_PATH), QStringLiteral("--device"), QString::fromLatin1(m_job.model),
                             QStringLiteral("--flash-out"), prefix})) {
                *problem = QStringLiteral("%1 does not start").arg(QStringLiteral(ZRSIM_PATH));
                return false;
            }
            const QByteArray port = sim->readLine();
            m_sims.push_back(std::move(sim));
            if (!port.startsWith("/dev/")) {
                *problem = QStringLiteral("zrsim printed no port");
                return false;
            }
            CableIdentity identity;
            identity.backend = QStringLiteral("serial");
            identity.serial = identity.openName = port;
            identity.description = "zrsim";
            m_cables << identity;
            m_flashFiles << prefix + QStringLiteral("0.bin");
        }
        return true;
    }
    QList<CableIdentity> cables() const override { return m_cables; }
    CableDriverFactory factory() override { return backendLease; }
    QList<QByteArray> finish(double *lineCpu) override
    {
        *lineCpu = 0;
        for (auto &sim : m_sims) { // closing its input ends it, the flash written first
            double cpu = 0;
            sim->finish(&cpu);
            *lineCpu += cpu;
        }
        m_sims.clear();
        QList<QByteArray> flashes;
        for (const QString &name : qAsConst(m_flashFiles)) {
            QFile f(name);
            flashes << (f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
        }
        m_flashFiles.clear();
        m_cables.clear();
        return flashes;
    }

private:
    const Job &m_job;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<Child>> m_sims;
    QList<CableIdentity> m_cables;
    QStringList m_flashFiles;
};

SimDeviceConfig deviceConfig(const Job &job)
{
    SimDeviceConfig config;
    config.modelCode = job.model;
    config.family = QString::fromLatin1(job.family->name);
    return config;
}

// Simulated buses in this process on the real clock, each a cable with a serial number of its own.
class BusDevices : public Devices
{
public:
    explicit BusDevices(const Job &job)
        : m_job(job)
    {
    }
    bool start(int count, QString *) override
    {
        for (int i = 0; i < count; ++i) {
            auto bus = std::make_unique<SimulatedBus>(SimulatedBus::Clock::Real);
            bus->setCallLog(false);
            const QByteArray serial = "ZRGANG" + QByteArray::number(i + 1).rightJustified(2, '0');
            bus->setCables({{QByteArray("USB-RS485 Cable (simulated bus)"), serial}});
            bus->addDevice(deviceConfig(m_job));
            CableIdentity identity;
            identity.serial = identity.openName = serial;
            identity.description = "USB-RS485 Cable (simulated bus)";
            m_cables << identity;
            m_buses[serial] = std::move(bus);
        }
        return true;
    }
    QList<CableIdentity> cables() const override { return m_cables; }
    CableDriverFactory factory() override
    {
        // The map is not changed while the gang runs: every worker only reads it.
        return [this](const CableIdentity &cable) -> std::unique_ptr<FtdiDriver> {
            const auto it = m_buses.find(cable.openName);
            return it == m_buses.end() ? nullptr : std::make_unique<Lease>(it->second.get());
        };
    }
    QList<QByteArray> finish(double *lineCpu) override
    {
        *lineCpu = 0; // in this process: counted with the engine
        QList<QByteArray> flashes;
        for (const CableIdentity &cable : qAsConst(m_cables))
            flashes << m_buses.at(cable.openName)->devices().constFirst()->flash();
        m_buses.clear();
        m_cables.clear();
        return flashes;
    }

private:
    const Job &m_job;
    std::map<QByteArray, std::unique_ptr<SimulatedBus>> m_buses;
    QList<CableIdentity> m_cables;
};

#ifdef ZR_HAVE_UMOCKDEV
// Emulated FT232R cables, each on a USB bus of its own with a simulated bus on its line, opened through libftdi
// by their USB address.
class UsbDevices : public Devices
{
public:
    explicit UsbDevices(const Job &job)
        : m_job(job)
    {
    }
    ~UsbDevices() override
    {
        double ignored = 0;
        finish(&ignored);
    }
    bool start(int count, QString *problem) override
    {
        for (int i = 0; i < count; ++i) {
            auto bus = std::make_unique<SimulatedBus>(SimulatedBus::Clock::Real);
            bus->setCallLog(false);
            m_devices << bus->addDevice(deviceConfig(m_job));
            Ft232rIdentity identity;
            identity.serial = "FTGANG" + QByteArray::number(i + 1).rightJustified(2, '0');
            identity.busNumber = quint8(i + 1);
            identity.address = 2;
            auto chip = std::make_unique<Ft232rEmulator>(bus.get(), identity);
            if (!chip->error().isEmpty()) {
                *problem = chip->error();
                return false;
            }
            CableIdentity cable;
            cable.backend = QStringLiteral("libftdi");
            cable.serial = identity.serial;
            cable.openName = QStringLiteral("usb-%1-%2")
                                     .arg(identity.busNumber, 3, 10, QLatin1Char('0'))
                                     .arg(identity.address, 3, 10, QLatin1Char('0'))
                                     .toLatin1();
            cable.description = identity.product;
            m_cables << cable;
            m_buses.push_back(std::move(bus));
            m_chips.push_back(std::move(chip));
        }
        return true;
    }
    QList<CableIdentity> cables() const override { return m_cables; }
    CableDriverFactory factory() override { return backendLease; }
    QList<QByteArray> finish(double *lineCpu) override
    {
        *lineCpu = 0; // the chips' threads run in this process: counted with the engine
        QList<QByteArray> flashes;
        for (size_t i = 0; i < m_chips.size(); ++i) {
            QByteArray flash;
            m_chips[i]->withBus([&](SimulatedBus &) { flash = m_devices.at(int(i))->flash(); });
            flashes << flash;
        }
        m_chips.clear(); // before their buses
        m_buses.clear();
        m_devices.clear();
        m_cables.clear();
        return flashes;
    }

private:
    const Job &m_job;
    std::vector<std::unique_ptr<SimulatedBus>> m_buses;
    std::vector<std::unique_ptr<Ft232rEmulator>> m_chips;
    QList<SimDevice *> m_devices;
    QList<CableIdentity> m_cables;
};
#endif

// One gang's figures.
struct Run
{
    double wall = 0;    // seconds from start to the last cable's end
    double cpu = 0;     // CPU seconds of the upgrading process
    double workerCpu = 0; // of those, the gang workers' threads (engine in this process)
    double lineCpu = 0; // CPU seconds of the line processes (zrsim)
    double lastStart = -1; // zrtool: when its last worker started (its JSON's startMs), seconds
    double longest = 0;    // zrtool: the longest upgrade (its JSON's durationMs), seconds
    int done = 0;       // cables whose upgrade says done
    int verified = 0;   // of those, flash equal to the file's image
    QStringList problems;
};

// The gang engine in this process.
void upgradeInProcess(const Job &job, Devices &devices, Run *run)
{
    GangUpgrade gang(devices.factory());
    QList<GangCable> cables;
    for (const CableIdentity &identity : devices.cables())
        cables << GangCable{identity, false, 0};
    GangSettings settings;
    settings.request.file = job.file;
    settings.request.retries = 2;
    settings.request.collisionLimit = 5;
    settings.attemptLimit = job.attempts;
    const double cpuBefore = selfCpuSeconds();
    g_workerCpuNs = 0;
    QElapsedTimer clock;
    clock.start();
    gang.start(cables, settings);
    gang.waitForAll();
    run->wall = clock.nsecsElapsed() / 1e9;
    run->cpu = selfCpuSeconds() - cpuBefore;
    run->workerCpu = g_workerCpuNs / 1e9;
    for (int i = 0; i < gang.outcomes().size(); ++i) {
        const UpgradeOutcome &o = gang.outcomes().at(i);
        if (o.result == UpgradeOutcome::Result::Done)
            ++run->done;
        else
            run->problems << QStringLiteral("cable %1: %2").arg(i).arg(o.step);
    }
}

// One `zrtool upgrade --cable ... --json` process over every cable.
void upgradeWithZrtool(const Job &job, Devices &devices, Run *run)
{
    QTemporaryDir dir;
    QStringList arguments = {QStringLiteral(ZRTOOL_PATH), QStringLiteral("upgrade"), QStringLiteral("--no-registry"),
                             QStringLiteral("--json"), QStringLiteral("--attempts"), QString::number(job.attempts)};
    QString backend;
    for (const CableIdentity &identity : devices.cables()) {
        arguments << QStringLiteral("--cable") << QString::fromLatin1(identity.openName);
        backend = identity.backend;
    }
    arguments << QStringLiteral("--cable-backend") << backend << job.file;
    const QByteArray out = dir.filePath(QStringLiteral("out.json")).toLocal8Bit();
    const QByteArray errors = dir.filePath(QStringLiteral("err.txt")).toLocal8Bit();
    Child tool;
    QElapsedTimer clock;
    clock.start();
    if (!tool.start(arguments, out, errors)) {
        run->problems << QStringLiteral("zrtool does not start");
        return;
    }
    const int exit = tool.finish(&run->cpu);
    run->wall = clock.nsecsElapsed() / 1e9;
    QFile file(QString::fromLocal8Bit(out));
    file.open(QIODevice::ReadOnly);
    const QJsonDocument json = QJsonDocument::fromJson(file.readAll());
    // One object per cable in an array; a single cable's upgrade may print the object alone.
    QJsonArray rows = json.isArray() ? json.array() : QJsonArray{json.object()};
    for (const QJsonValue &row : qAsConst(rows)) {
        const QJsonObject o = row.toObject();
        if (o.contains(QStringLiteral("startMs")))
            run->lastStart = qMax(run->lastStart, o.value(QStringLiteral("startMs")).toDouble() / 1000);
        run->longest = qMax(run->longest, o.value(QStringLiteral("durationMs")).toDouble() / 1000);
        if (o.value(QStringLiteral("result")).toString() == QLatin1String("done"))
            ++run->done;
        else
            run->problems << QStringLiteral("%1: %2 %3")
                                     .arg(o.value(QStringLiteral("cable")).toString(),
                                          o.value(QStringLiteral("result")).toString(),
                                          o.value(QStringLiteral("step")).toString());
    }
    if (rows.size() != devices.cables().size())
        run->problems << QStringLiteral("zrtool reported %1 cables of %2").arg(rows.size()).arg(devices.cables().size());
    if (exit != 0) {
        // What it said on stderr (a sanitizer's reports too), after its progress lines.
        QFile said(QString::fromLocal8Bit(errors));
        said.open(QIODevice::ReadOnly);
        run->problems << QStringLiteral("zrtool exit %1; on stderr:\n%2").arg(exit).arg(QString::fromLocal8Bit(said.readAll()));
    }
}

Run gangOnce(const Job &job, Devices &devices, int count, bool zrtool)
{
    Run run;
    QString problem;
    if (!devices.start(count, &problem)) {
        double ignored = 0;
        devices.finish(&ignored);
        run.problems << problem;
        return run;
    }
    if (zrtool)
        upgradeWithZrtool(job, devices, &run);
    else
        upgradeInProcess(job, devices, &run);
    const QList<QByteArray> flashes = devices.finish(&run.lineCpu);
    for (int i = 0; i < flashes.size(); ++i) {
        if (job.flashMatches(flashes.at(i)))
            ++run.verified;
        else
            run.problems << QStringLiteral("device %1: flash differs from the file").arg(i);
    }
    // Only an upgrade that says done and whose flash holds the file counts.
    run.verified = qMin(run.verified, run.done);
    return run;
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

// The emulated USB cables exist only for a process under umockdev's preload library: start again under it.
void runUnderUmockdev(char *argv[])
{
#ifdef ZR_HAVE_UMOCKDEV
    if (Ft232rEmulator::preloadActive() || !QFile::exists(QStringLiteral(UMOCKDEV_PRELOAD)))
        return;
    QByteArray preload = UMOCKDEV_PRELOAD;
    if (!qEnvironmentVariableIsEmpty("LD_PRELOAD"))
        preload += ':' + qgetenv("LD_PRELOAD");
    qputenv("LD_PRELOAD", preload);
    ::execv("/proc/self/exe", argv);
    perror("bench_gang: cannot start again under umockdev's preload library");
#else
    Q_UNUSED(argv)
#endif
}
} // namespace

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], "--line=usb") == 0
            || (qstrcmp(argv[i], "--line") == 0 && i + 1 < argc && qstrcmp(argv[i + 1], "usb") == 0))
            runUnderUmockdev(argv);
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("A gang upgrade over N cables against one upgrade alone: wall and CPU time, flash checked."));
    parser.addHelpOption();
    const QCommandLineOption counts(QStringLiteral("cables"),
                                    QStringLiteral("Gang sizes, comma-separated; 1 is always measured (default "
                                                   "1,4,8,16)."),
                                    QStringLiteral("list"), QStringLiteral("1,4,8,16"));
    const QCommandLineOption rounds(QStringLiteral("rounds"), QStringLiteral("Rounds (default 3)."),
                                    QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Device model (default Zr440)."),
                                   QStringLiteral("code"), QStringLiteral("Zr440"));
    const QCommandLineOption line(QStringLiteral("line"),
                                  QStringLiteral("pty: zrsim processes on pseudo-terminals (default); bus: simulated "
                                                 "buses in this process, real clock; usb: emulated FT232R cables "
                                                 "through libftdi (under umockdev)."),
                                  QStringLiteral("kind"), QStringLiteral("pty"));
    const QCommandLineOption zrtool(QStringLiteral("zrtool"),
                                    QStringLiteral("Upgrade with one zrtool process (zrtool upgrade --cable ... "
                                                   "--json) instead of the engine in this process (pty and usb "
                                                   "lines)."));
    parser.addOptions({counts, rounds, model, line, zrtool});
    parser.process(app);

    QList<int> sizes = {1};
    for (const QString &n : parser.value(counts).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (n.toInt() > 0 && !sizes.contains(n.toInt()))
            sizes << n.toInt();
    std::sort(sizes.begin(), sizes.end());
    const int roundCount = parser.value(rounds).toInt();
    const QString lineName = parser.value(line);
    const Line lineKind = lineName == QLatin1String("bus") ? Line::Bus
                        : lineName == QLatin1String("usb") ? Line::Usb
                                                            : Line::Pty;
    const bool useZrtool = parser.isSet(zrtool);
    Job job;
    job.model = parser.value(model).toLatin1();
    job.family = dispatchFamily(job.model, connectDispatchOrder());
    if (!job.family || roundCount < 1
        || (lineKind == Line::Pty && lineName != QLatin1String("pty")) || (useZrtool && lineKind == Line::Bus)) {
        fprintf(stderr, "bench_gang: bad options (see --help)\n");
        return 1;
    }

    std::unique_ptr<Devices> devices;
    if (lineKind == Line::Pty)
        devices = std::make_unique<PtyDevices>(job);
    else if (lineKind == Line::Bus)
        devices = std::make_unique<BusDevices>(job);
#ifdef ZR_HAVE_UMOCKDEV
    else if (Ft232rEmulator::preloadActive())
        devices = std::make_unique<UsbDevices>(job);
#endif
    if (!devices) {
        fprintf(stderr, "bench_gang: no emulated USB cables here (needs umockdev and libftdi1 at build time and "
                        "umockdev's preload library)\n");
        return 77;
    }

    // The bootloader's area blank, the application area a pattern; the model named in the descriptor where the
    // family's upgrade writes it.
    QTemporaryDir dir;
    job.image = QByteArray(int(job.family->imageSize), '\0');
    for (quint32 i = job.family->firstBlock - FLASH_BASE; i < job.family->imageSize; ++i)
        job.image[int(i)] = char((i * 7 + (i >> 8)) & 0xFF);
    nameModelInDescriptor(&job.image, job.model, job.family->firstBlock);
    job.file = dir.filePath(QString::fromLatin1(job.model) + QStringLiteral(".upg"));
    QFile file(job.file);
    if (!file.open(QIODevice::WriteOnly)
        || !writeUpgradeFile(&file, QString::fromLatin1(job.model), kUpgradeFileVersion, job.image))
        return 3;
    file.close();

    QTextStream out(stdout);
    out << QStringLiteral("%1 (%2), line %3, %4, %5 rounds\n")
                   .arg(QString::fromLatin1(job.model), QString::fromLatin1(job.family->name), lineName,
                        useZrtool ? QStringLiteral("one zrtool process") : QStringLiteral("engine in this process"))
                   .arg(roundCount);
    out.flush();
    // Per gang size: every round's figures; ratios against the lone upgrade of the same round.
    std::map<int, QVector<double>> walls, cpus, workerCpus, lineCpus, ratios;
    std::map<int, int> upgrades, verified;
    bool allGood = true;
    for (int round = 1; round <= roundCount; ++round) {
        QList<int> order = sizes;
        if (round % 2 == 0)
            std::reverse(order.begin(), order.end()); // in turn: no size always first
        std::map<int, double> wallOf;
        for (const int n : qAsConst(order)) {
            const Run run = gangOnce(job, *devices, n, useZrtool);
            walls[n] << run.wall;
            cpus[n] << run.cpu / n;
            workerCpus[n] << run.workerCpu / n;
            lineCpus[n] << run.lineCpu / n;
            upgrades[n] += n;
            verified[n] += run.verified;
            wallOf[n] = run.wall;
            out << QStringLiteral("round %1: %2 cables %3 s, cpu %4 s, %5/%6 verified\n")
                           .arg(round)
                           .arg(n, 2)
                           .arg(run.wall, 6, 'f', 2)
                           .arg(run.cpu, 6, 'f', 2)
                           .arg(run.verified)
                           .arg(n);
            if (run.lastStart >= 0)
                out << QStringLiteral("    zrtool: last worker started %1 s after the gang, longest upgrade %2 s\n")
                               .arg(run.lastStart, 0, 'f', 3)
                               .arg(run.longest, 0, 'f', 3);
            for (const QString &p : run.problems)
                out << QStringLiteral("    %1\n").arg(p);
            out.flush();
            allGood = allGood && run.verified == n && run.problems.isEmpty();
        }
        for (const int n : qAsConst(sizes))
            ratios[n] << wallOf[n] / qMax(wallOf[1], 1e-9);
    }

    // CPU seconds per upgrade: the upgrading process, its gang workers, the zrsim processes.
    out << QStringLiteral("\n%1 %2 %3 %4 %5 %6 %7\n")
                   .arg(QStringLiteral("cables"), 6)
                   .arg(QStringLiteral("wall s"), 8)
                   .arg(QStringLiteral("x one"), 7)
                   .arg(QStringLiteral("cpu/upg"), 8)
                   .arg(QStringLiteral("workers"), 8)
                   .arg(QStringLiteral("zrsim"), 8)
                   .arg(QStringLiteral("verified"), 9);
    const auto figure = [](bool shown, double value) {
        return shown ? QStringLiteral("%1").arg(value, 8, 'f', 3) : QStringLiteral("%1").arg(QStringLiteral("-"), 8);
    };
    for (const int n : qAsConst(sizes)) {
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                       .arg(n, 6)
                       .arg(median(walls[n]), 8, 'f', 2)
                       .arg(median(ratios[n]), 7, 'f', 3)
                       .arg(median(cpus[n]), 8, 'f', 3)
                       .arg(figure(!useZrtool, median(workerCpus[n])))
                       .arg(figure(lineKind == Line::Pty, median(lineCpus[n])))
                       .arg(QStringLiteral("%1/%2").arg(verified[n]).arg(upgrades[n]), 9);
    }
    out << QStringLiteral("medians of %1 rounds; x one: the gang's wall time over the lone upgrade's of the same "
                          "round\n")
                   .arg(roundCount);
    out << QStringLiteral("cpu/upg: CPU seconds per upgrade of the %1; workers: of its gang workers' threads; "
                          "zrsim: of the zrsim processes\n")
                   .arg(useZrtool ? QStringLiteral("zrtool process")
                        : lineKind == Line::Pty ? QStringLiteral("engine's process")
                                                : QStringLiteral("whole process, the emulated lines included"));
    return allGood ? 0 : 1;
}
