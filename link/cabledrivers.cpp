// Enumeration across the cable backends, routing of each open cable to its backend, and the "why no cable" line.
#include "link/cabledrivers.h"

#include <QMutex>

#include "link/d2xxlibrary.h"
#include "link/libftdidriver.h"
#ifdef ZR_HAVE_SERIALPORT
#include "link/serialportdriver.h"
#endif

struct CableDrivers::Entry
{
    size_t backend;
    QByteArray serial;      // the serial number the backend reports
    QByteArray shownSerial; // the name the dialog shows and the cable opens by
    QByteArray openName;    // what the backend opens it by
    QByteArray description;
    QStringList otherNames; // the port path, port name or USB address the backend knows it by
    QByteArray directName;  // what opens it through a backend that has listed nothing
    bool listedBefore;      // through an earlier backend
    quint32 flags, type, id, locId;
};

namespace {
// "USB-RS485 Cable" -> "USB-RS485 Cable [serial]", within the 63 characters of a description.
void tagWithBackend(QByteArray *description, const QString &backend)
{
    const QByteArray tag = " [" + backend.toLatin1() + ']';
    if (!description->endsWith(tag))
        *description = description->left(63 - tag.size()) + tag;
}
} // namespace

struct CableDrivers::Open
{
    FtdiDriver *driver;
    Handle handle;
};

CableDrivers::CableDrivers(std::vector<Backend> backends)
    : m_backends(std::move(backends))
{
}

CableDrivers::~CableDrivers()
{
    for (Open *open : qAsConst(m_open)) {
        open->driver->close(open->handle);
        delete open;
    }
}

QStringList CableDrivers::backendNames() const
{
    QStringList names;
    for (const Backend &b : m_backends)
        names << b.name;
    return names;
}

FtdiDriver::Status CableDrivers::createDeviceInfoList(quint32 *count)
{
    // One listing at a time in the whole process: the system's device list (libudev behind Qt's serial-port
    // listing) is not safe to walk from two threads at once, and libftdi's listing opens every FTDI device.
    static QMutex listing;
    const QMutexLocker locked(&listing);
    m_entries.clear();
    m_problem.clear();
    QStringList reasons;
    for (size_t b = 0; b < m_backends.size(); ++b) {
        FtdiDriver *driver = m_backends[b].driver.get();
        quint32 n = 0;
        if (driver->createDeviceInfoList(&n) != FT_OK)
            n = 0;
        const size_t before = m_entries.size();
        for (quint32 i = 0; i < n; ++i) {
            Entry e{b, {}, {}, {}, {}, driver->otherNames(i), driver->directName(i), false, 0, 0, 0, 0};
            char serial[64] = {};
            char description[128] = {};
            Handle ignored = nullptr;
            if (driver->getDeviceInfoDetail(i, &e.flags, &e.type, &e.id, &e.locId, serial, description, &ignored)
                != FT_OK)
                continue;
            e.serial = QByteArray(serial, int(qstrnlen(serial, 16)));
            e.description = QByteArray(description, int(qstrnlen(description, 64)));
            e.shownSerial = e.openName = e.serial;
            for (Entry &seen : m_entries) {
                if (seen.serial != e.serial || seen.backend == b)
                    continue;
                // The same cable through another backend: both say which, the later one by its other name.
                const QByteArray other = driver->alternativeSerial(i);
                if (!other.isEmpty() && other.size() <= 15)
                    e.shownSerial = e.openName = other;
                else
                    e.shownSerial = e.serial.left(13) + '#' + QByteArray::number(int(b));
                e.listedBefore = true;
                tagWithBackend(&seen.description, m_backends[seen.backend].name);
                tagWithBackend(&e.description, m_backends[b].name);
                break;
            }
            m_entries.push_back(e);
        }
        if (m_entries.size() == before) {
            const QString why = driver->problem();
            reasons << (why.isEmpty() ? QStringLiteral("%1: no cable found").arg(m_backends[b].name) : why);
        }
    }
    if (m_entries.empty()) {
        if (!leftOutCableBackends().isEmpty())
            reasons << leftOutCableBackends();
        m_problem = reasons.join(QStringLiteral("; "));
    }
    *count = quint32(m_entries.size());
    return FT_OK;
}

FtdiDriver::Status CableDrivers::getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id,
                                                     quint32 *locId, char *serialNumber, char *description,
                                                     Handle *handle)
{
    if (index >= m_entries.size())
        return FT_DEVICE_NOT_FOUND;
    const Entry &e = m_entries[index];
    *flags = e.flags;
    *type = e.type;
    *id = e.id;
    *locId = e.locId;
    qstrncpy(serialNumber, e.shownSerial.left(15).constData(), 16);
    qstrncpy(description, e.description.left(63).constData(), 64);
    *handle = nullptr;
    return FT_OK;
}

FtdiDriver::Status CableDrivers::openBySerialNumber(const char *serialNumber, Handle *handle)
{
    *handle = nullptr;
    m_problem.clear();
    auto tryOpen = [&](size_t b, const QByteArray &name) {
        Handle inner = nullptr;
        FtdiDriver *driver = m_backends[b].driver.get();
        const Status s = driver->openBySerialNumber(name.constData(), &inner);
        if (s != FT_OK || !inner) {
            if (m_problem.isEmpty())
                m_problem = driver->problem();
            return false;
        }
        auto *open = new Open{driver, inner};
        m_open << open;
        *handle = open;
        return true;
    };
    for (const Entry &e : m_entries)
        if (e.shownSerial == serialNumber)
            return tryOpen(e.backend, e.openName) ? Status(FT_OK) : Status(FT_DEVICE_NOT_OPENED);
    for (const Entry &e : m_entries)
        if (!e.directName.isEmpty() && e.directName == serialNumber)
            return tryOpen(e.backend, e.directName) ? Status(FT_OK) : Status(FT_DEVICE_NOT_OPENED);
    for (size_t b = 0; b < m_backends.size(); ++b)
        if (tryOpen(b, serialNumber))
            return FT_OK;
    return FT_DEVICE_NOT_FOUND;
}

QStringList CableDrivers::otherNames(quint32 index) const
{
    return index < m_entries.size() ? m_entries[index].otherNames : QStringList();
}

QByteArray CableDrivers::directName(quint32 index) const
{
    return index < m_entries.size() ? m_entries[index].directName : QByteArray();
}

bool CableDrivers::listedBefore(quint32 index) const
{
    return index < m_entries.size() && m_entries[index].listedBefore;
}

QString CableDrivers::backendOf(quint32 index) const
{
    return index < m_entries.size() ? m_backends[m_entries[index].backend].name : QString();
}

CableDrivers::Open *CableDrivers::find(Handle handle) const
{
    for (Open *open : m_open)
        if (open == handle)
            return open;
    return nullptr;
}

// Every other call goes to the backend that opened the cable.
#define ZR_FORWARD(call)                                                                                               \
    Open *open = find(handle);                                                                                         \
    if (!open)                                                                                                         \
        return FT_INVALID_HANDLE;                                                                                      \
    return open->driver->call

FtdiDriver::Status CableDrivers::resetDevice(Handle handle) { ZR_FORWARD(resetDevice(open->handle)); }
FtdiDriver::Status CableDrivers::setBaudRate(Handle handle, quint32 baud) { ZR_FORWARD(setBaudRate(open->handle, baud)); }
FtdiDriver::Status CableDrivers::setDataCharacteristics(Handle handle, quint8 wordLength, quint8 stopBits,
                                                        quint8 parity)
{
    ZR_FORWARD(setDataCharacteristics(open->handle, wordLength, stopBits, parity));
}
FtdiDriver::Status CableDrivers::setFlowControl(Handle handle, quint16 flowControl, quint8 xon, quint8 xoff)
{
    ZR_FORWARD(setFlowControl(open->handle, flowControl, xon, xoff));
}
FtdiDriver::Status CableDrivers::setLatencyTimer(Handle handle, quint8 ms) { ZR_FORWARD(setLatencyTimer(open->handle, ms)); }
FtdiDriver::Status CableDrivers::getLatencyTimer(Handle handle, quint8 *ms) { ZR_FORWARD(getLatencyTimer(open->handle, ms)); }
FtdiDriver::Status CableDrivers::purge(Handle handle, quint32 mask) { ZR_FORWARD(purge(open->handle, mask)); }
FtdiDriver::Status CableDrivers::setTimeouts(Handle handle, quint32 readMs, quint32 writeMs)
{
    ZR_FORWARD(setTimeouts(open->handle, readMs, writeMs));
}
FtdiDriver::Status CableDrivers::setRts(Handle handle) { ZR_FORWARD(setRts(open->handle)); }
FtdiDriver::Status CableDrivers::clrRts(Handle handle) { ZR_FORWARD(clrRts(open->handle)); }
FtdiDriver::Status CableDrivers::setBreakOn(Handle handle) { ZR_FORWARD(setBreakOn(open->handle)); }
FtdiDriver::Status CableDrivers::setBreakOff(Handle handle) { ZR_FORWARD(setBreakOff(open->handle)); }
FtdiDriver::Status CableDrivers::write(Handle handle, const void *buffer, quint32 length, quint32 *written)
{
    ZR_FORWARD(write(open->handle, buffer, length, written));
}
FtdiDriver::Status CableDrivers::read(Handle handle, void *buffer, quint32 length, quint32 *received)
{
    ZR_FORWARD(read(open->handle, buffer, length, received));
}

FtdiDriver::Status CableDrivers::close(Handle handle)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    m_open.removeOne(open);
    const Status s = open->driver->close(open->handle);
    delete open;
    return s;
}

QStringList cableBackendNames()
{
#ifdef ZR_HAVE_SERIALPORT
    return {QStringLiteral("d2xx"), QStringLiteral("libftdi"), QStringLiteral("serial")};
#else
    return {QStringLiteral("d2xx")};
#endif
}

QString leftOutCableBackends()
{
#ifdef ZR_LEFT_OUT_BACKENDS
    return QStringLiteral(ZR_LEFT_OUT_BACKENDS);
#else
    return QString();
#endif
}

std::unique_ptr<CableDrivers> makeCableDrivers(const QString &backend, const QStringList &extraPorts,
                                               QString *error)
{
    if (!backend.isEmpty() && !cableBackendNames().contains(backend)) {
        *error = QStringLiteral("unknown cable backend \"%1\" (%2)")
                         .arg(backend, cableBackendNames().join(QStringLiteral(", ")));
        if (!leftOutCableBackends().isEmpty())
            *error += QStringLiteral("; ") + leftOutCableBackends();
        return nullptr;
    }
    std::vector<CableDrivers::Backend> backends;
    auto wanted = [&](const char *name) { return backend.isEmpty() || backend == QLatin1String(name); };
    if (wanted("d2xx"))
        backends.push_back({QStringLiteral("d2xx"), std::make_unique<D2xxLibrary>()});
    if (wanted("libftdi")) {
        if (std::unique_ptr<LibFtdiApi> api = makeLibFtdiApi())
            backends.push_back({QStringLiteral("libftdi"), std::make_unique<LibFtdiDriver>(std::move(api))});
        else if (!backend.isEmpty()) {
            *error = QStringLiteral("this build has no libftdi backend (libftdi1 was not found when it was built)");
            return nullptr;
        }
    }
#ifdef ZR_HAVE_SERIALPORT
    if (wanted("serial"))
        backends.push_back({QStringLiteral("serial"), std::make_unique<SerialPortDriver>(extraPorts)});
#else
    Q_UNUSED(extraPorts)
#endif
    return std::make_unique<CableDrivers>(std::move(backends));
}

QList<CableIdentity> listSystemCables(const QString &backend, const QStringList &extraPorts, QString *problem)
{
    const std::unique_ptr<CableDrivers> drivers = makeCableDrivers(backend, extraPorts, problem);
    if (!drivers)
        return {};
    const QList<CableIdentity> found = listCables(*drivers);
    if (found.isEmpty())
        *problem = drivers->problem().isEmpty() ? QStringLiteral("no cable backend sees a cable") : drivers->problem();
    return found;
}

std::unique_ptr<FtdiDriver> systemCableDriver(const CableIdentity &cable, const QString &backend)
{
    QString ignored; // the backend was known when the cable was listed
    return makeCableDrivers(cable.backend.isEmpty() ? backend : cable.backend, QStringList(), &ignored);
}
