// A virtual bootloader device on the simulated RS-485 bus: flash with its descriptor, RAM, I2C memory, power states.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include "link/codec.h"

class SimulatedBus;

// One row per flash behaviour of the device families.
struct SimFamily
{
    const char *name;          // "STM32F100C8", "STM32F030F4", ... (simFamily() looks rows up by it)
    quint32 flashSize;         // bytes from 0x08000000
    quint32 bootAreaSize;      // the bootloader's own area from 0x08000000: writes and erases there are refused
    quint32 pageSize;          // erase-on-write page; 0 = sector family (writes only clear bits, CMD_ERASE needed)
    qint64 eraseUsPerPage;     // page erase time (sector families: time per KiB of the erased sector)
    qint64 programUsPerKiB;    // programming time
    quint32 ramSize;           // bytes from 0x20000000
};

// nullptr if unknown.
const SimFamily *simFamily(const QString &name);

struct SimDeviceConfig
{
    QByteArray modelCode = "Zr501";     // written into the descriptor name at flash 0x08001FC0 (32 bytes)
    QByteArray bootVersion = "BL 1.07"; // descriptor bytes 32..63
    quint32 deviceId = 0x03D2A001;      // the ID it reports (source address of its replies)
    QString family = "STM32F100C8";
    int silentConnects = 0;             // powered off: ignores this many connect attempts, then powers up and answers
    int bootWindowMs = 1000;            // after a power-up the bootloader waits this long for a connect
    bool technician = false;            // someone at the bench power-cycles it when a Connect finds its application
};

// Connect frames closer together than this belong to one Connect (or Stream Connect) run; its attempts are 100 ms
// apart, the boot-connect poller's 250 ms.
constexpr qint64 kSimConnectRunGapUs = 1000000;

// Flash address of the 64-byte descriptor (32 bytes name, 32 bytes bootloader version).
constexpr quint32 kSimDescriptorAddress = DESCRIPTOR_ADDRESS;
constexpr quint32 kSimFlashBase = FLASH_BASE;
constexpr quint32 kSimRamBase = 0x20000000;

// How the device behaves (the bootloader is ours to choose; kept plausible for STM32 parts):
// - It starts in its bootloader, held there (as if just caught by a connect), unless silentConnects > 0: then it is
//   off, the silentConnects-th connect frame (CMD_CONNECT or CMD_STREAM_CONNECT) powers it up, and the next one is
//   answered. After a power-up the bootloader waits bootWindowMs for a connect, then starts the application; a
//   connect (or a stream connect naming its model code) holds it in the bootloader until CMD_RUN.
// - While the application runs (or the device is off) it ignores every frame: the application answers no bootloader
//   command. It listens to DMX512 instead and counts the packets it takes (dmxPacketsTaken).
// - With `technician` set, a person at the bench power-cycles the device when a Connect or Stream Connect begins (its
//   first connect frame after other traffic or after kSimConnectRunGapUs of quiet) and finds it running its
//   application: it goes off, and, as with silentConnects, the max(1, silentConnects)-th connect frame of the run
//   powers it up and the next one is answered. A device already in its bootloader is left alone.
// - It accepts frames addressed to its ID, to 0 and to 0xFFFFFFFF (everybody), with a correct CRC and a length field
//   that matches the frame (the stream connect frame, whose field says 14, is taken at its 64 bytes).
// - Refused requests get no reply at all, so the host sees a timeout ("CRC err"): writes outside the flash or into
//   the bootloader area, reads outside flash/RAM, more than 2048 bytes asked for, erases of bootloader sectors.
// - Erase-on-write families (pageSize > 0) erase every page a written block touches, keeping the rest of those pages,
//   so the block reads back as written. Sector families (F405RG) only clear bits when programming (new = old & data);
//   CMD_ERASE with a sector number (0-3: 16 KiB, 4: 64 KiB, 5-11: 128 KiB; 5 = 0x08020000) sets the sector to 0xFF.
//   Page families read the CMD_ERASE parameter as a page number.
// - CMD_MUTE / CMD_UNMUTE never answer; CMD_DISCOVERY (first, second) is answered by every unmuted device whose ID
//   lies in [first, second], so two such devices garble each other's replies.
// - CMD_STREAM_CONNECT and CMD_STREAM_WRITE are never answered. A stream connect naming its model code holds the
//   device in its bootloader; one naming another model sends it to its application, so only the named model programs
//   the stream blocks that follow (like writes).
// - While busy (receiving its own reply window, programming, erasing) it misses frames that start meanwhile.
class SimDevice
{
public:
    SimDevice(const SimDeviceConfig &config, const SimFamily *family, SimulatedBus *bus);

    QByteArray flash() const; // whole flash, index 0 = 0x08000000 (plain, not encoded)
    QByteArray flashAt(quint32 address, int length) const;
    void setFlashAt(quint32 address, const QByteArray &bytes);
    QByteArray ram() const;
    QByteArray i2c() const;
    void setI2cAt(quint32 address, const QByteArray &bytes);

    void powerCycle(); // restarts: bootloader active for bootWindowMs, then the app runs
    bool inBootloader() const;
    int runCount() const { return m_runCount; }       // CMD_RUN obeyed
    int runRamCount() const { return m_runRamCount; } // CMD_RUN_RAM obeyed
    int eraseCount() const { return m_eraseCount; }   // CMD_ERASE obeyed
    bool muted() const { return m_muted; }
    // Read replies of that address carry a wrong data byte (CRC still correct), `times` times or forever (-1).
    void corruptReadBack(quint32 blockAddress, int times = -1);
    void setSilent(bool silent); // still obeys, never answers
    int dmxPacketsTaken() const { return m_dmxPacketsTaken; } // DMX512 packets its application received
    int technicianPowerCycles() const { return m_technicianCycles; }

    quint32 deviceId() const { return m_config.deviceId; }
    QByteArray modelCode() const { return m_config.modelCode; }
    const SimFamily &family() const { return *m_family; }

    // --- for the bus ---
    // A whole frame as it arrived on the line (with CRC), between startUs and endUs. Returns true with a reply to
    // send and the time the device needs before it starts sending it.
    bool receive(const QByteArray &frame, qint64 startUs, qint64 endUs, QByteArray *reply, qint64 *processingUs);
    // A DMX512 packet (break, then these bytes) on the line at nowUs.
    void receiveDmx(const QByteArray &packet, qint64 nowUs);

private:
    enum class State { Off, Window, Held, App };
    void updateState(qint64 nowUs);
    bool inFlash(quint32 address, quint32 length) const;
    void watchConnectRun(bool isConnect, qint64 startUs);
    bool writable(quint32 address, quint32 length) const;
    qint64 program(quint32 address, const QByteArray &plain);
    bool eraseUnit(quint8 parameter, qint64 *us);
    QByteArray replyHeader(quint16 command) const;
    QByteArray readReply(quint16 command, quint32 address, const QByteArray &data) const;

    SimDeviceConfig m_config;
    const SimFamily *m_family;
    SimulatedBus *m_bus;
    QByteArray m_flash, m_ram, m_i2c;
    State m_state = State::Held;
    qint64 m_windowEndUs = 0;
    qint64 m_busyUntilUs = 0;
    int m_silentConnectsLeft = 0;
    bool m_silent = false;
    bool m_muted = false;
    int m_runCount = 0, m_runRamCount = 0, m_eraseCount = 0;
    int m_dmxPacketsTaken = 0, m_technicianCycles = 0;
    bool m_lastFrameWasConnect = false;
    qint64 m_lastFrameUs = 0;
    QHash<quint32, int> m_corruptReads; // block address -> remaining corrupt replies (-1 forever)
};
