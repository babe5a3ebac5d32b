// The cable's view of the FTDI D2XX library: one call per library function the cable uses.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>

// D2XX status codes (FT_STATUS).
enum : quint32 {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_OTHER_ERROR = 18,
};

// FT_Purge masks.
constexpr quint32 FT_PURGE_RX = 1;
constexpr quint32 FT_PURGE_TX = 2;

class FtdiDriver
{
public:
    using Handle = void *;
    using Status = quint32;

    virtual ~FtdiDriver() = default;

    virtual Status createDeviceInfoList(quint32 *count) = 0;
    // serialNumber holds at least 16 bytes, description at least 64, both zero-terminated on return.
    virtual Status getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id,
                                       quint32 *locId, char *serialNumber, char *description,
                                       Handle *handle) = 0;
    // FT_OpenEx with FT_OPEN_BY_SERIAL_NUMBER.
    virtual Status openBySerialNumber(const char *serialNumber, Handle *handle) = 0;
    virtual Status resetDevice(Handle handle) = 0;
    virtual Status setBaudRate(Handle handle, quint32 baud) = 0;
    virtual Status setDataCharacteristics(Handle handle, quint8 wordLength, quint8 stopBits, quint8 parity) = 0;
    virtual Status setFlowControl(Handle handle, quint16 flowControl, quint8 xon, quint8 xoff) = 0;
    virtual Status setLatencyTimer(Handle handle, quint8 milliseconds) = 0;
    virtual Status getLatencyTimer(Handle handle, quint8 *milliseconds) = 0;
    virtual Status purge(Handle handle, quint32 mask) = 0;
    virtual Status setTimeouts(Handle handle, quint32 readMs, quint32 writeMs) = 0;
    virtual Status setRts(Handle handle) = 0;
    virtual Status clrRts(Handle handle) = 0;
    virtual Status setBreakOn(Handle handle) = 0;
    virtual Status setBreakOff(Handle handle) = 0;
    virtual Status write(Handle handle, const void *buffer, quint32 length, quint32 *written) = 0;
    // Returns when length bytes have arrived or the read time limit has passed.
    virtual Status read(Handle handle, void *buffer, quint32 length, quint32 *received) = 0;
    virtual Status close(Handle handle) = 0;

    // Beyond the library's calls: why the last enumeration found no cable or the last open failed, in one line
    // for the user ("FTDI D2XX library not found"); empty when there is nothing to say.
    virtual QString problem() const { return QString(); }
    // Another name that opens device `index` of the last enumeration (a port name, a USB bus address), for when
    // two backends report the same serial number; empty when the backend has none.
    virtual QByteArray alternativeSerial(quint32 index) const
    {
        Q_UNUSED(index)
        return QByteArray();
    }

    // Beyond the library's calls, for choosing a cable by what the user knows it by: the other names device
    // `index` of the last enumeration answers to exactly (its port path "/dev/ttyUSB0" and name "ttyUSB0", "COM3",
    // its USB address "usb-001-005"); empty when it has none.
    virtual QStringList otherNames(quint32 index) const
    {
        Q_UNUSED(index)
        return QStringList();
    }
    // The name that opens device `index` of the last enumeration through a fresh instance of this backend that
    // has enumerated nothing (a port path, a USB address); empty when its serial number does.
    virtual QByteArray directName(quint32 index) const
    {
        Q_UNUSED(index)
        return QByteArray();
    }
    // Whether device `index` is a cable listed before it through another backend (the same serial number).
    virtual bool listedBefore(quint32 index) const
    {
        Q_UNUSED(index)
        return false;
    }
    // The backend that listed device `index` ("serial", "libftdi", "d2xx"); empty for a backend of its own.
    virtual QString backendOf(quint32 index) const
    {
        Q_UNUSED(index)
        return QString();
    }

    // The clock the read limits run on, in microseconds from any fixed start; a simulated cable keeps its own.
    virtual qint64 clockUs() const
    {
        using namespace std::chrono;
        return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
    }
};
