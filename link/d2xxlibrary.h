// The vendor's D2XX library (ftd2xx.dll / libftd2xx.so) loaded at run time; without it no cable is found.
#pragma once

#include <QLibrary>

#include "link/ftdidriver.h"

class D2xxLibrary : public FtdiDriver
{
public:
    D2xxLibrary();
    ~D2xxLibrary() override;

    // True when the library was found and every function the cable calls was resolved.
    bool isLoaded() const { return m_loaded; }
    QString errorString() const { return m_library.errorString(); }

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
    QString problem() const override;

    struct Functions;

private:
    QLibrary m_library;
    bool m_loaded = false;
    bool m_found = false; // the file loaded, whether or not every function was in it
    Functions *m_fn;
};
