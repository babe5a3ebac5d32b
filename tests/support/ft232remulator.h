// An FT232R USB-RS485 cable emulated at the usbdevfs level (umockdev's ioctl API): the real libftdi1 and libusb talk
// to it as to the chip (Ft232rChip), and its line side is an in-process simulated bus.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

#include "tests/support/ft232rchip.h"

class Ft232rEmulator
{
public:
    using Identity = Ft232rIdentity;
    using VendorRequest = Ft232rChip::VendorRequest;

    // True when the process runs under umockdev's preload library (LD_PRELOAD), so that an emulated device can be
    // plugged in.
    static bool preloadActive();

    // Plugs the chip into the process's umockdev testbed, which every chip plugged in at the same time shares (each
    // on a USB bus of its own: identity.busNumber); `bus` (real clock) is its line and must outlive the emulator.
    Ft232rEmulator(SimulatedBus *bus, const Identity &identity = Identity());
    ~Ft232rEmulator();
    // Empty when the chip is plugged in; otherwise what went wrong.
    QString error() const { return m_error; }

    // The bus, locked against the chip's own threads for as long as `use` runs.
    void withBus(const std::function<void(SimulatedBus &)> &use);

    // What the chip was told: every vendor request since the last clear, the line as configured now.
    QList<VendorRequest> vendorRequests() const;
    void clearRequests();
    quint32 baudRate() const;      // from the divisor of the last SET_BAUDRATE
    quint16 lineProperties() const; // the last SET_DATA value (bits, parity, stop bits, break)
    quint8 latencyMs() const;
    bool rts() const;
    // Open files that hold the interface claimed now, and URBs submitted and not yet reaped.
    int claims() const;
    int urbsInFlight() const;

    struct State; // the chip's insides (its callbacks run on umockdev's and the chip's own threads)

private:
    std::unique_ptr<State> d;
    QString m_error;
};
