// The RS-485 cable: choosing and opening an FTDI cable, frame transactions with CRC check, DMX break-and-write.
#include "link/rs485cable.h"

#include <QDebug>
#include <QStringList>

#include "app/prompts.h"
#include "link/codec.h"

namespace {
// FT_Read asks for this many bytes; it returns earlier only when the read limit passes.
constexpr quint32 kReadBufferSize = 2560;
// Limits set on open, before any transaction sets its own.
constexpr quint32 kDefaultReadMs = 80;
constexpr quint32 kDefaultWriteMs = 80;
constexpr quint8 kLatencyMs = 2;

// One attached FTDI device, as the library reported it while the user chooses.
struct DeviceRecord
{
    quint32 flags = 0, type = 0, id = 0, locId = 0;
    QByteArray serialNumber;
    QByteArray description;
};

QString hex(quint32 value)
{
    return QString::number(value, 16);
}
} // namespace

RS485Cable::RS485Cable(QObject *owner, quint32 baud, quint8 dataBits, quint8 stopBits, quint8 parity,
                       FtdiDriver *driver, Prompts *prompts)
    : QObject(nullptr)
    , m_driver(driver)
    , m_prompts(prompts)
{
    Q_UNUSED(owner)
    Q_UNUSED(baud)
    Q_UNUSED(dataBits)
    Q_UNUSED(stopBits)
    Q_UNUSED(parity)
}

RS485Cable::~RS485Cable()
{
    if (m_handle && m_driver->close(m_handle) == FT_OK)
        qDebug() << "FT_Closed";
}

bool RS485Cable::ensureOpen()
{
    if (m_handle)
        return true;
    if (open(250000, 8, 2, 0) == 0)
        return true;
    m_prompts->critical(QStringLiteral("Cable Error"), QStringLiteral("Connect USB Cable!"), Prompts::Ok,
                        Prompts::NoButton, Prompts::Parent::None);
    if (m_openFailedHook)
        m_openFailedHook();
    return false;
}

int RS485Cable::open(quint32 baud, quint8 dataBits, quint8 stopBits, quint8 parity)
{
    m_handle = nullptr;
    qDebug() << "FT_CreateDeviceInfoList";
    quint32 count = 0;
    if (m_driver->createDeviceInfoList(&count) != FT_OK) {
        qDebug() << "Error";
        return -1;
    }
    qDebug().noquote() << QStringLiteral("Number of devices is %1").arg(count);
    if (count == 0)
        return -1;

    QList<DeviceRecord> records;
    for (quint32 i = 0; i < count; ++i) {
        DeviceRecord r;
        char serial[64] = {};
        char description[128] = {};
        FtdiDriver::Handle detailHandle = nullptr;
        if (m_driver->getDeviceInfoDetail(i, &r.flags, &r.type, &r.id, &r.locId, serial, description, &detailHandle)
            != FT_OK)
            continue;
        // The library promises 16 and 64 characters; never trust a missing terminator.
        r.serialNumber = QByteArray(serial, int(qstrnlen(serial, 16)));
        r.description = QByteArray(description, int(qstrnlen(description, 64)));
        records.append(r);
        qDebug().noquote() << QStringLiteral("\n\nDev %1:").arg(i);
        qDebug().noquote() << "Flags=0x" + hex(r.flags);
        qDebug().noquote() << "Type=0x" + hex(r.type);
        qDebug().noquote() << "ID=0x" + hex(r.id);
        qDebug().noquote() << "LocId=0x" + hex(r.locId);
        qDebug().noquote() << "SerialNumber=" + QString::fromLatin1(r.serialNumber);
        qDebug().noquote() << "Description=" + QString::fromLatin1(r.description);
        qDebug().noquote() << "ftHandle=0x" + QString::number(quintptr(detailHandle), 16);
    }

    QStringList choices;
    for (const DeviceRecord &r : records)
        choices << QString::fromLatin1(r.description) + QStringLiteral(" S/N: ") + QString::fromLatin1(r.serialNumber);
    if (choices.isEmpty())
        return -1;

    bool ok = false;
    const QString chosen = m_prompts->getItem(QStringLiteral("Select cable"),
                                              QStringLiteral("Availabe USB-RS FTDI Cables\n(not used by any application)"),
                                              choices, 0, false, &ok, Prompts::Parent::None);
    if (!ok)
        return -1;
    const int index = choices.indexOf(chosen);
    if (index < 0)
        return -1;

    FtdiDriver::Handle handle = nullptr;
    if (m_driver->openBySerialNumber(records.at(index).serialNumber.constData(), &handle) != FT_OK || !handle) {
        m_handle = nullptr;
        return -1;
    }
    m_handle = handle;
    qDebug().noquote() << QStringLiteral("ftHandle: 0x%1").arg(quintptr(handle), 8, 16, QLatin1Char('0'));

    // Results are ignored on purpose: a cable that fails here fails again on the first transaction.
    m_driver->resetDevice(m_handle);
    m_driver->setBaudRate(m_handle, baud);
    m_driver->setDataCharacteristics(m_handle, dataBits, stopBits, parity);
    m_driver->setFlowControl(m_handle, 0, 0, 0);
    m_driver->purge(m_handle, FT_PURGE_RX);
    m_driver->purge(m_handle, FT_PURGE_TX);
    m_driver->setTimeouts(m_handle, kDefaultReadMs, kDefaultWriteMs);
    m_driver->setRts(m_handle);
    m_driver->setLatencyTimer(m_handle, kLatencyMs);
    quint8 latency = 0;
    m_driver->getLatencyTimer(m_handle, &latency);
    qDebug() << "FT_GetLatencyTimer" << int(latency);
    return 0;
}

void RS485Cable::close()
{
    if (m_handle)
        m_driver->close(m_handle);
    m_handle = nullptr;
}

void RS485Cable::armReplyFraming()
{
    m_detectOnNextReply = true;
}

QByteArray RS485Cable::transact(const QByteArray &frame, bool *ok, int readMs, int writeMs)
{
    *ok = false;
    if (!ensureOpen())
        return {};
    const QByteArray request = withCrc(frame);

    m_driver->purge(m_handle, FT_PURGE_RX);
    m_driver->purge(m_handle, FT_PURGE_TX);
    m_driver->setTimeouts(m_handle, quint32(qMax(readMs, 0)), quint32(qMax(writeMs, 0)));
    m_driver->clrRts(m_handle);
    qDebug().noquote() << ">>>>>" << formatHexDump(request);

    quint32 written = 0;
    const FtdiDriver::Status writeStatus =
            m_driver->write(m_handle, request.constData(), quint32(request.size()), &written);
    // RTS goes back up whatever the write did, so the bus is never left driven.
    m_driver->setRts(m_handle);
    if (writeStatus != FT_OK)
        return {};

    QByteArray buffer(int(kReadBufferSize), '\0');
    quint32 received = 0;
    if (m_driver->read(m_handle, buffer.data(), kReadBufferSize, &received) != FT_OK || received < 2)
        return {};
    QByteArray reply = buffer.left(int(qMin(received, kReadBufferSize)));

    // Some interfaces wrap every reply in a leading and a trailing 0x00; the first reply after arming decides.
    if (m_detectOnNextReply) {
        m_detectOnNextReply = false;
        m_zeroWrapped = reply.size() > 5 && reply.at(0) == '\0' && reply.at(reply.size() - 1) == '\0'
                        && quint8(reply.at(5)) == quint8(HOST_ID & 0xFF);
    }
    if (m_zeroWrapped)
        reply = reply.mid(1, reply.size() - 2);
    if (reply.size() < 2)
        return reply;

    qDebug().noquote() << "<<<<<" << formatHexDump(reply);
    const quint16 rx = readU16(reply, reply.size() - 2);
    const quint16 computed = Crc16(reply.constData(), reply.size() - 2);
    qDebug().noquote() << "crc rx:" << hex(rx);
    qDebug().noquote() << "crc computed:" << hex(computed);
    *ok = rx == computed;
    return reply;
}

quint32 RS485Cable::sendDmxFrame(const quint8 *bytes, int length)
{
    if (!m_handle)
        return FT_INVALID_HANDLE;
    m_driver->clrRts(m_handle);
    m_driver->purge(m_handle, FT_PURGE_RX | FT_PURGE_TX);
    m_driver->setBreakOn(m_handle);
    m_driver->setBreakOff(m_handle);
    quint32 written = 0;
    return m_driver->write(m_handle, bytes, quint32(qMax(length, 0)), &written);
}
