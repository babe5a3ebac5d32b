// A simulated FTDI cable with virtual bootloader devices behind it: an FtdiDriver for tests and `--simulate`.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QPair>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "link/ftdidriver.h"
#include "sim/simdevice.h"

// 250000 baud, 8 data bits, 2 stop bits, no parity: 11 bit times = 44 µs a byte.
constexpr qint64 kSimByteUs = 44;
// Time from the end of a request to the first reply byte, before any command-specific processing.
constexpr qint64 kSimTurnaroundUs = 100;
constexpr int kSimKeptDmxPackets = 64;
// The zr.sim trace reports the DMX packet count at the first packet and then at most this often.
constexpr qint64 kSimDmxReportUs = 1000000;

class SimulatedBus : public FtdiDriver
{
public:
    enum class Clock { Virtual, Real };
    explicit SimulatedBus(Clock clock = Clock::Virtual);
    ~SimulatedBus() override;

    SimDevice *addDevice(const SimDeviceConfig &config); // owned by the bus; nullptr for an unknown family
    QList<SimDevice *> devices() const;
    // The cables the library reports, in order (description, serial number). Default: one simulated cable.
    void setCables(const QList<QPair<QByteArray, QByteArray>> &descriptionAndSerial);

    qint64 elapsedUs() const;           // simulated (or real) time since construction
    // What the line and the devices needed so far: every frame on the wire, and for each reply the turnaround, the
    // device's processing (programming, erasing) and the reply's bytes; the floor no reply window can go below.
    qint64 busyUs() const { return m_busyUs; }
    QList<QByteArray> requests() const; // every frame written outside a DMX packet, as on the wire (with CRC)
    // Every write that followed a break (a bus on the real clock, which may run for hours, keeps the last
    // kSimKeptDmxPackets), and how many there were in all.
    QList<QByteArray> dmxPackets() const;
    qint64 dmxPacketCount() const { return m_dmxPacketCount; }
    // D2XX calls in order, e.g. "FT_Purge(1)", "FT_SetTimeouts(140,0)", "FT_Write(14)", "FT_Read(2560)".
    QStringList calls() const;
    void clearLog(); // forget requests/packets/calls
    // Keep the D2XX calls (default); a bus that somebody polls all the time (an emulated chip) turns it off.
    void setCallLog(bool on) { m_callLog = on; }

    void dropReplies(int count);    // the next `count` replies are lost
    void corruptReplies(int count); // the next `count` replies have a wrong CRC
    void loseRequests(int count);   // the next `count` frames are garbled on the line: no device hears them
    // Faults that come back at a fixed pace: every `every`-th reply (0: none) is lost, has a wrong CRC, arrives
    // just after the read window that waited for it, or is garbled by a burst of line noise over its first bytes.
    enum class Fault { None, Drop, Corrupt, Late, Noise };
    void setPeriodicFault(Fault fault, int every);
    static bool faultByName(const QString &name, Fault *fault); // "drop", "corrupt", "late", "noise"
    void setZeroWrapped(bool on);   // replies wrapped in a leading and a trailing 0x00
    void setOpenFails(bool fails);  // FT_OpenEx fails
    // Raw bytes that arrive on the line right after the next frame written (as if some device sent them); in place
    // of any injected before.
    void injectBytes(const QByteArray &bytes);
    // More raw bytes after the next frame: their first byte starts on the line startUs after the frame's end.
    void injectBytesAt(const QByteArray &bytes, qint64 startUs);
    // The reader is descheduled (a busy PC) for `us` right after its n-th FT_Read from now (1 = the next one): the
    // clock runs on before it gets control back, and bytes arriving meanwhile wait in the driver's buffer.
    void stallAfterRead(int n, qint64 us);
    bool isOpen() const { return m_openCable >= 0; }
    // When bytes on their way to the cable arrive (clock of elapsedUs): the next one not read yet, and the last one
    // of the reply it belongs to; -1 when nothing is on its way.
    qint64 nextArrivalUs() const;
    qint64 replyEndUs() const;

    std::function<void(const QByteArray &frame)> onRequest; // test hook, called for every frame written

    // --- FtdiDriver ---
    // FT_Read with a read limit of 0 returns at once with what has arrived. A line not set to 250000 8N2 garbles
    // every frame, so no device understands it.
    Status createDeviceInfoList(quint32 *count) override;
    Status getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id, quint32 *locId,
                               char *serialNumber, char *description, Handle *handle) override;
    Status openBySerialNumber(const char *serialNumber, Handle *handle) override;
    Status resetDevice(Handle handle) override;
    Status setBaudRate(Handle handle, quint32 baud) override;
    Status setDataCharacteristics(Handle handle, quint8 wordLength, quint8 stopBits, quint8 parity) override;
    Status setFlowControl(Handle handle, quint16 flowControl, quint8 xon, quint8 xoff) override;
    Status setLatencyTimer(Handle handle, quint8 milliseconds) override;
    Status getLatencyTimer(Handle handle, quint8 *milliseconds) override;
    Status purge(Handle handle, quint32 mask) override;
    Status setTimeouts(Handle handle, quint32 readMs, quint32 writeMs) override;
    Status setRts(Handle handle) override;
    Status clrRts(Handle handle) override;
    Status setBreakOn(Handle handle) override;
    Status setBreakOff(Handle handle) override;
    Status write(Handle handle, const void *buffer, quint32 length, quint32 *written) override;
    Status read(Handle handle, void *buffer, quint32 length, quint32 *received) override;
    Status close(Handle handle) override;
    qint64 clockUs() const override { return elapsedUs(); }

private:
    // Reply bytes on their way to the cable; byte i has arrived at startUs + (i + 1) * kSimByteUs.
    struct Incoming
    {
        qint64 startUs;
        QByteArray bytes;
        int consumed = 0;
    };
    bool valid(Handle handle) const;
    Status call(Handle handle, const QString &name);
    void addIncoming(qint64 startUs, const QByteArray &bytes);
    void takeDmxPacket(const QByteArray &packet);
    void advanceTo(qint64 us);

    Clock m_clock;
    QElapsedTimer m_realTimer;
    qint64 m_virtualUs = 0;
    qint64 m_busyUs = 0;
    std::vector<std::unique_ptr<SimDevice>> m_devices;
    QList<QPair<QByteArray, QByteArray>> m_cables;
    int m_openCable = -1;
    bool m_openFails = false;
    quint32 m_baud = 0;
    quint8 m_wordLength = 0, m_stopBits = 0, m_parity = 0;
    quint8 m_latency = 16;
    quint32 m_readMs = 0;
    bool m_breakOn = false, m_breakSent = false;
    int m_dropReplies = 0, m_corruptReplies = 0, m_lostRequests = 0;
    Fault m_fault = Fault::None;
    int m_faultEvery = 0, m_repliesSinceFault = 0;
    bool m_zeroWrapped = false;
    QList<QPair<QByteArray, qint64>> m_inject; // bytes, start after the frame's end
    int m_stallAfterReads = 0;
    qint64 m_stallUs = 0;
    QList<Incoming> m_incoming;
    QList<QByteArray> m_requests, m_dmxPackets;
    qint64 m_dmxPacketCount = 0;
    qint64 m_dmxReportedUs = 0, m_dmxReportedCount = 0;
    QStringList m_calls;
    bool m_callLog = true;
};

// The device of `zrflasher --simulate`: a Zr501 (F100C8 family) that starts switched off and that the technician
// power-cycles whenever a Connect or Stream Connect finds it running its application; either way its bootloader
// answers after a few connect attempts.
SimDeviceConfig demoDeviceConfig();
// The bus `zrflasher --simulate` offers: real clock, the demo device.
std::unique_ptr<SimulatedBus> makeDemoBus();
