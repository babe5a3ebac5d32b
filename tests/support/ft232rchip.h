// The FT232R as the host's USB requests see it: descriptors and strings, the FTDI vendor requests applied to a
// simulated line, and the bulk IN packets it makes of what the line delivers. No USB plumbing (ft232remulator).
#pragma once

#include <QByteArray>
#include <QList>

#include "link/ftdidriver.h"

class SimulatedBus;

// What the chip tells the host about itself, and where it sits on the USB buses.
struct Ft232rIdentity
{
    QByteArray manufacturer = "FTDI";
    QByteArray product = "USB-RS485 Cable";
    QByteArray serial = "FTZRUSB1";
    quint8 busNumber = 1, address = 2;
};

class Ft232rChip
{
public:
    static constexpr quint16 kVendorId = 0x0403, kProductId = 0x6001, kBcdDevice = 0x0600;
    static constexpr quint8 kEndpointIn = 0x81, kEndpointOut = 0x02;

    // One vendor request as the chip received it on endpoint 0.
    struct VendorRequest
    {
        quint8 requestType = 0, request = 0;
        quint16 value = 0, index = 0;
        bool operator==(const VendorRequest &o) const
        {
            return requestType == o.requestType && request == o.request && value == o.value && index == o.index;
        }
    };

    // `bus` (real clock) is the line; false when it cannot be opened.
    Ft232rChip(SimulatedBus *bus, const Ft232rIdentity &identity);
    ~Ft232rChip();
    bool lineOpen() const { return m_line != nullptr; }

    // The device descriptor followed by the configuration descriptor, as sysfs shows them.
    QByteArray descriptors() const;
    // A request on endpoint 0 (setup fields); the data of an IN request goes to *in. False: the chip stalls it.
    bool controlRequest(quint8 requestType, quint8 request, quint16 value, quint16 index, QByteArray *in);
    // Bulk OUT: the bytes go out on the line.
    void send(const quint8 *bytes, int size);
    // Bulk IN: takes what the line has delivered by `nowUs` and, when the transfer of `bufferLength` bytes is due
    // (its packets full, or a latency period since the last one), its payload: 64-byte packets of the two status
    // bytes and 62 data bytes, ending in a short packet (only the status when nothing came).
    bool inTransfer(int bufferLength, qint64 nowUs, QByteArray *payload);

    QList<VendorRequest> requests;
    quint32 baud = 9600;
    quint16 lineProperties = 0x0008;
    quint8 latencyMs = 16;
    bool rts = false;

private:
    bool vendorRequest(quint8 requestType, quint8 request, quint16 value, quint16 index, QByteArray *in);
    bool standardRequest(quint8 requestType, quint8 request, quint16 value, QByteArray *in) const;

    SimulatedBus *m_bus;
    FtdiDriver::Handle m_line = nullptr;
    Ft232rIdentity m_identity;
    bool m_breakOn = false;
    QByteArray m_rx; // from the line, not yet handed to the host
    qint64 m_lastInUs = -1;
};
