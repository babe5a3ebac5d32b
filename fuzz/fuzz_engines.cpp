// Fuzz target: reply handling of the cable, Connect and the upgrade engine, fed by a device whose replies the
// input scripts: raw bytes, bytes with a good CRC, or a plausible reply with some bytes changed.
#include <QBuffer>
#include <QHash>
#include <QMap>
#include <QStringList>
#include <cstdint>
#include <cstring>

#include "core/appstate.h"
#include "core/prompts.h"
#include "boot/connectengine.h"
#include "boot/upgradeengine.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "fuzz/fuzzsupport.h"
#include "link/codec.h"
#include "link/rs485cable.h"
#include "tests/support/hurriedprompts.h"

namespace {

constexpr quint32 kDeviceId = 0x0379C02A;

// The input, consumed front to back; exhausted, it reads as silence.
struct Script
{
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    bool done() const { return pos >= size; }
    quint8 byte() { return done() ? 0 : data[pos++]; }
    QByteArray take(int n)
    {
        const int k = int(qMin(size - qMin(pos, size), size_t(n)));
        const QByteArray out(reinterpret_cast<const char *>(data + pos), k);
        pos += size_t(k);
        return out;
    }
};

// One cable with one device behind it. Each read takes its reply from the script:
//   mode & 3 == 0: `len` raw bytes; 1: raw bytes + their CRC; 2: the device's proper reply to the last frame with
//   `len / 2` (offset, xor) changes, its CRC made good again when mode & 4; 3: nothing (a timeout).
//   mode & 8: the reply arrives wrapped in a leading and a trailing 0x00.
class ScriptedDevice : public FtdiDriver
{
public:
    ScriptedDevice(Script &script, const QByteArray &modelCode) : m_script(script), m_model(modelCode) {}

    QMap<quint32, QByteArray> flash; // plain blocks as the host wrote them, by address

    Status createDeviceInfoList(quint32 *count) override
    {
        *count = 1;
        return FT_OK;
    }
    Status getDeviceInfoDetail(quint32, quint32 *flags, quint32 *type, quint32 *id, quint32 *locId, char *serial,
                               char *description, Handle *handle) override
    {
        *flags = 0;
        *type = 8;
        *id = 0x04036001;
        *locId = 0;
        std::strcpy(serial, "FUZZ0001");
        std::strcpy(description, "USB-RS485 Cable");
        *handle = nullptr;
        return FT_OK;
    }
    Status openBySerialNumber(const char *, Handle *handle) override
    {
        *handle = this;
        return FT_OK;
    }
    Status resetDevice(Handle) override { return FT_OK; }
    Status setBaudRate(Handle, quint32) override { return FT_OK; }
    Status setDataCharacteristics(Handle, quint8, quint8, quint8) override { return FT_OK; }
    Status setFlowControl(Handle, quint16, quint8, quint8) override { return FT_OK; }
    Status setLatencyTimer(Handle, quint8) override { return FT_OK; }
    Status getLatencyTimer(Handle, quint8 *ms) override
    {
        *ms = 16;
        return FT_OK;
    }
    Status purge(Handle, quint32) override { return FT_OK; }
    Status setTimeouts(Handle, quint32, quint32) override { return FT_OK; }
    Status setRts(Handle) override { return FT_OK; }
    Status clrRts(Handle) override { return FT_OK; }
    Status setBreakOn(Handle) override { return FT_OK; }
    Status setBreakOff(Handle) override { return FT_OK; }
    Status close(Handle) override { return FT_OK; }

    Status write(Handle, const void *buffer, quint32 length, quint32 *written) override
    {
        m_last = QByteArray(static_cast<const char *>(buffer), int(length));
        if (readU16(m_last, 2) == CMD_WRITE_MEMORY) {
            QByteArray plain = m_last.mid(kMemoryHeaderSize, int(readU32(m_last, 16)));
            DecodeImage(plain.data(), plain.size());
            flash[readU32(m_last, 12)] = plain;
        }
        *written = length;
        return FT_OK;
    }

    Status read(Handle, void *buffer, quint32 length, quint32 *received) override
    {
        *received = 0;
        if (m_script.done())
            return FT_OK;
        const quint8 mode = m_script.byte();
        const int len = m_script.byte();
        QByteArray reply;
        switch (mode & 3) {
        case 0:
            reply = m_script.take(len);
            break;
        case 1:
            reply = withCrc(m_script.take(len));
            break;
        case 2: {
            reply = properReply();
            for (int i = 0; i + 1 < len && !reply.isEmpty(); i += 2) {
                const int at = m_script.byte() % reply.size();
                reply[at] = char(reply[at] ^ m_script.byte());
            }
            if (mode & 4)
                reply = withCrc(reply.left(reply.size() - kCrcSize));
            break;
        }
        default:
            return FT_OK;
        }
        if (mode & 8)
            reply = QByteArray(1, '\0') + reply + QByteArray(1, '\0');
        const quint32 n = qMin(quint32(reply.size()), length);
        std::memcpy(buffer, reply.constData(), n);
        *received = n;
        return FT_OK;
    }

private:
    // What a healthy device answers to the last frame (with CRC): a header, and for reads the data, encoded.
    QByteArray properReply() const
    {
        const quint16 command = readU16(m_last, 2);
        if (command != CMD_READ_MEMORY) {
            QByteArray r(kFrameHeaderSize, '\0');
            putU16(r, 0, kFrameHeaderSize + kCrcSize);
            putU16(r, 2, command);
            putU32(r, 4, HOST_ID);
            putU32(r, 8, kDeviceId);
            return withCrc(r);
        }
        const quint32 address = readU32(m_last, 12);
        const int count = int(qMin(readU32(m_last, 16), 2048u));
        QByteArray data = flash.value(address, QByteArray(count, '\xFF')).left(count);
        if (address == DESCRIPTOR_ADDRESS) {
            data = QByteArray(count, '\0');
            data.replace(0, m_model.size(), m_model);
        }
        EncodeImage(data.data(), data.size());
        QByteArray r(kMemoryHeaderSize, '\0');
        putU16(r, 0, quint16(kMemoryHeaderSize + data.size() + kCrcSize));
        putU16(r, 2, command);
        putU32(r, 4, HOST_ID);
        putU32(r, 8, kDeviceId);
        putU32(r, 12, address);
        putU32(r, 16, quint32(data.size()));
        return withCrc(r + data);
    }

    Script &m_script;
    QByteArray m_model;
    QByteArray m_last;
};

// One upgrade file per family, of the layout its procedure reads, with a header naming the family's first model.
const QHash<QString, QString> &upgradeFiles()
{
    static const QHash<QString, QString> files = [] {
        QHash<QString, QString> out;
        for (const UpgradeFamily &family : upgradeFamilies()) {
            for (const UpgradeLayout &layout : upgradeLayouts()) {
                if (layout.imageSize != family.imageSize || layout.appFirstAddress() != family.firstBlock)
                    continue;
                QByteArray plain(int(layout.imageSize), '\0');
                for (int i = int(layout.appOffset); i < plain.size(); ++i)
                    plain[i] = char(i * 7 + i / 251);
                sealImage(plain, layout);
                QBuffer buffer;
                buffer.open(QIODevice::WriteOnly);
                writeUpgradeFile(&buffer, familyModels(family.id).value(0), kUpgradeFileVersion, plain);
                out.insert(QLatin1String(family.name),
                           fuzz::inputFile(QLatin1String(family.name) + QStringLiteral(".upg"), buffer.data()));
            }
        }
        return out;
    }();
    return files;
}

} // namespace

// Byte 0: bits 0-2 the family, bit 3 "Show all messages", bit 4 Connect (else the family's upgrade at once).
// The rest scripts the replies.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const UpgradeFamily &family = upgradeFamilies().at(data[0] % 8);
    const QByteArray model = familyModels(family.id).value(0).toLatin1();

    Script script{data + 1, size - 1};
    ScriptedDevice device(script, model);
    HurriedPrompts prompts;
    // Cancelled once the script has run out, so that Connect does not try 1000 times in silence.
    prompts.canceled = [&script] { return script.done(); };
    AppState state;
    state.showAllMessages = data[0] & 8;
    QStringList log;
    state.log = [&log](const QString &line) { log << line; };
    for (const UpgradeFamily &f : upgradeFamilies())
        state.lastPaths[UpgradeEngine::lastPathKey(f)] = upgradeFiles().value(QLatin1String(f.name));
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &device, &prompts);

    const UpgradeFamily *ran = &family;
    if (data[0] & 0x10) {
        ConnectEngine(state, prompts, cable).connectAndOffer();
        // The descriptor as received picks the procedure, if any.
        ran = dispatchFamily(state.connectedDeviceName, connectDispatchOrder());
    } else {
        state.targetAddress = 0;
        state.connectedDeviceName = model;
        const UpgradeEngine::Result result = UpgradeEngine(state, prompts, cable).run(family);
        FUZZ_CHECK((result == UpgradeEngine::Result::Done) == log.contains(QStringLiteral("Upgrade succesfull!")));
    }

    if (qEnvironmentVariableIsSet("ZR_FUZZ_LOG")) // for triage: what the window would have shown
        for (const QString &line : log)
            std::fprintf(stderr, "%s\n", qPrintable(line));

    // Success is claimed only when every block of the image went out and read back as written.
    if (log.contains(QStringLiteral("Upgrade succesfull!"))) {
        FUZZ_CHECK(ran);
        const QByteArray image =
                decodedImage(readUpgradeFile(upgradeFiles().value(QLatin1String(ran->name))).image, ran->imageSize);
        for (quint32 a = ran->firstBlock; a != ran->end; a += ran->blockSize)
            FUZZ_CHECK(device.flash.value(a) == image.mid(int(a - FLASH_BASE), int(ran->blockSize)));
    }
    return 0;
}
