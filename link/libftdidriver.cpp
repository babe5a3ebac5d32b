// The D2XX calls the cable makes, carried out through libftdi; the read loops to its limit as FT_Read does.
#include "link/libftdidriver.h"

#include <QDeadlineTimer>
#include <algorithm>

namespace {
FtdiDriver::Status status(int result)
{
    return result >= 0 ? FtdiDriver::Status(FT_OK) : FtdiDriver::Status(FT_IO_ERROR);
}

QByteArray usbAddress(const LibFtdiApi::Device &d)
{
    return QStringLiteral("usb-%1-%2").arg(d.bus, 3, 10, QLatin1Char('0')).arg(d.address, 3, 10, QLatin1Char('0')).toLatin1();
}

// "usb-BBB-AAA" -> bus and device number.
bool parseUsbAddress(const QByteArray &name, quint8 *bus, quint8 *address)
{
    const QList<QByteArray> parts = name.split('-');
    if (parts.size() != 3 || parts.at(0) != "usb" || parts.at(1).size() != 3 || parts.at(2).size() != 3)
        return false;
    bool busOk = false, addressOk = false;
    const uint b = parts.at(1).toUInt(&busOk), a = parts.at(2).toUInt(&addressOk);
    if (!busOk || !addressOk || b > 255 || a > 255)
        return false;
    *bus = quint8(b);
    *address = quint8(a);
    return true;
}
} // namespace

struct LibFtdiDriver::Open
{
    void *context = nullptr;
    quint32 readMs = 80;
    // The line properties are sent again with every break, so they are kept.
    int bits = 8, stopBits = 0, parity = 0;
};

LibFtdiDriver::LibFtdiDriver(std::unique_ptr<LibFtdiApi> api)
    : m_api(std::move(api))
{
}

LibFtdiDriver::~LibFtdiDriver()
{
    for (Open *open : qAsConst(m_open)) {
        m_api->close(open->context);
        delete open;
    }
}

LibFtdiDriver::Open *LibFtdiDriver::find(Handle handle) const
{
    for (Open *open : m_open)
        if (open == handle)
            return open;
    return nullptr;
}

FtdiDriver::Status LibFtdiDriver::createDeviceInfoList(quint32 *count)
{
    m_devices.clear();
    m_problem.clear();
    QString error;
    if (!m_api->list(&m_devices, &error))
        m_problem = QStringLiteral("libftdi: ") + error;
    else if (m_devices.isEmpty())
        m_problem = QStringLiteral("libftdi: no FTDI device on the USB buses");
    *count = quint32(m_devices.size());
    return FT_OK;
}

FtdiDriver::Status LibFtdiDriver::getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id,
                                                      quint32 *locId, char *serialNumber, char *description,
                                                      Handle *handle)
{
    if (index >= quint32(m_devices.size()))
        return FT_DEVICE_NOT_FOUND;
    const LibFtdiApi::Device &d = m_devices.at(int(index));
    *flags = 0;
    *type = 0;
    *id = 0;
    *locId = quint32(d.bus) << 8 | d.address;
    qstrncpy(serialNumber, d.serialNumber.left(15).constData(), 16);
    qstrncpy(description, d.description.left(63).constData(), 64);
    *handle = nullptr;
    return FT_OK;
}

QByteArray LibFtdiDriver::alternativeSerial(quint32 index) const
{
    return index < quint32(m_devices.size()) ? usbAddress(m_devices.at(int(index))) : QByteArray();
}

FtdiDriver::Status LibFtdiDriver::openBySerialNumber(const char *serialNumber, Handle *handle)
{
    *handle = nullptr;
    m_problem.clear();
    QList<LibFtdiApi::Device> candidates = m_devices;
    LibFtdiApi::Device addressed;
    if (parseUsbAddress(QByteArray(serialNumber), &addressed.bus, &addressed.address)
        && std::none_of(candidates.cbegin(), candidates.cend(),
                        [&](const LibFtdiApi::Device &d) { return usbAddress(d) == serialNumber; }))
        candidates << addressed;
    for (const LibFtdiApi::Device &d : qAsConst(candidates)) {
        if (d.serialNumber != serialNumber && usbAddress(d) != serialNumber)
            continue;
        QString error;
        void *context = m_api->open(d.bus, d.address, &error);
        if (!context) {
            m_problem = QStringLiteral("libftdi: %1: %2").arg(QString::fromLatin1(serialNumber), error);
            return FT_DEVICE_NOT_OPENED;
        }
        auto *open = new Open;
        open->context = context;
        m_open << open;
        *handle = open;
        return FT_OK;
    }
    m_problem = QStringLiteral("libftdi: no device with serial number %1").arg(QString::fromLatin1(serialNumber));
    return FT_DEVICE_NOT_FOUND;
}

// The open device behind `handle`, or FT_INVALID_HANDLE.
#define ZR_LIBFTDI_OPEN(open)                                                                                          \
    Open *open = find(handle);                                                                                         \
    if (!open)                                                                                                         \
        return FT_INVALID_HANDLE

FtdiDriver::Status LibFtdiDriver::resetDevice(Handle handle)
{
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->reset(open->context));
}

FtdiDriver::Status LibFtdiDriver::setBaudRate(Handle handle, quint32 baud)
{
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->setBaudRate(open->context, int(baud)));
}

FtdiDriver::Status LibFtdiDriver::lineProperty(Open *open, bool breakOn)
{
    return status(m_api->setLineProperty(open->context, open->bits, open->stopBits, open->parity, breakOn));
}

FtdiDriver::Status LibFtdiDriver::setDataCharacteristics(Handle handle, quint8 wordLength, quint8 stopBits,
                                                         quint8 parity)
{
    ZR_LIBFTDI_OPEN(open);
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 4)
        return FT_INVALID_PARAMETER;
    // D2XX and libftdi number bits, stop bits (0 = one, 2 = two) and parity (0-4) alike.
    open->bits = wordLength;
    open->stopBits = stopBits;
    open->parity = parity;
    return lineProperty(open, false);
}

FtdiDriver::Status LibFtdiDriver::setFlowControl(Handle handle, quint16 flowControl, quint8 xon, quint8 xoff)
{
    Q_UNUSED(xon)
    Q_UNUSED(xoff)
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->setFlowControl(open->context, flowControl));
}

FtdiDriver::Status LibFtdiDriver::setLatencyTimer(Handle handle, quint8 milliseconds)
{
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->setLatencyTimer(open->context, milliseconds));
}

FtdiDriver::Status LibFtdiDriver::getLatencyTimer(Handle handle, quint8 *milliseconds)
{
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->getLatencyTimer(open->context, milliseconds));
}

FtdiDriver::Status LibFtdiDriver::purge(Handle handle, quint32 mask)
{
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->purge(open->context, mask & FT_PURGE_RX, mask & FT_PURGE_TX));
}

FtdiDriver::Status LibFtdiDriver::setTimeouts(Handle handle, quint32 readMs, quint32 writeMs)
{
    Q_UNUSED(writeMs) // libftdi's own USB write timeout applies
    ZR_LIBFTDI_OPEN(open);
    open->readMs = readMs;
    return FT_OK;
}

FtdiDriver::Status LibFtdiDriver::setRts(Handle handle)
{
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->setRts(open->context, true));
}

FtdiDriver::Status LibFtdiDriver::clrRts(Handle handle)
{
    ZR_LIBFTDI_OPEN(open);
    return status(m_api->setRts(open->context, false));
}

// libftdi has no break call of its own: the break is a line property, sent together with 8N2 again.
FtdiDriver::Status LibFtdiDriver::setBreakOn(Handle handle)
{
    ZR_LIBFTDI_OPEN(open);
    return lineProperty(open, true);
}

FtdiDriver::Status LibFtdiDriver::setBreakOff(Handle handle)
{
    ZR_LIBFTDI_OPEN(open);
    return lineProperty(open, false);
}

FtdiDriver::Status LibFtdiDriver::write(Handle handle, const void *buffer, quint32 length, quint32 *written)
{
    *written = 0;
    ZR_LIBFTDI_OPEN(open);
    const int result = m_api->write(open->context, static_cast<const quint8 *>(buffer), int(length));
    if (result < 0)
        return FT_IO_ERROR;
    *written = quint32(result);
    return *written == length ? FT_OK : FT_IO_ERROR;
}

// libftdi's read returns at once with what has come in; FT_Read waits for `length` bytes or its limit, so this loops
// to the deadline, and calls once more when the deadline has passed (a limit of 0: one call): a reader descheduled
// past its limit still gets what arrived meanwhile.
FtdiDriver::Status LibFtdiDriver::read(Handle handle, void *buffer, quint32 length, quint32 *received)
{
    *received = 0;
    ZR_LIBFTDI_OPEN(open);
    auto *out = static_cast<quint8 *>(buffer);
    const QDeadlineTimer deadline(int(open->readMs));
    bool lastCall = false;
    while (*received < length && !lastCall) {
        lastCall = deadline.hasExpired();
        const int got = m_api->read(open->context, out + *received, int(length - *received));
        if (got < 0)
            return FT_IO_ERROR;
        *received += quint32(got);
    }
    return FT_OK;
}

FtdiDriver::Status LibFtdiDriver::close(Handle handle)
{
    ZR_LIBFTDI_OPEN(open);
    m_open.removeOne(open);
    m_api->close(open->context);
    delete open;
    return FT_OK;
}
