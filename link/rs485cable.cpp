// The RS-485 cable: choosing and opening an FTDI cable, frame transactions with CRC check, DMX break-and-write.
#include "link/rs485cable.h"

#include <QStringList>

#include "core/logcategories.h"
#include "core/prompts.h"
#include "link/cableidentity.h"
#include "link/codec.h"

namespace {
// FT_Read asks for this many bytes; it returns earlier only when the read limit passes.
constexpr quint32 kReadBufferSize = 2560;
// Limits set on open, before any transaction sets its own.
constexpr quint32 kDefaultReadMs = 80;
constexpr quint32 kDefaultWriteMs = 80;
constexpr quint8 kLatencyMs = 2;
// 250000 baud, 8 data bits, 2 stop bits, no parity: 11 bit times a byte.
constexpr qint64 kByteUs = 44;

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
        qCDebug(zrLink) << "FT_Closed";
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

bool RS485Cable::chooseCable(QByteArray *openName, QByteArray *chosenSerial)
{
    const QList<CableIdentity> cables = listCables(*m_driver);
    QStringList choices;
    for (const CableIdentity &c : cables)
        choices << c.label();
    if (choices.isEmpty())
        return false;

    bool ok = false;
    const QString chosen = m_prompts->getItem(QStringLiteral("Select cable"),
                                              QStringLiteral("Availabe USB-RS FTDI Cables\n(not used by any application)"),
                                              choices, 0, false, &ok, Prompts::Parent::None);
    if (!ok)
        return false;
    const int index = choices.indexOf(chosen);
    if (index < 0)
        return false;

    *openName = *chosenSerial = cables.at(index).serial;
    return true;
}

int RS485Cable::open(quint32 baud, quint8 dataBits, quint8 stopBits, quint8 parity)
{
    m_handle = nullptr;
    QByteArray openName = m_identityName, serial = m_identitySerial;
    if (openName.isEmpty() && !chooseCable(&openName, &serial))
        return -1;
    FtdiDriver::Handle handle = nullptr;
    if (m_driver->openBySerialNumber(openName.constData(), &handle) != FT_OK || !handle) {
        m_handle = nullptr;
        return -1;
    }
    m_handle = handle;
    m_serialNumber = serial;
    qCDebug(zrLink).noquote() << QStringLiteral("ftHandle: 0x%1").arg(quintptr(handle), 8, 16, QLatin1Char('0'));

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
    const FtdiDriver::Status latencyStatus = m_driver->getLatencyTimer(m_handle, &latency);
    qCDebug(zrLink) << "FT_GetLatencyTimer" << int(latency);
    m_latencyMs = latencyStatus == FT_OK ? latency : 0;
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
    m_writeMs = qMax(writeMs, 0);
    m_driver->clrRts(m_handle);
    qCDebug(zrLink).noquote() << ">>>>>" << formatHexDump(request);

    quint32 written = 0;
    const FtdiDriver::Status writeStatus =
            m_driver->write(m_handle, request.constData(), quint32(request.size()), &written);
    // RTS goes back up whatever the write did, so the bus is never left driven.
    m_driver->setRts(m_handle);
    if (writeStatus != FT_OK)
        return {};

    // The read limit runs from the end of the write, as the library's read does.
    m_windowEndUs = m_driver->clockUs() + qint64(qMax(readMs, 0)) * 1000;
    QByteArray raw;
    const bool readOk = m_fastReplies ? readWindowFast(&raw) : readWindow(&raw);
    if (!readOk || raw.size() < 2)
        return {};

    // Some interfaces wrap every reply in a leading and a trailing 0x00; the first reply after arming decides.
    bool wrapped = false;
    const QByteArray reply = unwrapped(raw, &wrapped);
    m_zeroWrapped = wrapped;
    m_detectOnNextReply = false;
    if (reply.size() < 2)
        return reply;

    qCDebug(zrLink).noquote() << "<<<<<" << formatHexDump(reply);
    const quint16 rx = readU16(reply, reply.size() - 2);
    const quint16 computed = Crc16(reply.constData(), reply.size() - 2);
    qCDebug(zrLink).noquote() << "crc rx:" << hex(rx);
    qCDebug(zrLink).noquote() << "crc computed:" << hex(computed);
    *ok = rx == computed;
    return reply;
}

bool RS485Cable::readWindow(QByteArray *raw)
{
    QByteArray buffer(int(kReadBufferSize), '\0');
    quint32 received = 0;
    if (m_driver->read(m_handle, buffer.data(), kReadBufferSize, &received) != FT_OK)
        return false;
    *raw = buffer.left(int(qMin(received, kReadBufferSize)));
    return true;
}

QByteArray RS485Cable::unwrapped(const QByteArray &raw, bool *wrapped) const
{
    *wrapped = m_zeroWrapped;
    if (m_detectOnNextReply && raw.size() >= 2)
        *wrapped = raw.size() > 5 && raw.at(0) == '\0' && raw.at(raw.size() - 1) == '\0'
                   && quint8(raw.at(5)) == quint8(HOST_ID & 0xFF);
    return *wrapped ? raw.mid(1, raw.size() - 2) : raw;
}

bool RS485Cable::completeReply(const QByteArray &raw) const
{
    bool wrapped = false;
    const QByteArray reply = unwrapped(raw, &wrapped);
    return reply.size() >= kFrameHeaderSize && readU16(reply, 0) == reply.size() && checkReplyCrc(reply);
}

int RS485Cable::nextStepSize(const QByteArray &raw) const
{
    // While the framing is being detected both readings are open: plain, and wrapped in 0x00 ... 0x00.
    const bool plainOpen = m_detectOnNextReply || !m_zeroWrapped;
    const bool wrappedOpen = m_detectOnNextReply || m_zeroWrapped;
    int next = 0;
    auto consider = [&](int lengthAt) {
        // Until the length field is in, ask only for it; then for the whole reply it announces.
        const int target = raw.size() < lengthAt + 2 ? lengthAt + 2
                                                     : readU16(raw, lengthAt) + 2 * lengthAt;
        if (target > raw.size() && target <= int(kReadBufferSize) && (next == 0 || target < next))
            next = target;
    };
    if (plainOpen)
        consider(0);
    if (wrappedOpen && (raw.isEmpty() || raw.at(0) == '\0'))
        consider(1);
    return next;
}

int RS485Cable::quietMs() const
{
    return int((qint64(m_latencyMs) * 1000 + 2 * kByteUs + 999) / 1000);
}

quint32 RS485Cable::remainingMs() const
{
    const qint64 left = m_windowEndUs - m_driver->clockUs();
    return left > 0 ? quint32((left + 999) / 1000) : 0;
}

bool RS485Cable::readMore(QByteArray *raw, int count, qint64 limitMs, bool *complete)
{
    if (limitMs >= 0)
        m_driver->setTimeouts(m_handle, quint32(limitMs), quint32(m_writeMs));
    QByteArray buffer(count, '\0');
    quint32 received = 0;
    if (m_driver->read(m_handle, buffer.data(), quint32(count), &received) != FT_OK)
        return false;
    received = qMin(received, quint32(count));
    raw->append(buffer.constData(), int(received));
    *complete = int(received) == count;
    return true;
}

// Reads in steps: the length field, then the rest of the reply it announces, then the quiet check. Whenever the
// window turns out to be over, the last read takes, without waiting, everything the driver holds: a reader that a
// busy machine descheduled past the window's end must still see the reply that has arrived meanwhile, and judge
// it whole, exactly as the one read of the full window would.
bool RS485Cable::readWindowFast(QByteArray *raw)
{
    raw->clear();
    bool complete = false;
    auto takeTheRest = [&](quint32 limitMs) {
        return raw->size() >= int(kReadBufferSize)
               || readMore(raw, int(kReadBufferSize) - raw->size(), limitMs, &complete);
    };
    bool firstRead = true;
    for (;;) {
        const int next = nextStepSize(*raw);
        if (next == 0)
            break; // no complete reply can be made of these bytes
        const quint32 left = remainingMs();
        if (left == 0)
            return takeTheRest(0);
        // The first read runs on the limit the transaction set.
        if (!readMore(raw, next - raw->size(), firstRead ? -1 : qint64(left), &complete))
            return false;
        firstRead = false;
        if (!complete)
            return takeTheRest(0); // the read ran to its limit: the window is over
        if (!completeReply(*raw))
            continue;
        // A complete reply: is anything glued to it? Bytes that follow on the line reach us up to one latency
        // period later, in a USB packet of their own.
        const quint32 leftNow = remainingMs();
        const quint32 quiet = quint32(quietMs());
        if (leftNow <= quiet) // the check would outlast the window: the full window's read decides
            return takeTheRest(leftNow);
        if (!readMore(raw, 1, quiet, &complete))
            return false;
        if (!complete)
            return true; // quiet: the reply stands alone
        break; // something followed the reply: the whole window decides
    }
    return takeTheRest(remainingMs());
}

void RS485Cable::finishWindow()
{
    if (!m_fastReplies || !m_handle)
        return;
    // A read returns early only when its buffer fills; a few rounds cover any window.
    for (quint32 left = remainingMs(); left > 0; left = remainingMs()) {
        QByteArray dropped;
        bool complete = false;
        if (!readMore(&dropped, int(kReadBufferSize), left, &complete))
            return;
    }
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
