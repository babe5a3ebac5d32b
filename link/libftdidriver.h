// An FtdiDriver over libftdi1 (libusb): FTDI cables on a stock Linux or macOS system without the vendor library.
#pragma once

#include <QList>
#include <memory>

#include "link/ftdidriver.h"

// The few libftdi calls the driver makes, behind one interface: the real one wraps libftdi1 (when the build found
// it), tests put a fake in its place. A context is libftdi's ftdi_context of one open device.
class LibFtdiApi
{
public:
    struct Device
    {
        QByteArray description;
        QByteArray serialNumber;
        quint8 bus = 0, address = 0;
    };
    virtual ~LibFtdiApi() = default;

    // Every FTDI device on the USB buses; false with *error when the bus cannot be searched.
    virtual bool list(QList<Device> *devices, QString *error) = 0;
    // Opens the device at bus/address, the kernel's serial driver detached (and re-attached on close); null with
    // *error on failure.
    virtual void *open(quint8 bus, quint8 address, QString *error) = 0;
    virtual void close(void *context) = 0;
    // The rest return libftdi's result: 0 or more on success, negative on failure.
    virtual int reset(void *context) = 0;
    virtual int setBaudRate(void *context, int baud) = 0;
    // bits 7/8, stopBits 0 (one) or 2 (two), parity 0-4 as libftdi numbers them, and the break condition.
    virtual int setLineProperty(void *context, int bits, int stopBits, int parity, bool breakOn) = 0;
    virtual int setFlowControl(void *context, int mode) = 0; // the D2XX values are libftdi's SIO_* values
    virtual int setLatencyTimer(void *context, quint8 milliseconds) = 0;
    virtual int getLatencyTimer(void *context, quint8 *milliseconds) = 0;
    virtual int purge(void *context, bool receive, bool transmit) = 0;
    virtual int setRts(void *context, bool on) = 0;
    virtual int write(void *context, const quint8 *bytes, int size) = 0;
    // What the chip has delivered so far (0 when nothing), negative on failure. The real call waits at most one
    // latency period of the chip for its next USB packet.
    virtual int read(void *context, quint8 *bytes, int size) = 0;
};

// The real libftdi1; null when the program was built without it.
std::unique_ptr<LibFtdiApi> makeLibFtdiApi();

class LibFtdiDriver : public FtdiDriver
{
public:
    explicit LibFtdiDriver(std::unique_ptr<LibFtdiApi> api);
    ~LibFtdiDriver() override;

    Status createDeviceInfoList(quint32 *count) override;
    Status getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id, quint32 *locId,
                               char *serialNumber, char *description, Handle *handle) override;
    // A serial number or the USB address "usb-BBB-AAA" (bus and device number) of a listed device; a USB address
    // also opens without a listing (a gang worker's own driver), so that no other cable is touched.
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
    QStringList otherNames(quint32 index) const override { return {QString::fromLatin1(alternativeSerial(index))}; }
    QByteArray directName(quint32 index) const override { return alternativeSerial(index); }

private:
    struct Open;
    Open *find(Handle handle) const;
    Status lineProperty(Open *open, bool breakOn);

    std::unique_ptr<LibFtdiApi> m_api;
    QList<LibFtdiApi::Device> m_devices;
    QList<Open *> m_open;
    QString m_problem;
};
