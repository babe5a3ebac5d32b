// The virtual bootloader: which frames it obeys, how its flash behaves, and what and when it answers.
#include "sim/simdevice.h"

#include "core/logcategories.h"
#include "link/codec.h"
#include "sim/simulatedbus.h"

namespace {
// name | flash size | bootloader area | page (0 = sectors) | erase µs per page (sectors: per KiB) | program µs per KiB
//      | RAM
// L051C8 programs word by word (about 3.2 ms a word), which is why its upgrade waits 1400 ms for a reply.
const SimFamily kFamilies[] = {
    {"STM32F100C8", 0x10000, 0x2000, 0x400, 20000, 25000, 0x2000},
    {"STM32F030F4", 0x8000, 0x1800, 0x400, 20000, 25000, 0x2000},
    {"STM32F100C6", 0x8000, 0x2000, 0x400, 20000, 25000, 0x2000},
    {"STM32L051C8", 0x10000, 0x2000, 0x80, 3200, 820000, 0x2000},
    {"STM32F103RC_64KB", 0x10000, 0x2000, 0x800, 20000, 10000, 0xC000},
    {"STM32F103RC", 0x40000, 0x2000, 0x800, 20000, 10000, 0xC000},
    {"STM32F405RG", 0x100000, 0x20000, 0, 8600, 5000, 0x20000},
    {"STM32F474RB", 0x20000, 0x4000, 0x800, 22000, 10000, 0x8000},
};

// Sector map of the sector family: 4 x 16 KiB, 64 KiB, then 128 KiB sectors.
quint32 sectorStart(int sector)
{
    if (sector < 4)
        return quint32(sector) * 0x4000;
    if (sector == 4)
        return 0x10000;
    return 0x20000 + quint32(sector - 5) * 0x20000;
}
quint32 sectorSize(int sector)
{
    return sector < 4 ? 0x4000 : sector == 4 ? 0x10000 : 0x20000;
}

// Largest block a read asks for; a longer answer would not fit the host's 2560-byte read.
constexpr quint32 kMaxReadBytes = 2048;
constexpr int kI2cSize = 0x800; // a 24C16-like EEPROM
// I2C EEPROM: 5 ms per 16-byte page written, about 25 µs per byte read at 400 kHz.
constexpr qint64 kI2cPageWriteUs = 5000;
constexpr qint64 kI2cReadUsPerByte = 25;
constexpr qint64 kCommandUs = 100; // decoding a frame and starting the answer
} // namespace

const SimFamily *simFamily(const QString &name)
{
    for (const SimFamily &f : kFamilies)
        if (name == QLatin1String(f.name))
            return &f;
    return nullptr;
}

SimDevice::SimDevice(const SimDeviceConfig &config, const SimFamily *family, SimulatedBus *bus)
    : m_config(config)
    , m_family(family)
    , m_bus(bus)
    , m_flash(int(family->flashSize), char(0xFF))
    , m_ram(int(family->ramSize), '\0')
    , m_i2c(kI2cSize, char(0xFF))
{
    QByteArray descriptor(64, '\0');
    descriptor.replace(0, qMin(32, config.modelCode.size()), config.modelCode.left(32));
    descriptor.replace(32, qMin(32, config.bootVersion.size()), config.bootVersion.left(32));
    setFlashAt(kSimDescriptorAddress, descriptor);
    m_silentConnectsLeft = config.silentConnects;
    m_state = config.silentConnects > 0 ? State::Off : State::Held;
}

QByteArray SimDevice::flash() const
{
    return m_flash;
}

QByteArray SimDevice::flashAt(quint32 address, int length) const
{
    return m_flash.mid(int(address - kSimFlashBase), length);
}

void SimDevice::setFlashAt(quint32 address, const QByteArray &bytes)
{
    const quint32 offset = address - kSimFlashBase;
    if (offset < quint32(m_flash.size()))
        m_flash.replace(int(offset), qMin(bytes.size(), m_flash.size() - int(offset)), bytes.left(m_flash.size() - int(offset)));
}

QByteArray SimDevice::ram() const
{
    return m_ram;
}

QByteArray SimDevice::i2c() const
{
    return m_i2c;
}

void SimDevice::setI2cAt(quint32 address, const QByteArray &bytes)
{
    if (address < quint32(m_i2c.size()))
        m_i2c.replace(int(address), qMin(bytes.size(), m_i2c.size() - int(address)), bytes.left(m_i2c.size() - int(address)));
}

void SimDevice::powerCycle()
{
    m_state = State::Window;
    m_windowEndUs = m_bus->elapsedUs() + qint64(m_config.bootWindowMs) * 1000;
    m_busyUntilUs = 0;
    m_muted = false;
    m_silentConnectsLeft = 0;
}

bool SimDevice::inBootloader() const
{
    return m_state == State::Held || (m_state == State::Window && m_bus->elapsedUs() < m_windowEndUs);
}

void SimDevice::corruptReadBack(quint32 blockAddress, int times)
{
    m_corruptReads[blockAddress] = times;
}

void SimDevice::setSilent(bool silent)
{
    m_silent = silent;
}

void SimDevice::updateState(qint64 nowUs)
{
    if (m_state == State::Window && nowUs >= m_windowEndUs)
        m_state = State::App;
}

// The technician's part: a Connect that begins while the application runs makes them switch the device off and on.
void SimDevice::watchConnectRun(bool isConnect, qint64 startUs)
{
    const bool runBegins = isConnect && !(m_lastFrameWasConnect && startUs - m_lastFrameUs < kSimConnectRunGapUs);
    m_lastFrameWasConnect = isConnect;
    m_lastFrameUs = startUs;
    if (!runBegins || !m_config.technician || m_state != State::App)
        return;
    m_state = State::Off;
    m_silentConnectsLeft = qMax(1, m_config.silentConnects);
    ++m_technicianCycles;
    qCDebug(zrSim).noquote() << QStringLiteral("%1 (%2) runs its application: power-cycled, back in %3 attempts")
                                        .arg(QString::fromLatin1(m_config.modelCode))
                                        .arg(m_config.deviceId, 8, 16, QLatin1Char('0'))
                                        .arg(m_silentConnectsLeft);
}

void SimDevice::receiveDmx(const QByteArray &packet, qint64 nowUs)
{
    updateState(nowUs);
    if (m_state == State::App && !packet.isEmpty() && packet.at(0) == '\0') // start code 0: dimmer data
        ++m_dmxPacketsTaken;
}

bool SimDevice::inFlash(quint32 address, quint32 length) const
{
    return address >= kSimFlashBase && length <= m_family->flashSize
           && address - kSimFlashBase <= m_family->flashSize - length;
}

bool SimDevice::writable(quint32 address, quint32 length) const
{
    return inFlash(address, length) && address - kSimFlashBase >= m_family->bootAreaSize;
}

// Programs plain bytes with the family's rules; returns the time it takes.
qint64 SimDevice::program(quint32 address, const QByteArray &plain)
{
    const int offset = int(address - kSimFlashBase);
    qint64 us = (qint64(plain.size()) * m_family->programUsPerKiB + 1023) / 1024;
    if (m_family->pageSize) {
        // Erase-on-write: every touched page is erased; the rest of those pages is kept (read-modify-write).
        const int page = int(m_family->pageSize);
        const int first = offset / page, last = (offset + qMax(plain.size(), 1) - 1) / page;
        us += qint64(last - first + 1) * m_family->eraseUsPerPage;
        m_flash.replace(offset, plain.size(), plain);
    } else {
        // Sector flash: programming can only clear bits.
        for (int i = 0; i < plain.size(); ++i)
            m_flash[offset + i] = char(quint8(m_flash.at(offset + i)) & quint8(plain.at(i)));
    }
    return us;
}

bool SimDevice::eraseUnit(quint8 parameter, qint64 *us)
{
    quint32 start, size;
    if (m_family->pageSize) {
        start = quint32(parameter) * m_family->pageSize;
        size = m_family->pageSize;
        *us = m_family->eraseUsPerPage;
    } else {
        if (parameter > 11)
            return false;
        start = sectorStart(parameter);
        size = sectorSize(parameter);
        *us = m_family->eraseUsPerPage * qint64(size / 1024);
    }
    if (!writable(kSimFlashBase + start, size))
        return false;
    m_flash.replace(int(start), int(size), QByteArray(int(size), char(0xFF)));
    ++m_eraseCount;
    return true;
}

QByteArray SimDevice::replyHeader(quint16 command) const
{
    QByteArray reply(kFrameHeaderSize, '\0');
    putU16(reply, 0, quint16(kFrameHeaderSize + kCrcSize));
    putU16(reply, 2, command);
    putU32(reply, 4, HOST_ID);
    putU32(reply, 8, m_config.deviceId);
    return reply;
}

// Repeats the request's memory header with the device as source, then the data.
QByteArray SimDevice::readReply(quint16 command, quint32 address, const QByteArray &data) const
{
    QByteArray reply(kMemoryHeaderSize, '\0');
    putU16(reply, 0, quint16(kMemoryHeaderSize + data.size() + kCrcSize));
    putU16(reply, 2, command);
    putU32(reply, 4, HOST_ID);
    putU32(reply, 8, m_config.deviceId);
    putU32(reply, 12, address);
    putU32(reply, 16, quint32(data.size()));
    return reply + data;
}

bool SimDevice::receive(const QByteArray &frame, qint64 startUs, qint64 endUs, QByteArray *reply, qint64 *processingUs)
{
    *processingUs = kCommandUs;
    reply->clear();
    if (startUs < m_busyUntilUs)
        return false; // still busy: the frame is missed
    updateState(startUs);

    if (frame.size() < kFrameHeaderSize + kCrcSize || !checkReplyCrc(frame))
        return false;
    const quint16 command = readU16(frame, 2);
    const quint16 lengthField = readU16(frame, 0);
    const bool lengthOk = command == CMD_STREAM_CONNECT
                                  ? frame.size() == kFrameHeaderSize + kStreamNameSize + 2 + kCrcSize
                                  : lengthField == frame.size();
    if (!lengthOk)
        return false;
    const quint32 destination = readU32(frame, 4);
    if (destination != m_config.deviceId && destination != 0 && destination != BROADCAST_ID)
        return false;

    const bool isConnect = command == CMD_CONNECT || command == CMD_STREAM_CONNECT;
    watchConnectRun(isConnect, startUs);
    if (m_state == State::Off) {
        // The user is switching it on while the host keeps calling.
        if (isConnect && --m_silentConnectsLeft <= 0) {
            powerCycle();
            m_windowEndUs = endUs + qint64(m_config.bootWindowMs) * 1000;
        }
        return false;
    }
    if (m_state == State::App)
        return false;

    const QByteArray body = frame.left(frame.size() - kCrcSize);
    const quint32 address = readU32(body, 12);
    const quint32 count = readU32(body, 16);
    const bool isData = command == CMD_WRITE_MEMORY || command == CMD_I2C_WRITE || command == CMD_WRITE_RAM
                        || command == CMD_STREAM_WRITE;
    if (isData && (body.size() < kMemoryHeaderSize || quint32(body.size() - kMemoryHeaderSize) != count))
        return false;
    QByteArray data = isData ? body.mid(kMemoryHeaderSize) : QByteArray();
    if (isData && command != CMD_I2C_WRITE)
        DecodeImage(data.data(), data.size());

    bool answer = true;
    qint64 workUs = 0;
    switch (command) {
    case CMD_CONNECT:
        m_state = State::Held;
        *reply = replyHeader(command);
        break;
    case CMD_STREAM_CONNECT: {
        QByteArray name = body.mid(kFrameHeaderSize, kStreamNameSize);
        name.truncate(name.indexOf('\0') < 0 ? name.size() : name.indexOf('\0'));
        // A stream for another model must not reach this device: it leaves for its application.
        m_state = name == m_config.modelCode ? State::Held : State::App;
        answer = false;
        break;
    }
    case CMD_READ_MEMORY: {
        QByteArray plain;
        if (count > kMaxReadBytes)
            return false;
        if (inFlash(address, count))
            plain = m_flash.mid(int(address - kSimFlashBase), int(count));
        else if (address >= kSimRamBase && count <= m_family->ramSize
                 && address - kSimRamBase <= m_family->ramSize - count)
            plain = m_ram.mid(int(address - kSimRamBase), int(count));
        else
            return false;
        auto corrupt = m_corruptReads.find(address);
        if (corrupt != m_corruptReads.end() && corrupt.value() != 0 && !plain.isEmpty()) {
            plain[plain.size() / 2] = char(plain.at(plain.size() / 2) ^ 0x5A);
            if (corrupt.value() > 0)
                --corrupt.value();
        }
        EncodeImage(plain.data(), plain.size());
        *reply = readReply(command, address, plain);
        break;
    }
    case CMD_WRITE_MEMORY:
    case CMD_STREAM_WRITE:
        if (!writable(address, count))
            return false;
        workUs = program(address, data);
        *reply = replyHeader(command);
        answer = command == CMD_WRITE_MEMORY;
        break;
    case CMD_I2C_READ:
        if (count > kMaxReadBytes || address > quint32(m_i2c.size()) || count > quint32(m_i2c.size()) - address)
            return false;
        workUs = qint64(count) * kI2cReadUsPerByte;
        *reply = readReply(command, address, m_i2c.mid(int(address), int(count)));
        break;
    case CMD_I2C_WRITE:
        if (address > quint32(m_i2c.size()) || count > quint32(m_i2c.size()) - address)
            return false;
        setI2cAt(address, data);
        workUs = ((qint64(count) + 15) / 16) * kI2cPageWriteUs;
        *reply = replyHeader(command);
        break;
    case CMD_WRITE_RAM:
        if (address < kSimRamBase || count > m_family->ramSize || address - kSimRamBase > m_family->ramSize - count)
            return false;
        m_ram.replace(int(address - kSimRamBase), data.size(), data);
        *reply = replyHeader(command);
        break;
    case CMD_RUN:
        *reply = replyHeader(command);
        m_state = State::App;
        ++m_runCount;
        break;
    case CMD_RUN_RAM:
        *reply = replyHeader(command);
        m_state = State::App;
        ++m_runRamCount;
        break;
    case CMD_ERASE:
        if (body.size() != kFrameHeaderSize + 1 || !eraseUnit(quint8(body.at(kFrameHeaderSize)), &workUs))
            return false;
        *reply = replyHeader(command);
        break;
    case CMD_MUTE:
    case CMD_UNMUTE:
        m_muted = command == CMD_MUTE;
        answer = false;
        break;
    case CMD_DISCOVERY: {
        const quint32 first = readU32(body, 12), second = readU32(body, 16);
        if (m_muted || m_config.deviceId < first || m_config.deviceId > second)
            return false;
        *reply = replyHeader(command);
        break;
    }
    default:
        return false;
    }

    *processingUs = kCommandUs + workUs;
    const qint64 replyUs = answer ? qint64(reply->size() + kCrcSize) * kSimByteUs : 0;
    m_busyUntilUs = endUs + kSimTurnaroundUs + *processingUs + replyUs;
    if (!answer || m_silent) {
        reply->clear();
        return false;
    }
    *reply = withCrc(*reply);
    return true;
}
