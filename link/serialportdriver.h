// An FtdiDriver over the operating system's serial ports (Qt Serial Port): FTDI cables under the kernel's own
// driver, other USB-RS485 adapters and pseudo-terminals such as zrsim's.
#pragma once

#include <QList>
#include <QStringList>
#include <memory>

#include "link/ftdidriver.h"

class QSerialPort;

class SerialPortDriver : public FtdiDriver
{
public:
    // extraPorts: ports to list besides the USB serial ports the system reports (a pseudo-terminal, /dev/ttyS0).
    explicit SerialPortDriver(const QStringList &extraPorts = {});
    ~SerialPortDriver() override;

    Status createDeviceInfoList(quint32 *count) override;
    Status getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id, quint32 *locId,
                               char *serialNumber, char *description, Handle *handle) override;
    // A serial number of a listed port, a port name ("ttyUSB0") or a path ("/dev/pts/3").
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
    QString problem() const override { return m_problem; }
    QByteArray alternativeSerial(quint32 index) const override;
    QStringList otherNames(quint32 index) const override;
    QByteArray directName(quint32 index) const override;

    // One port as the dialog lists it.
    struct Port
    {
        QString location;      // "/dev/ttyUSB0"
        QString name;          // "ttyUSB0"
        QByteArray description;
        QByteArray serialNumber; // the port name when the port has no serial number
        quint32 usbId = 0;       // vendor << 16 | product, 0 for a port that is no USB device
    };

private:
    struct Open;
    Open *find(Handle handle) const;

    QStringList m_extraPorts;
    QList<Port> m_ports;
    QList<Open *> m_open;
    QString m_problem;
};

// Where Linux keeps the FTDI latency timer of a USB serial port ("<sysRoot>/class/tty/ttyUSB0/device/latency_timer");
// empty when the port has none.
QString latencyTimerFile(const QString &portName, const QString &sysRoot = QStringLiteral("/sys"));
