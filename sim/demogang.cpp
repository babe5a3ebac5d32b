// The simulated gang: one real-clock bus per cable, so the rows move as they would with hardware.
#include "sim/demogang.h"

#include "sim/simulatedbus.h"

namespace {
const QByteArray kDescription("USB-RS485 Cable (simulated bus)");

QByteArray serialOf(int index)
{
    return QByteArrayLiteral("ZRSIM") + QByteArray::number(index + 1).rightJustified(3, '0');
}
} // namespace

QList<CableIdentity> demoGangCables()
{
    QList<CableIdentity> cables;
    for (int i = 0; i < kDemoGangCables; ++i) {
        CableIdentity cable;
        cable.serial = cable.openName = serialOf(i);
        cable.description = kDescription;
        cable.names << QString::fromLatin1(cable.serial);
        cables << cable;
    }
    return cables;
}

std::unique_ptr<FtdiDriver> makeDemoGangBus(const CableIdentity &cable)
{
    for (int i = 0; i < kDemoGangCables; ++i) {
        if (cable.serial != serialOf(i))
            continue;
        auto bus = std::make_unique<SimulatedBus>(SimulatedBus::Clock::Real);
        bus->setCables({{kDescription, cable.serial}});
        SimDeviceConfig device = demoDeviceConfig();
        device.deviceId += quint32(i);
        bus->addDevice(device);
        return bus;
    }
    return nullptr;
}
