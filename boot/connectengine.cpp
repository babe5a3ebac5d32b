// "Connect": catching a bootloader while the device is power-cycled, identifying it, offering the upgrade,
// and the dispatch of a device name to its family's upgrade.
#include "boot/connectengine.h"

#include "core/appstate.h"
#include "core/logcategories.h"
#include "core/prompts.h"
#include "boot/deviceid.h"
#include "boot/upgradeengine.h"
#include "builders/catalogue.h"
#include "builders/upgradewriter.h"
#include "link/codec.h"
#include "link/rs485cable.h"

namespace {
constexpr int kReadMs = 100;
constexpr int kWriteMs = 100;

QString hex(quint32 value)
{
    return QString::number(value, 16);
}

// The one family of every catalogue model carrying this RDM identifier; nullptr when they differ or none does.
const UpgradeFamily *familyOfRdm(quint8 rdm)
{
    const UpgradeFamily *found = nullptr;
    for (const QVector<CatalogueRow> *rows : {&catalogue(), &upgradeOnlyRows()}) {
        for (const CatalogueRow &row : *rows) {
            if (row.rdm != rdm)
                continue;
            const UpgradeFamily *family = dispatchFamily(QByteArray(row.code), connectDispatchOrder());
            if (!family || (found && found != family))
                return nullptr;
            found = family;
        }
    }
    return found;
}

// The C string starting at `offset`, ending at its terminator or at the end of the bytes.
QByteArray cString(const QByteArray &bytes, int offset)
{
    const QByteArray rest = bytes.mid(offset);
    const int zero = rest.indexOf('\0');
    return zero < 0 ? rest : rest.left(zero);
}
} // namespace

ConnectEngine::ConnectEngine(AppState &state, Prompts &prompts, RS485Cable &cable)
    : m_state(state), m_prompts(prompts), m_cable(cable)
{
}

DeviceIdentity ConnectEngine::parseDescriptor(const QByteArray &decoded)
{
    DeviceIdentity identity;
    identity.name = cString(decoded, 0);
    identity.bootVersion = cString(decoded, kDescriptorNameSize);
    return identity;
}

bool ConnectEngine::identify(DeviceIdentity *identity)
{
    m_cable.armReplyFraming();
    m_state.targetAddress = m_connectTarget;
    m_collided = false;
    if (!m_cable.ensureOpen()) {
        m_state.log(tr("Connect USB Cable !!!"));
        return false;
    }
    std::unique_ptr<ProgressDialog> progress = m_prompts.progress(
            tr("1. Connect USB-RS Cable\n2.Reset Power Suppply of device"), QStringLiteral("Cancel"), 0, kAttempts);

    int garbledInARow = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        progress->setValue(attempt);
        if (progress->wasCanceled())
            break;
        // Each attempt may meet a freshly powered device on another interface: detect the framing again.
        m_cable.armReplyFraming();
        bool ok = false;
        const QByteArray reply = m_cable.transact(buildConnectFrame(m_state.targetAddress), &ok, kReadMs, kWriteMs);
        if (m_state.showAllMessages)
            m_state.log(formatHexDump(reply));
        // A reply too short for its header counts as a wrong one.
        if (!ok || reply.size() - kCrcSize < kFrameHeaderSize) {
            if (m_state.showAllMessages) {
                m_state.log(QStringLiteral("CRC err"));
                m_state.log(formatHexDump(reply));
            }
            // A reply of full length that fails its CRC, again and again: replies laid over each other.
            garbledInARow = reply.size() - kCrcSize >= kFrameHeaderSize ? garbledInARow + 1 : 0;
            if (m_collisionLimit > 0 && garbledInARow >= m_collisionLimit) {
                m_collided = true;
                break;
            }
            m_cable.finishWindow(); // an attempt without a correct reply lasts its whole window, fast or not
            continue;
        }
        garbledInARow = 0;
        const quint32 deviceId = readU32(reply, 8);
        qCDebug(zrBoot).noquote() << "length" << hex(readU16(reply, 0)) << "command" << hex(readU16(reply, 2))
                                  << "destination" << hex(readU32(reply, 4)) << "source" << hex(deviceId);
        m_state.log(hex(deviceId));

        // The descriptor is read from the device that answered, whatever the target address says.
        const QByteArray descriptorReply = m_cable.transact(
                buildMemoryFrame(CMD_READ_MEMORY, deviceId, kDescriptorAddress, kDescriptorSize), &ok, kReadMs,
                kWriteMs);
        if (m_state.showAllMessages)
            m_state.log(formatHexDump(descriptorReply));
        if (!ok || descriptorReply.size() - kCrcSize < kReplyDataOffset + kDescriptorSize) {
            m_state.log(QStringLiteral("CRC error, continue"));
            m_cable.finishWindow();
            continue;
        }
        progress->close();
        progress.reset();

        QByteArray descriptor = descriptorReply.mid(kReplyDataOffset, kDescriptorSize);
        DecodeImage(descriptor.data(), descriptor.size());
        *identity = parseDescriptor(descriptor);
        identity->deviceId = deviceId;
        m_state.connectedDeviceName = identity->name;
        if (!descriptorDamaged(*identity))
            m_state.identifiedNames.insert(deviceId, identity->name);
        m_state.connectedDeviceId = deviceId;
        m_state.connectedBootVersion = identity->bootVersion;
        m_state.log(QStringLiteral("ID: ") + deviceIdText(deviceId) + QLatin1Char('\t')
                    + QString::fromLatin1(identity->name));
        return true;
    }
    progress->close();
    return false;
}

bool ConnectEngine::askUpgrade(const DeviceIdentity &identity)
{
    const QString text = QStringLiteral("ID: ") + deviceIdText(identity.deviceId) + QStringLiteral("\nDevice: ")
                         + QString::fromLatin1(identity.name) + QStringLiteral("\nBoot version: ")
                         + QString::fromLatin1(identity.bootVersion) + tr("\n\nDo you want upgrade firmware?");
    return m_prompts.question(tr("TEVANO Bootloader founded..."), text, Prompts::Yes | Prompts::No, Prompts::Yes)
           == Prompts::Yes;
}

void ConnectEngine::connectAndOffer()
{
    DeviceIdentity identity;
    if (identify(&identity) && askUpgrade(identity) && !dispatch(connectDispatchOrder())
        && descriptorDamaged(identity))
        m_state.log(recoveryAdvice(identity.deviceId, m_state.identifiedNames));
}

bool ConnectEngine::dispatch(const QVector<FamilyId> &order)
{
    const UpgradeFamily *family = dispatchFamily(m_state.connectedDeviceName, order);
    if (!family) {
        m_state.log(QStringLiteral("Unknown device"));
        return false;
    }
    UpgradeEngine(m_state, m_prompts, m_cable).run(*family);
    return true;
}

bool ConnectEngine::descriptorDamaged(const DeviceIdentity &identity)
{
    return !printableDescriptorName(identity.name);
}

QString ConnectEngine::recoveryAdvice(quint32 deviceId, const QHash<quint32, QByteArray> &known)
{
    const UpgradeFamily *family = known.contains(deviceId)
                                          ? dispatchFamily(known.value(deviceId), connectDispatchOrder())
                                          : familyOfRdm(quint8(deviceId >> 24));
    const QString command = QStringLiteral("zrtool upgrade --family %1 --target 0x%2 --force FILE.upg")
                                    .arg(family ? QLatin1String(family->name) : QLatin1String("FAMILY"))
                                    .arg(deviceId, 8, 16, QLatin1Char('0'));
    return family ? tr("Descriptor blank or unreadable; to restore the device run: %1").arg(command)
                  : tr("Descriptor blank or unreadable; to restore the device run: %1 "
                       "(FAMILY: its upgrade procedure, e.g. STM32F030F4)")
                            .arg(command);
}
