// The simulated cable: records the D2XX calls, carries frames to the virtual devices and their replies back in time.
#include "sim/simulatedbus.h"

#include <QHash>
#include <QThread>
#include <algorithm>

#include "core/logcategories.h"
#include "link/codec.h"

namespace {
// What the library reports for a cable (an FT232R-based USB-RS485 cable).
constexpr quint32 kFtDevice232R = 5;
constexpr quint32 kVidPid = 0x04036001;

FtdiDriver::Handle handleOf(int index)
{
    return reinterpret_cast<FtdiDriver::Handle>(quintptr(0x5100 + index));
}
} // namespace

SimulatedBus::SimulatedBus(Clock clock)
    : m_clock(clock)
    , m_cables({{QByteArray("USB-RS485 Cable (simulated bus)"), QByteArray("ZRSIM001")}})
{
    m_realTimer.start();
}

SimulatedBus::~SimulatedBus() = default;

SimDevice *SimulatedBus::addDevice(const SimDeviceConfig &config)
{
    const SimFamily *family = simFamily(config.family);
    if (!family)
        return nullptr;
    m_devices.push_back(std::make_unique<SimDevice>(config, family, this));
    return m_devices.back().get();
}

QList<SimDevice *> SimulatedBus::devices() const
{
    QList<SimDevice *> list;
    for (const auto &d : m_devices)
        list << d.get();
    return list;
}

void SimulatedBus::setCables(const QList<QPair<QByteArray, QByteArray>> &descriptionAndSerial)
{
    m_cables = descriptionAndSerial;
}

qint64 SimulatedBus::elapsedUs() const
{
    return m_clock == Clock::Virtual ? m_virtualUs : m_realTimer.nsecsElapsed() / 1000;
}

QList<QByteArray> SimulatedBus::requests() const
{
    return m_requests;
}

QList<QByteArray> SimulatedBus::dmxPackets() const
{
    return m_dmxPackets;
}

QStringList SimulatedBus::calls() const
{
    return m_calls;
}

void SimulatedBus::clearLog()
{
    m_requests.clear();
    m_dmxPackets.clear();
    m_calls.clear();
}

void SimulatedBus::dropReplies(int count)
{
    m_dropReplies = count;
}

void SimulatedBus::corruptReplies(int count)
{
    m_corruptReplies = count;
}

void SimulatedBus::loseRequests(int count)
{
    m_lostRequests = count;
}

void SimulatedBus::setPeriodicFault(Fault fault, int every)
{
    m_fault = every > 0 ? fault : Fault::None;
    m_faultEvery = every;
    m_repliesSinceFault = 0;
}

bool SimulatedBus::faultByName(const QString &name, Fault *fault)
{
    static const QHash<QString, Fault> names = {{QStringLiteral("drop"), Fault::Drop},
                                                 {QStringLiteral("corrupt"), Fault::Corrupt},
                                                 {QStringLiteral("late"), Fault::Late},
                                                 {QStringLiteral("noise"), Fault::Noise}};
    if (!names.contains(name))
        return false;
    *fault = names.value(name);
    return true;
}

void SimulatedBus::setZeroWrapped(bool on)
{
    m_zeroWrapped = on;
}

void SimulatedBus::setOpenFails(bool fails)
{
    m_openFails = fails;
}

void SimulatedBus::injectBytes(const QByteArray &bytes)
{
    m_inject.clear();
    if (!bytes.isEmpty())
        m_inject.append({bytes, kSimTurnaroundUs});
}

void SimulatedBus::injectBytesAt(const QByteArray &bytes, qint64 startUs)
{
    m_inject.append({bytes, startUs});
}

void SimulatedBus::stallAfterRead(int n, qint64 us)
{
    m_stallAfterReads = n;
    m_stallUs = us;
}

qint64 SimulatedBus::nextArrivalUs() const
{
    qint64 next = -1;
    for (const Incoming &in : m_incoming) {
        const qint64 at = in.startUs + qint64(in.consumed + 1) * kSimByteUs;
        if (in.consumed < in.bytes.size() && (next < 0 || at < next))
            next = at;
    }
    return next;
}

qint64 SimulatedBus::replyEndUs() const
{
    const qint64 next = nextArrivalUs();
    for (const Incoming &in : m_incoming)
        if (in.consumed < in.bytes.size() && in.startUs + qint64(in.consumed + 1) * kSimByteUs == next)
            return in.startUs + qint64(in.bytes.size()) * kSimByteUs;
    return -1;
}

bool SimulatedBus::valid(Handle handle) const
{
    return m_openCable >= 0 && handle == handleOf(m_openCable);
}

FtdiDriver::Status SimulatedBus::call(Handle handle, const QString &name)
{
    if (m_callLog)
        m_calls << name;
    return valid(handle) ? Status(FT_OK) : Status(FT_INVALID_HANDLE);
}

void SimulatedBus::advanceTo(qint64 us)
{
    if (m_clock == Clock::Virtual) {
        m_virtualUs = qMax(m_virtualUs, us);
        return;
    }
    const qint64 wait = us - elapsedUs();
    if (wait > 0)
        QThread::usleep(quint64(wait));
}

// Replies that overlap on the line garble each other (both drivers active at once).
void SimulatedBus::addIncoming(qint64 startUs, const QByteArray &bytes)
{
    for (Incoming &in : m_incoming) {
        const qint64 end = in.startUs + qint64(in.bytes.size()) * kSimByteUs;
        const qint64 newEnd = startUs + qint64(bytes.size()) * kSimByteUs;
        if (startUs >= end || newEnd <= in.startUs)
            continue;
        const qint64 begin = qMin(in.startUs, startUs);
        const int size = int((qMax(end, newEnd) - begin) / kSimByteUs);
        QByteArray merged(size, char(0xFF));
        auto overlay = [&](qint64 s, const QByteArray &b) {
            const int at = int((s - begin) / kSimByteUs);
            for (int i = 0; i < b.size() && at + i < size; ++i)
                merged[at + i] = char(quint8(merged.at(at + i)) & quint8(b.at(i)));
        };
        overlay(in.startUs, in.bytes);
        overlay(startUs, bytes);
        // A reply already being read started first, so its byte positions (and `consumed`) stay the same.
        in.startUs = begin;
        in.bytes = merged;
        return;
    }
    m_incoming.append({startUs, bytes, 0});
}

void SimulatedBus::takeDmxPacket(const QByteArray &packet)
{
    const qint64 now = elapsedUs();
    m_dmxPackets << packet;
    if (m_clock == Clock::Real && m_dmxPackets.size() > kSimKeptDmxPackets)
        m_dmxPackets.removeFirst();
    ++m_dmxPacketCount;
    for (const auto &device : m_devices)
        device->receiveDmx(packet, now);
    // Something to see that the console sends: the count, at the first packet and then about once a second.
    if (m_dmxPacketCount > 1 && now - m_dmxReportedUs < kSimDmxReportUs)
        return;
    QString line = QStringLiteral("DMX packets received: %1 (%2 bytes each)").arg(m_dmxPacketCount).arg(packet.size());
    if (m_dmxPacketCount > 1)
        line += QStringLiteral(", %1 a second")
                        .arg(double(m_dmxPacketCount - m_dmxReportedCount) * 1e6 / double(now - m_dmxReportedUs), 0,
                             'f', 1);
    qCDebug(zrSim).noquote() << line;
    m_dmxReportedUs = now;
    m_dmxReportedCount = m_dmxPacketCount;
}

FtdiDriver::Status SimulatedBus::createDeviceInfoList(quint32 *count)
{
    m_calls << QStringLiteral("FT_CreateDeviceInfoList");
    *count = quint32(m_cables.size());
    return FT_OK;
}

FtdiDriver::Status SimulatedBus::getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id,
                                                     quint32 *locId, char *serialNumber, char *description,
                                                     Handle *handle)
{
    m_calls << QStringLiteral("FT_GetDeviceInfoDetail(%1)").arg(index);
    if (index >= quint32(m_cables.size()))
        return FT_DEVICE_NOT_FOUND;
    const auto &cable = m_cables.at(int(index));
    const bool open = m_openCable == int(index);
    *flags = open ? 1 : 0; // FT_FLAGS_OPENED
    *type = kFtDevice232R;
    *id = kVidPid;
    *locId = 0x100 + index;
    qstrncpy(serialNumber, cable.second.left(15).constData(), 16);
    qstrncpy(description, cable.first.left(63).constData(), 64);
    *handle = open ? handleOf(int(index)) : nullptr;
    return FT_OK;
}

FtdiDriver::Status SimulatedBus::openBySerialNumber(const char *serialNumber, Handle *handle)
{
    m_calls << QStringLiteral("FT_OpenEx(%1)").arg(QString::fromLatin1(serialNumber));
    *handle = nullptr;
    if (m_openFails || m_openCable >= 0)
        return FT_DEVICE_NOT_OPENED;
    for (int i = 0; i < m_cables.size(); ++i) {
        if (m_cables.at(i).second == serialNumber) {
            m_openCable = i;
            *handle = handleOf(i);
            m_incoming.clear();
            return FT_OK;
        }
    }
    return FT_DEVICE_NOT_FOUND;
}

FtdiDriver::Status SimulatedBus::resetDevice(Handle handle)
{
    return call(handle, QStringLiteral("FT_ResetDevice"));
}

FtdiDriver::Status SimulatedBus::setBaudRate(Handle handle, quint32 baud)
{
    const Status s = call(handle, QStringLiteral("FT_SetBaudRate(%1)").arg(baud));
    if (s == FT_OK)
        m_baud = baud;
    return s;
}

FtdiDriver::Status SimulatedBus::setDataCharacteristics(Handle handle, quint8 wordLength, quint8 stopBits,
                                                        quint8 parity)
{
    const Status s = call(handle, QStringLiteral("FT_SetDataCharacteristics(%1,%2,%3)")
                                          .arg(wordLength)
                                          .arg(stopBits)
                                          .arg(parity));
    if (s == FT_OK) {
        m_wordLength = wordLength;
        m_stopBits = stopBits;
        m_parity = parity;
    }
    return s;
}

FtdiDriver::Status SimulatedBus::setFlowControl(Handle handle, quint16 flowControl, quint8 xon, quint8 xoff)
{
    return call(handle, QStringLiteral("FT_SetFlowControl(%1,%2,%3)").arg(flowControl).arg(xon).arg(xoff));
}

FtdiDriver::Status SimulatedBus::setLatencyTimer(Handle handle, quint8 milliseconds)
{
    const Status s = call(handle, QStringLiteral("FT_SetLatencyTimer(%1)").arg(milliseconds));
    if (s == FT_OK)
        m_latency = milliseconds;
    return s;
}

FtdiDriver::Status SimulatedBus::getLatencyTimer(Handle handle, quint8 *milliseconds)
{
    const Status s = call(handle, QStringLiteral("FT_GetLatencyTimer"));
    if (s == FT_OK)
        *milliseconds = m_latency;
    return s;
}

FtdiDriver::Status SimulatedBus::purge(Handle handle, quint32 mask)
{
    const Status s = call(handle, QStringLiteral("FT_Purge(%1)").arg(mask));
    if (s != FT_OK || !(mask & FT_PURGE_RX))
        return s;
    // Bytes already received are dropped; a late reply still on the line arrives afterwards.
    const qint64 now = elapsedUs();
    for (Incoming &in : m_incoming)
        in.consumed = int(qBound<qint64>(in.consumed, (now - in.startUs) / kSimByteUs, in.bytes.size()));
    m_incoming.erase(std::remove_if(m_incoming.begin(), m_incoming.end(),
                                    [](const Incoming &in) { return in.consumed >= in.bytes.size(); }),
                     m_incoming.end());
    return s;
}

FtdiDriver::Status SimulatedBus::setTimeouts(Handle handle, quint32 readMs, quint32 writeMs)
{
    const Status s = call(handle, QStringLiteral("FT_SetTimeouts(%1,%2)").arg(readMs).arg(writeMs));
    if (s == FT_OK)
        m_readMs = readMs;
    return s;
}

FtdiDriver::Status SimulatedBus::setRts(Handle handle)
{
    return call(handle, QStringLiteral("FT_SetRts"));
}

FtdiDriver::Status SimulatedBus::clrRts(Handle handle)
{
    return call(handle, QStringLiteral("FT_ClrRts"));
}

FtdiDriver::Status SimulatedBus::setBreakOn(Handle handle)
{
    const Status s = call(handle, QStringLiteral("FT_SetBreakOn"));
    if (s == FT_OK)
        m_breakOn = true;
    return s;
}

FtdiDriver::Status SimulatedBus::setBreakOff(Handle handle)
{
    const Status s = call(handle, QStringLiteral("FT_SetBreakOff"));
    if (s == FT_OK && m_breakOn) {
        m_breakOn = false;
        m_breakSent = true;
    }
    return s;
}

FtdiDriver::Status SimulatedBus::write(Handle handle, const void *buffer, quint32 length, quint32 *written)
{
    *written = 0;
    const Status s = call(handle, QStringLiteral("FT_Write(%1)").arg(length));
    if (s != FT_OK)
        return s;
    const QByteArray bytes(static_cast<const char *>(buffer), int(length));
    *written = length;
    if (m_breakSent) {
        m_breakSent = false;
        takeDmxPacket(bytes);
        return FT_OK;
    }
    m_requests << bytes;
    if (onRequest)
        onRequest(bytes);
    if (m_baud != 250000 || m_wordLength != 8 || m_stopBits != 2 || m_parity != 0)
        return FT_OK; // the devices hear noise

    const qint64 start = elapsedUs();
    const qint64 end = start + qint64(length) * kSimByteUs;
    m_busyUs += end - start;
    for (const auto &inject : qAsConst(m_inject))
        addIncoming(end + inject.second, inject.first);
    m_inject.clear();
    if (m_lostRequests > 0) {
        --m_lostRequests;
        return FT_OK;
    }
    for (const auto &device : m_devices) {
        QByteArray reply;
        qint64 processingUs = 0;
        if (!device->receive(bytes, start, end, &reply, &processingUs))
            continue;
        if (m_dropReplies > 0) {
            --m_dropReplies;
            continue;
        }
        if (m_corruptReplies > 0) {
            --m_corruptReplies;
            reply[reply.size() - 1] = char(reply.at(reply.size() - 1) ^ 0xFF);
        }
        qint64 lateUs = 0;
        if (m_fault != Fault::None && ++m_repliesSinceFault >= m_faultEvery) {
            m_repliesSinceFault = 0;
            switch (m_fault) {
            case Fault::Drop:
                continue;
            case Fault::Corrupt:
                reply[reply.size() - 1] = char(reply.at(reply.size() - 1) ^ 0xFF);
                break;
            case Fault::Late: // the first byte comes when the window that waited for it has just closed
                lateUs = qint64(m_readMs) * 1000 + kSimByteUs;
                break;
            case Fault::Noise: // a short burst over the reply's first bytes (bits pulled low, as on the line)
                addIncoming(end + kSimTurnaroundUs + processingUs, QByteArray::fromHex("5a00a5"));
                break;
            case Fault::None:
                break;
            }
        }
        if (m_zeroWrapped)
            reply = QByteArray(1, '\0') + reply + QByteArray(1, '\0');
        m_busyUs += kSimTurnaroundUs + processingUs + qint64(reply.size()) * kSimByteUs;
        addIncoming(qMax(end + kSimTurnaroundUs + processingUs, end + lateUs), reply);
    }
    return FT_OK;
}

FtdiDriver::Status SimulatedBus::read(Handle handle, void *buffer, quint32 length, quint32 *received)
{
    *received = 0;
    const Status s = call(handle, QStringLiteral("FT_Read(%1)").arg(length));
    if (s != FT_OK)
        return s;
    std::sort(m_incoming.begin(), m_incoming.end(),
              [](const Incoming &a, const Incoming &b) { return a.startUs < b.startUs; });
    // The read ends at its limit, or earlier when `length` bytes have arrived.
    qint64 endUs = elapsedUs() + qint64(m_readMs) * 1000;
    quint32 available = 0;
    for (const Incoming &in : m_incoming) {
        for (int i = in.consumed; i < in.bytes.size(); ++i) {
            const qint64 arrival = in.startUs + qint64(i + 1) * kSimByteUs;
            if (arrival > endUs)
                break;
            if (++available == length) {
                endUs = arrival;
                break;
            }
        }
        if (available == length)
            break;
    }
    advanceTo(endUs);

    char *out = static_cast<char *>(buffer);
    for (Incoming &in : m_incoming) {
        while (*received < length && in.consumed < in.bytes.size()
               && in.startUs + qint64(in.consumed + 1) * kSimByteUs <= endUs)
            out[(*received)++] = in.bytes.at(in.consumed++);
    }
    m_incoming.erase(std::remove_if(m_incoming.begin(), m_incoming.end(),
                                    [](const Incoming &in) { return in.consumed >= in.bytes.size(); }),
                     m_incoming.end());
    if (m_stallAfterReads > 0 && --m_stallAfterReads == 0)
        advanceTo(elapsedUs() + m_stallUs);
    return FT_OK;
}

FtdiDriver::Status SimulatedBus::close(Handle handle)
{
    const Status s = call(handle, QStringLiteral("FT_Close"));
    if (s == FT_OK) {
        m_openCable = -1;
        m_incoming.clear();
    }
    return s;
}

SimDeviceConfig demoDeviceConfig()
{
    SimDeviceConfig device;
    device.modelCode = "Zr501";
    device.bootVersion = "BL 1.07";
    device.deviceId = 0x0379C02A; // RDM 3, year 26, week 14, serial 42
    device.family = QStringLiteral("STM32F100C8");
    device.silentConnects = 5;
    device.technician = true;
    return device;
}

std::unique_ptr<SimulatedBus> makeDemoBus()
{
    auto bus = std::make_unique<SimulatedBus>(SimulatedBus::Clock::Real);
    bus->addDevice(demoDeviceConfig());
    return bus;
}
