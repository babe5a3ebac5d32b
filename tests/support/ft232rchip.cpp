// The FT232R's side of USB: its descriptors, the FTDI vendor requests and the packets of its bulk IN endpoint.
#include "tests/support/ft232rchip.h"

#include "sim/simulatedbus.h"

namespace {
constexpr int kPacketSize = 64; // of both bulk endpoints
// Every bulk IN packet starts with the modem status and the line status.
constexpr int kStatusSize = 2;
constexpr char kModemStatus = 0x01, kLineStatus = 0x60;

// FTDI vendor requests (bmRequestType 0x40 out, 0xC0 in).
enum : quint8 {
    kReset = 0,       // value 0: reset; 1: flush the chip's transmit buffer; 2: its receive buffer
    kModemCtrl = 1,   // value: bit 0 DTR, bit 1 RTS; high byte: which of them to change
    kSetFlowCtrl = 2, // index high byte: the flow control mode
    kSetBaudRate = 3, // value and index bit 0: the divisor of 3 MHz, in eighths
    kSetData = 4,     // value: bits 0-7 data bits, 8-10 parity, 11-13 stop bits (0 one, 2 two), 14 break
    kGetModemStatus = 5,
    kSetLatency = 9,
    kGetLatency = 10,
};
constexpr quint16 kFlushTransmit = 1, kFlushReceive = 2;
constexpr quint16 kRtsChange = 0x0200, kRtsOn = 0x0002;
constexpr quint16 kBreakBit = 1 << 14;

// Standard requests the host makes on endpoint 0, and descriptor types.
enum : quint8 { kGetStatus = 0, kGetDescriptor = 6, kGetConfiguration = 8 };
enum : quint8 { kDeviceDescriptor = 1, kConfigurationDescriptor = 2, kStringDescriptor = 3 };

void putLe16(QByteArray &bytes, int at, quint16 value)
{
    bytes[at] = char(value & 0xFF);
    bytes[at + 1] = char(value >> 8);
}

QByteArray deviceDescriptor()
{
    // USB 2.0, class per interface, 8-byte endpoint 0, strings 1-3, one configuration.
    QByteArray d = QByteArray::fromHex("120100020000000800000000000001020301");
    putLe16(d, 8, Ft232rChip::kVendorId);
    putLe16(d, 10, Ft232rChip::kProductId);
    putLe16(d, 12, Ft232rChip::kBcdDevice);
    return d;
}

QByteArray configurationDescriptor()
{
    // Configuration 1, bus powered, 90 mA; one vendor interface (string 2) with the two bulk endpoints of 64 bytes.
    QByteArray c = QByteArray::fromHex("09022000010100a02d"
                                       "0904000002ffffff02"
                                       "07050002400000"
                                       "07050002400000");
    c[9 + 9 + 2] = char(Ft232rChip::kEndpointIn);
    c[9 + 9 + 7 + 2] = char(Ft232rChip::kEndpointOut);
    return c;
}

QByteArray stringDescriptor(const QByteArray &ascii)
{
    QByteArray d;
    d.append(char(2 + 2 * ascii.size())).append(char(kStringDescriptor));
    for (const char c : ascii)
        d.append(c).append('\0');
    return d;
}

// The baud rate from the divisor of SET_BAUDRATE: 14 bits of whole steps of 3 MHz and a fraction in eighths
// (value bits 14-15 and index bit 0); 0 and 1 stand for 3 and 2 MBd.
quint32 baudFromDivisor(quint16 value, quint16 index)
{
    static const int eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const int whole = value & 0x3FFF;
    const int fraction = eighths[(value >> 14) | ((index & 1) << 2)];
    if (whole == 0 && fraction == 0)
        return 3000000;
    if (whole == 1 && fraction == 0)
        return 2000000;
    return quint32(3000000LL * 8 / (whole * 8 + fraction));
}
} // namespace

Ft232rChip::Ft232rChip(SimulatedBus *bus, const Ft232rIdentity &identity)
    : m_bus(bus)
    , m_identity(identity)
{
    quint32 count = 0;
    bus->createDeviceInfoList(&count);
    if (bus->openBySerialNumber("ZRSIM001", &m_line) != FT_OK) {
        m_line = nullptr;
        return;
    }
    bus->setTimeouts(m_line, 0, 0);
    bus->setCallLog(false); // the chip looks at the line every few hundred microseconds
}

Ft232rChip::~Ft232rChip()
{
    if (m_line)
        m_bus->close(m_line);
}

QByteArray Ft232rChip::descriptors() const
{
    return deviceDescriptor() + configurationDescriptor();
}

bool Ft232rChip::controlRequest(quint8 requestType, quint8 request, quint16 value, quint16 index, QByteArray *in)
{
    return (requestType & 0x60) == 0x40 ? vendorRequest(requestType, request, value, index, in)
                                        : standardRequest(requestType, request, value, in);
}

bool Ft232rChip::vendorRequest(quint8 requestType, quint8 request, quint16 value, quint16 index, QByteArray *in)
{
    requests << VendorRequest{requestType, request, value, index};
    if (requestType & 0x80) {
        if (request == kGetLatency)
            *in = QByteArray(1, char(latencyMs));
        else if (request == kGetModemStatus)
            *in = QByteArray().append(kModemStatus).append(kLineStatus);
        else
            return false;
        return true;
    }
    switch (request) {
    case kReset:
        if (value == 0) {
            m_bus->resetDevice(m_line);
            m_rx.clear();
        } else if (value == kFlushReceive) {
            m_bus->purge(m_line, FT_PURGE_RX);
            m_rx.clear();
        } else if (value == kFlushTransmit) {
            m_bus->purge(m_line, FT_PURGE_TX);
        }
        return true;
    case kModemCtrl:
        if (value & kRtsChange) {
            rts = value & kRtsOn;
            rts ? m_bus->setRts(m_line) : m_bus->clrRts(m_line);
        }
        return true;
    case kSetFlowCtrl:
        m_bus->setFlowControl(m_line, quint16(index & 0xFF00), 0, 0);
        return true;
    case kSetBaudRate:
        baud = baudFromDivisor(value, index);
        m_bus->setBaudRate(m_line, baud);
        return true;
    case kSetData: {
        lineProperties = value;
        // D2XX numbers: 0 one stop bit, 2 two; parity 0-4 as the chip's.
        const quint8 stop = ((value >> 11) & 7) == 2 ? 2 : 0;
        m_bus->setDataCharacteristics(m_line, quint8(value & 0xFF), stop, quint8((value >> 8) & 7));
        const bool breakNow = value & kBreakBit;
        if (breakNow && !m_breakOn)
            m_bus->setBreakOn(m_line);
        else if (!breakNow && m_breakOn)
            m_bus->setBreakOff(m_line);
        m_breakOn = breakNow;
        return true;
    }
    case kSetLatency:
        latencyMs = quint8(value);
        m_bus->setLatencyTimer(m_line, latencyMs);
        return true;
    default:
        return false;
    }
}

bool Ft232rChip::standardRequest(quint8 requestType, quint8 request, quint16 value, QByteArray *in) const
{
    if (!(requestType & 0x80))
        return true; // SET_CONFIGURATION, SET_FEATURE, ...: taken
    if (request == kGetStatus) {
        *in = QByteArray(2, '\0');
        return true;
    }
    if (request == kGetConfiguration) {
        *in = QByteArray(1, '\1');
        return true;
    }
    if (request != kGetDescriptor)
        return false;
    const int type = value >> 8, number = value & 0xFF;
    const QByteArray strings[] = {QByteArray(), m_identity.manufacturer, m_identity.product, m_identity.serial};
    if (type == kDeviceDescriptor)
        *in = deviceDescriptor();
    else if (type == kConfigurationDescriptor)
        *in = configurationDescriptor();
    else if (type == kStringDescriptor && number == 0)
        *in = QByteArray::fromHex("04030904"); // the languages: English (US)
    else if (type == kStringDescriptor && number < 4)
        *in = stringDescriptor(strings[number]);
    else
        return false;
    return true;
}

void Ft232rChip::send(const quint8 *bytes, int size)
{
    quint32 written = 0;
    m_bus->write(m_line, bytes, quint32(size), &written);
}

bool Ft232rChip::inTransfer(int bufferLength, qint64 nowUs, QByteArray *payload)
{
    char buffer[4096];
    quint32 received = 0;
    m_bus->read(m_line, buffer, sizeof buffer, &received);
    // Kept whole: the chip's own buffer holds 256 bytes, and a host that does not read in time loses the rest,
    // but a test on a loaded machine must not depend on how promptly it is scheduled.
    m_rx.append(buffer, int(received));
    if (m_lastInUs < 0)
        m_lastInUs = nowUs;
    const int packets = qMax(1, bufferLength / kPacketSize);
    const int capacity = packets * (kPacketSize - kStatusSize);
    if (m_rx.size() < capacity && nowUs - m_lastInUs < qint64(qMax<quint8>(latencyMs, 1)) * 1000)
        return false;
    payload->clear();
    int taken = 0;
    for (int p = 0; p < packets; ++p) {
        const int chunk = qMin(kPacketSize - kStatusSize, m_rx.size() - taken);
        payload->append(kModemStatus).append(kLineStatus).append(m_rx.mid(taken, chunk));
        taken += chunk;
        if (chunk < kPacketSize - kStatusSize)
            break; // a short packet ends the transfer
    }
    m_rx.remove(0, taken);
    payload->truncate(bufferLength);
    m_lastInUs = nowUs;
    return true;
}
