// "Connect": catching a bootloader while the device is power-cycled, identifying it, offering the upgrade,
// and the dispatch of a device name to its family's upgrade.
#pragma once

#include <QCoreApplication>
#include <QByteArray>
#include <QHash>
#include <QString>

#include "boot/upgradefamily.h"
#include "link/codec.h"

struct AppState;
class Prompts;
class RS485Cable;

// What the bootloader and its descriptor at 0x08001FC0 told about the device.
struct DeviceIdentity
{
    quint32 deviceId = 0;
    QByteArray name;        // model code, from the first 32 descriptor bytes
    QByteArray bootVersion; // from the last 32
};

class ConnectEngine
{
    Q_DECLARE_TR_FUNCTIONS(Flasher)

public:
    static constexpr int kAttempts = 1000;
    static constexpr quint32 kDescriptorAddress = DESCRIPTOR_ADDRESS;
    static constexpr int kDescriptorSize = 64;
    static constexpr int kDescriptorNameSize = 32;

    ConnectEngine(AppState &state, Prompts &prompts, RS485Cable &cable);

    // The connect attempts under the progress dialog; true when a device was identified (its name is then the
    // connected device name and the "ID: " line is logged). False on no cable, Cancel or 1000 failed attempts.
    bool identify(DeviceIdentity *identity);
    // The upgrade question; true on Yes (the default).
    bool askUpgrade(const DeviceIdentity &identity);
    // zrtool: address the connect frames to one device ID instead of 0 (every device in its bootloader).
    void setConnectTarget(quint32 deviceId) { m_connectTarget = deviceId; }
    // zrtool: end identify() after this many attempts in a row whose reply came whole but garbled, as when several
    // devices answer at once (0: never, the window's loop).
    void setCollisionLimit(int attempts) { m_collisionLimit = attempts; }
    // Whether the last identify() ended on that.
    bool collided() const { return m_collided; }

    // identify, ask, and on Yes run the upgrade of the device's family ("Connect").
    void connectAndOffer();
    // Runs the upgrade of the family whose list (tried in `order`) holds the connected device name;
    // "Unknown device" (and false) when none does.
    bool dispatch(const QVector<FamilyId> &order);

    // A descriptor whose name is empty or holds a byte that is no printable ASCII: erased or half-written flash
    // (an interrupted upgrade of a family whose first block holds it), not a model this program does not know.
    static bool descriptorDamaged(const DeviceIdentity &identity);
    // The line logged after "Unknown device" for such a device: the zrtool command that writes it back. It names
    // the family when `known` (device ID -> name identified earlier) or the ID's RDM identifier tells it.
    static QString recoveryAdvice(quint32 deviceId, const QHash<quint32, QByteArray> &known);

    // Name and bootloader version from the 64 decoded descriptor bytes; a text without its own terminator ends
    // at the end of the block (so an unterminated name runs on into the version).
    static DeviceIdentity parseDescriptor(const QByteArray &decoded);

private:
    AppState &m_state;
    Prompts &m_prompts;
    RS485Cable &m_cable;
    quint32 m_connectTarget = 0;
    int m_collisionLimit = 0;
    bool m_collided = false;
};
