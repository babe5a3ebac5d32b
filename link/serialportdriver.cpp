// The D2XX calls the cable makes, carried out on a serial port; what a port cannot do (RTS on a pseudo-terminal)
// fails quietly and the cable ignores it, as it ignores those results on an FTDI cable.
#include "link/serialportdriver.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {
// D2XX flow control and stop-bit values.
constexpr quint16 kFlowRtsCts = 0x0100;
constexpr quint16 kFlowDtrDsr = 0x0200;
constexpr quint16 kFlowXonXoff = 0x0400;
constexpr quint8 kStopBits2 = 2;
// The FTDI chip's own default, in force until somebody lowers it.
constexpr quint8 kFtdiDefaultLatencyMs = 16;
// The serial-number field of a device record holds 15 characters and a terminator.
constexpr int kSerialField = 15;
// A write limit of 0 waits for the bytes; this bounds that wait on a stalled port.
constexpr int kUnlimitedWriteMs = 5000;

FtdiDriver::Status status(bool ok)
{
    return ok ? FtdiDriver::Status(FT_OK) : FtdiDriver::Status(FT_IO_ERROR);
}

// Ports the system does not list (a pseudo-terminal) are known by their path alone: "/dev/pts/3" or "pts/3".
QString locationOf(const QString &port)
{
    if (port.startsWith(QLatin1Char('/')))
        return port;
    const QSerialPortInfo info(port);
    return info.isNull() ? QStringLiteral("/dev/") + port : info.systemLocation();
}

QString nameOf(const QString &location)
{
    return location.startsWith(QLatin1String("/dev/")) ? location.mid(5) : location;
}

QString permissionText(const QString &location)
{
    return QStringLiteral("%1: permission denied \u2014 add yourself to the dialout group").arg(location);
}
} // namespace

struct SerialPortDriver::Open
{
    QSerialPort port;
    QString name;
    quint32 readMs = 80;
    quint32 writeMs = 80;
};

SerialPortDriver::SerialPortDriver(const QStringList &extraPorts)
    : m_extraPorts(extraPorts)
{
}

SerialPortDriver::~SerialPortDriver()
{
    qDeleteAll(m_open);
}

SerialPortDriver::Open *SerialPortDriver::find(Handle handle) const
{
    for (Open *open : m_open)
        if (open == handle)
            return open;
    return nullptr;
}

FtdiDriver::Status SerialPortDriver::createDeviceInfoList(quint32 *count)
{
    m_ports.clear();
    m_problem.clear();
    // The system's ports are read once (each QSerialPortInfo made from a name reads them all again: a gang of
    // 16 pseudo-terminals cost 33 walks of /sys/class/tty).
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    const auto infoOf = [&system](const QString &given) {
        for (const QSerialPortInfo &info : system)
            if (info.portName() == given || info.systemLocation() == given)
                return info;
        return QSerialPortInfo();
    };
    auto add = [this](const QSerialPortInfo &info, const QString &given) {
        Port port;
        port.location = info.isNull() ? locationOf(given) : info.systemLocation();
        port.name = info.isNull() ? nameOf(port.location) : info.portName();
        for (const Port &p : qAsConst(m_ports))
            if (p.location == port.location)
                return;
        port.description = info.description().toLatin1();
        if (port.description.isEmpty())
            port.description = "Serial port";
        port.serialNumber = info.serialNumber().toLatin1();
        if (info.hasVendorIdentifier())
            port.usbId = quint32(info.vendorIdentifier()) << 16 | info.productIdentifier();
        if (port.serialNumber.isEmpty() || port.serialNumber.size() > kSerialField)
            port.serialNumber = (given.size() <= kSerialField && !given.isEmpty() ? given : port.name).toLatin1();
        m_ports << port;
    };
    // Only adapters the system knows as USB devices: the motherboard's ttyS ports are listed whether or not they
    // exist, and none of them carries an RS-485 bus unless the user names it.
    for (const QSerialPortInfo &info : system)
        if (info.hasVendorIdentifier())
            add(info, QString());
    for (const QString &extra : m_extraPorts)
        add(infoOf(extra), extra);

    // A port the user may not open is still listed: choosing it names the reason (permission, dialout).
    if (m_ports.isEmpty())
        m_problem = QStringLiteral("no serial ports found");
    *count = quint32(m_ports.size());
    return FT_OK;
}

FtdiDriver::Status SerialPortDriver::getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id,
                                                         quint32 *locId, char *serialNumber, char *description,
                                                         Handle *handle)
{
    if (index >= quint32(m_ports.size()))
        return FT_DEVICE_NOT_FOUND;
    const Port &p = m_ports.at(int(index));
    *flags = 0;
    *type = 0;
    *id = p.usbId;
    *locId = index;
    qstrncpy(serialNumber, p.serialNumber.left(kSerialField).constData(), kSerialField + 1);
    qstrncpy(description, p.description.left(63).constData(), 64);
    *handle = nullptr;
    return FT_OK;
}

QByteArray SerialPortDriver::alternativeSerial(quint32 index) const
{
    if (index >= quint32(m_ports.size()))
        return QByteArray();
    const Port &p = m_ports.at(int(index));
    return p.name.toLatin1() == p.serialNumber ? QByteArray() : p.name.toLatin1();
}

QStringList SerialPortDriver::otherNames(quint32 index) const
{
    if (index >= quint32(m_ports.size()))
        return QStringList();
    const Port &p = m_ports.at(int(index));
    QStringList names{p.location};
    if (p.name != p.location)
        names << p.name;
    return names;
}

QByteArray SerialPortDriver::directName(quint32 index) const
{
    // A path opens the port without asking the system's device list (udev) again.
    return index < quint32(m_ports.size()) ? m_ports.at(int(index)).location.toLocal8Bit() : QByteArray();
}

FtdiDriver::Status SerialPortDriver::openBySerialNumber(const char *serialNumber, Handle *handle)
{
    *handle = nullptr;
    m_problem.clear();
    const QString wanted = QString::fromLatin1(serialNumber);
    QString location;
    for (const Port &p : qAsConst(m_ports))
        if (p.serialNumber == serialNumber || p.name == wanted || p.location == wanted)
            location = p.location;
    if (location.isEmpty()) {
        // A port name works wherever a serial number does, listed or not.
        location = locationOf(wanted);
        if (!QFileInfo::exists(location)) {
            m_problem = QStringLiteral("%1: no such serial port").arg(wanted);
            return FT_DEVICE_NOT_FOUND;
        }
    }
    auto *open = new Open;
    open->name = nameOf(location);
    open->port.setPortName(location);
    if (!open->port.open(QIODevice::ReadWrite)) {
        m_problem = open->port.error() == QSerialPort::PermissionError
                            ? permissionText(location)
                            : QStringLiteral("%1: %2").arg(location, open->port.errorString());
        delete open;
        return FT_DEVICE_NOT_OPENED;
    }
    m_open << open;
    *handle = open;
    return FT_OK;
}

FtdiDriver::Status SerialPortDriver::resetDevice(Handle handle)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    return status(open->port.clear());
}

FtdiDriver::Status SerialPortDriver::setBaudRate(Handle handle, quint32 baud)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    const bool ok = open->port.setBaudRate(qint32(baud));
    open->port.clearError();
    return status(ok);
}

FtdiDriver::Status SerialPortDriver::setDataCharacteristics(Handle handle, quint8 wordLength, quint8 stopBits,
                                                            quint8 parity)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    static const QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                   QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                   QSerialPort::SpaceParity};
    if ((wordLength != 7 && wordLength != 8) || parity > 4)
        return FT_INVALID_PARAMETER;
    bool ok = open->port.setDataBits(wordLength == 7 ? QSerialPort::Data7 : QSerialPort::Data8);
    ok = open->port.setStopBits(stopBits == kStopBits2 ? QSerialPort::TwoStop : QSerialPort::OneStop) && ok;
    ok = open->port.setParity(parities[parity]) && ok;
    open->port.clearError();
    return status(ok);
}

FtdiDriver::Status SerialPortDriver::setFlowControl(Handle handle, quint16 flowControl, quint8 xon, quint8 xoff)
{
    Q_UNUSED(xon)
    Q_UNUSED(xoff)
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    QSerialPort::FlowControl mode = QSerialPort::NoFlowControl;
    if (flowControl & (kFlowRtsCts | kFlowDtrDsr))
        mode = QSerialPort::HardwareControl;
    else if (flowControl & kFlowXonXoff)
        mode = QSerialPort::SoftwareControl;
    const bool ok = open->port.setFlowControl(mode);
    open->port.clearError();
    return status(ok);
}

QString latencyTimerFile(const QString &portName, const QString &sysRoot)
{
    const QString path = sysRoot + QStringLiteral("/class/tty/") + portName + QStringLiteral("/device/latency_timer");
    return QFileInfo::exists(path) ? path : QString();
}

// The ftdi_sio driver keeps the chip's latency timer in sysfs (writable by root or a udev rule). Without that
// file the low-latency flag is the one knob: ftdi_sio then sets the timer to 1 ms.
FtdiDriver::Status SerialPortDriver::setLatencyTimer(Handle handle, quint8 milliseconds)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    QFile file(latencyTimerFile(open->name));
    if (!file.fileName().isEmpty() && file.open(QIODevice::WriteOnly))
        return status(file.write(QByteArray::number(milliseconds) + '\n') > 0 && file.flush());
#ifdef Q_OS_LINUX
    serial_struct serial{};
    const int fd = int(open->port.handle());
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        if (milliseconds < kFtdiDefaultLatencyMs)
            serial.flags |= ASYNC_LOW_LATENCY;
        else
            serial.flags &= ~ASYNC_LOW_LATENCY;
        return status(::ioctl(fd, TIOCSSERIAL, &serial) == 0);
    }
#endif
    return FT_OTHER_ERROR;
}

FtdiDriver::Status SerialPortDriver::getLatencyTimer(Handle handle, quint8 *milliseconds)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    QFile file(latencyTimerFile(open->name));
    if (!file.fileName().isEmpty() && file.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const uint value = file.readAll().trimmed().toUInt(&ok);
        if (ok && value <= 255) {
            *milliseconds = quint8(value);
            return FT_OK;
        }
    }
#ifdef Q_OS_LINUX
    serial_struct serial{};
    if (::ioctl(int(open->port.handle()), TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY)) {
        *milliseconds = 1;
        return FT_OK;
    }
#endif
    // Nothing known: a pseudo-terminal has no timer, another adapter keeps its own.
    *milliseconds = 0;
    return FT_OTHER_ERROR;
}

FtdiDriver::Status SerialPortDriver::purge(Handle handle, quint32 mask)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    QSerialPort::Directions directions;
    if (mask & FT_PURGE_RX)
        directions |= QSerialPort::Input;
    if (mask & FT_PURGE_TX)
        directions |= QSerialPort::Output;
    return status(open->port.clear(directions));
}

FtdiDriver::Status SerialPortDriver::setTimeouts(Handle handle, quint32 readMs, quint32 writeMs)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    open->readMs = readMs;
    open->writeMs = writeMs;
    return FT_OK;
}

// RTS, DTR and break are modem-control calls a pseudo-terminal refuses; the refusal is reported, never kept as the
// port's error.
FtdiDriver::Status SerialPortDriver::setRts(Handle handle)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    const bool ok = open->port.setRequestToSend(true);
    open->port.clearError();
    return status(ok);
}

FtdiDriver::Status SerialPortDriver::clrRts(Handle handle)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    const bool ok = open->port.setRequestToSend(false);
    open->port.clearError();
    return status(ok);
}

FtdiDriver::Status SerialPortDriver::setBreakOn(Handle handle)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    const bool ok = open->port.setBreakEnabled(true);
    open->port.clearError();
    return status(ok);
}

FtdiDriver::Status SerialPortDriver::setBreakOff(Handle handle)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    const bool ok = open->port.setBreakEnabled(false);
    open->port.clearError();
    return status(ok);
}

FtdiDriver::Status SerialPortDriver::write(Handle handle, const void *buffer, quint32 length, quint32 *written)
{
    *written = 0;
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    if (open->port.write(static_cast<const char *>(buffer), qint64(length)) != qint64(length))
        return FT_IO_ERROR;
    QDeadlineTimer deadline(open->writeMs ? int(open->writeMs) : kUnlimitedWriteMs);
    while (open->port.bytesToWrite() > 0 && !deadline.hasExpired())
        if (!open->port.waitForBytesWritten(int(qMax<qint64>(deadline.remainingTime(), 1))))
            break;
    *written = length - quint32(qMin<qint64>(open->port.bytesToWrite(), length));
    open->port.clearError();
    return *written == length ? FT_OK : FT_IO_ERROR;
}

// Like FT_Read: returns when `length` bytes have arrived or the read limit has passed (a limit of 0: at once,
// with what is there). What the system holds for the port when the limit passes is taken too: a reader that was
// descheduled past its limit gets the bytes that arrived meanwhile, as FT_Read hands over the driver's buffer.
FtdiDriver::Status SerialPortDriver::read(Handle handle, void *buffer, quint32 length, quint32 *received)
{
    *received = 0;
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    char *out = static_cast<char *>(buffer);
    const QDeadlineTimer deadline(int(open->readMs));
    bool lastLook = false;
    for (;;) {
        const qint64 got = open->port.read(out + *received, qint64(length - *received));
        if (got < 0)
            return FT_IO_ERROR;
        *received += quint32(got);
        if (*received >= length || lastLook)
            break;
        // Qt fills the port's buffer only while it waits: at the limit, one wait of 0 ms fetches what is there.
        lastLook = deadline.hasExpired();
        if (!open->port.waitForReadyRead(lastLook ? 0 : int(qMax<qint64>(deadline.remainingTime(), 1)))) {
            const QSerialPort::SerialPortError error = open->port.error();
            open->port.clearError();
            if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError)
                return FT_IO_ERROR; // unplugged
        }
    }
    return FT_OK;
}

FtdiDriver::Status SerialPortDriver::close(Handle handle)
{
    Open *open = find(handle);
    if (!open)
        return FT_INVALID_HANDLE;
    m_open.removeOne(open);
    open->port.close();
    delete open;
    return FT_OK;
}
