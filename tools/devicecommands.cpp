// The service commands and flash tools: frames, block loops, hex input and dumps.
#include "tools/devicecommands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "core/appstate.h"
#include "core/files.h"
#include "core/logcategories.h"
#include "core/prompts.h"
#include "link/codec.h"
#include "link/rs485cable.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Flasher", text);
}

const QString kCrcErr = QStringLiteral("CRC err");
const QString kHexTitle = QStringLiteral("QInputDialog::getText()");
const char *const kBinFilter = "Bin (*.bin)";

// Send reads the first 64 KiB of flash.
constexpr int kSendBlocks = 64;
// Load Bin and Test 1 write from here on (the application area).
constexpr quint32 kLoadBinBase = 0x08008000;
constexpr int kTest1Blocks = 32;
constexpr quint8 kTest1FirstValue = 0x80;
constexpr int kI2cBlock = 512;
constexpr quint32 kRamWriteAddress = 0x20001000;
constexpr int kRamBlock = 512;
constexpr int kWritePatternPreset = 0xAA;

// Read and write limits (ms) of each command's transaction.
struct Limits
{
    int readMs, writeMs;
};
constexpr Limits kRunLimits{100, 100};
constexpr Limits kSendLimits{70, 0};
constexpr Limits kLoadBinLimits{80, 0};
constexpr Limits kI2cReadLimits{200, 200};
constexpr Limits kI2cWriteLimits{500, 0};
constexpr Limits kWriteRamLimits{200, 200};
constexpr Limits kBroadcastLimits{10, 0};
constexpr Limits kDiscoveryLimits{20, 0};
constexpr Limits kFlashToolLimits{140, 0};

// The data of a read reply: from offset 20 up to the CRC, at most the count asked for.
QByteArray replyData(const QByteArray &reply, int count)
{
    return reply.mid(kReplyDataOffset, qBound(0, reply.size() - kReplyDataOffset - kCrcSize, count));
}

bool isHexDigits(const QString &text)
{
    for (const QChar c : text)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
              || (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    return !text.isEmpty();
}

} // namespace

quint32 parseHexText(const QString &text, quint32 fallback)
{
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    if (!isHexDigits(digits))
        return fallback;
    bool ok = false;
    const qulonglong value = digits.toULongLong(&ok, 16);
    return ok && value <= 0xFFFFFFFFull ? quint32(value) : fallback;
}

QByteArray readErasedBlock(QIODevice &device, int size, int *got)
{
    QByteArray block(size, char(0xFF));
    const qint64 n = device.isReadable() ? device.read(block.data(), size) : -1;
    if (got)
        *got = int(qMax<qint64>(n, 0));
    return block;
}

QByteArray readErasedBlock(const QString &path, int size)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly); // an unreadable file leaves the whole block erased
    return readErasedBlock(file, size);
}

QString workingDirName(const QString &name)
{
    return QDir::toNativeSeparators(QStringLiteral("./") + name);
}

DeviceCommands::DeviceCommands(AppState &state, Prompts &prompts, RS485Cable &cable)
    : m_state(state), m_prompts(prompts), m_cable(cable)
{
}

bool DeviceCommands::cableReady()
{
    if (m_cable.ensureOpen())
        return true;
    m_state.log(tr("Connect USB Cable !!!"));
    return false;
}

bool DeviceCommands::exchange(const QByteArray &frame, int readMs, int writeMs, bool logCrcErr, QByteArray *reply)
{
    bool ok = false;
    const QByteArray answer = m_cable.transact(frame, &ok, readMs, writeMs);
    if (!ok && answer.size() >= kFrameHeaderSize + kCrcSize)
        ++m_garbledReplies;
    if (!ok && logCrcErr)
        m_state.log(kCrcErr);
    if (reply)
        *reply = answer;
    return ok;
}

void DeviceCommands::headerCommand(quint16 command, bool openFirst)
{
    if (openFirst && !cableReady())
        return;
    exchange(buildHeaderFrame(command, m_state.targetAddress), kRunLimits.readMs, kRunLimits.writeMs,
             m_state.showAllMessages);
}

void DeviceCommands::run()
{
    // Run opens the cable through its transaction and stays quiet without "Show all messages".
    headerCommand(CMD_RUN, false);
}

void DeviceCommands::runRam()
{
    headerCommand(CMD_RUN_RAM, true);
}

void DeviceCommands::send()
{
    if (!cableReady())
        return;
    for (int i = 0; i < kSendBlocks; ++i)
        exchange(buildMemoryFrame(CMD_READ_MEMORY, m_state.targetAddress, FLASH_BASE + quint32(i * kFlashBlock),
                                  kFlashBlock),
                 kSendLimits.readMs, kSendLimits.writeMs, true);
}

void DeviceCommands::writeMemoryBlock(quint32 address, const QByteArray &block, int readMs)
{
    exchange(buildDataFrame(CMD_WRITE_MEMORY, m_state.targetAddress, address, block), readMs, 0, true);
}

void DeviceCommands::loadBin()
{
    if (!cableReady())
        return;
    const QString path = m_prompts.getOpenFileName(tr("Open File"), QStringLiteral("."), tr(kBinFilter));
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    for (quint32 address = kLoadBinBase;; address += kFlashBlock) {
        int got = 0;
        const QByteArray block = readErasedBlock(file, kFlashBlock, &got);
        if (got == 0)
            break;
        writeMemoryBlock(address, block, kLoadBinLimits.readMs);
    }
}

bool DeviceCommands::saveDump(const QString &defaultName, const QByteArray &bytes)
{
    const QString path = m_prompts.getSaveFileName(tr("Select file"), defaultName, tr(kBinFilter));
    if (path.isEmpty())
        return false;
    // Written whole or not at all: a failed save never leaves a half dump that looks like a good one (a chosen file
    // in a folder that takes no new files is written in place, as it always could be). The proposed name, taken
    // unchanged, is a fixed name in the working directory: a link planted there is not followed.
    const bool proposed = QFileInfo(path).absoluteFilePath() == QFileInfo(defaultName).absoluteFilePath();
    if (proposed ? writeFixedNameFile(path, bytes) : writeFileBytesOrInPlace(path, bytes))
        return true;
    m_state.log(tr("Cannot write file %1").arg(QDir::toNativeSeparators(path)));
    return false;
}

void DeviceCommands::i2cRead()
{
    if (!cableReady())
        return;
    QByteArray reply;
    if (!exchange(buildMemoryFrame(CMD_I2C_READ, m_state.targetAddress, 0, kI2cBlock), kI2cReadLimits.readMs,
                  kI2cReadLimits.writeMs, true, &reply))
        return;
    // I2C data travel plain: saved as received.
    saveDump(workingDirName(QStringLiteral("memoryDump")), replyData(reply, kI2cBlock));
}

void DeviceCommands::i2cWrite()
{
    if (!cableReady())
        return;
    const QString path = m_prompts.getOpenFileName(tr("Select file"), workingDirName(QString()), tr(kBinFilter));
    quint32 address = 0;
    QByteArray block;
    if (!path.isEmpty()) {
        block = readErasedBlock(path, kI2cBlock);
    } else {
        bool ok = false;
        const QString start = m_prompts.getText(kHexTitle, tr("Start addres (hex):"), QStringLiteral("0x0000000"), &ok);
        if (!ok)
            return;
        address = parseHexText(start, 0);
        const QString length = m_prompts.getText(kHexTitle, tr("Length (hex):"), QStringLiteral("0x200"), &ok);
        if (!ok)
            return;
        const quint32 count = parseHexText(length, kI2cBlock);
        const int pattern = m_prompts.getInt(kHexTitle, tr("Pattern:"), 0, 0, 255, 1, &ok);
        if (!ok)
            return;
        // The frame carries at most the command's limit; never build more than that (a typed length may be huge).
        block = QByteArray(int(qMin<quint32>(count, quint32(dataLimit(CMD_I2C_WRITE)))), char(pattern));
    }
    exchange(buildDataFrame(CMD_I2C_WRITE, m_state.targetAddress, address, block), kI2cWriteLimits.readMs,
             kI2cWriteLimits.writeMs, true);
}

void DeviceCommands::test1()
{
    if (!cableReady())
        return;
    for (int i = 0; i < kTest1Blocks; ++i)
        writeMemoryBlock(kLoadBinBase + quint32(i * kFlashBlock), QByteArray(kFlashBlock, char(kTest1FirstValue + i)),
                         kLoadBinLimits.readMs);
}

void DeviceCommands::test2()
{
    for (const char *line : {"a", "e", "b", "f"})
        qCDebug(zrTools) << line;
}

void DeviceCommands::writeRam()
{
    if (!cableReady())
        return;
    QByteArray block(kRamBlock, '\0');
    for (int k = 0; k < kRamBlock; ++k)
        block[k] = char(k % 256);
    exchange(buildDataFrame(CMD_WRITE_RAM, m_state.targetAddress, kRamWriteAddress, block), kWriteRamLimits.readMs,
             kWriteRamLimits.writeMs, true);
}

void DeviceCommands::broadcast(const QByteArray &frame)
{
    if (!cableReady())
        return;
    exchange(frame, kBroadcastLimits.readMs, kBroadcastLimits.writeMs, true);
}

void DeviceCommands::mute()
{
    broadcast(buildMuteFrame());
}

void DeviceCommands::unmute()
{
    broadcast(buildUnmuteFrame());
}

void DeviceCommands::discovery()
{
    if (!cableReady())
        return;
    // Bounded and cancellable: an endless loop on the GUI thread would freeze the window.
    auto progress = m_prompts.progress(tr("Discovery ..."), tr("Cancel"), 0, kDiscoveryExchanges);
    for (int i = 0; i < kDiscoveryExchanges; ++i) {
        progress->setValue(i);
        if (progress->wasCanceled())
            break;
        QByteArray reply;
        if (exchange(buildDiscoveryFrame(0x00000000, 0xFFFFFFFF), kDiscoveryLimits.readMs, kDiscoveryLimits.writeMs,
                     true, &reply))
            m_state.log(tr("Device ID: 0x%1").arg(readU32(reply, 8), 8, 16, QLatin1Char('0')));
        m_prompts.processEvents();
    }
    progress->close();
}

QByteArray DeviceCommands::readFlashRange(quint32 start, quint32 length)
{
    QByteArray dump;
    const quint64 end = quint64(start) + length;
    for (quint64 address = start; address < end && address <= 0xFFFFFFFFull; address += kFlashBlock) {
        QByteArray reply;
        if (!exchange(buildMemoryFrame(CMD_READ_MEMORY, m_state.targetAddress, quint32(address), kFlashBlock),
                      kFlashToolLimits.readMs, kFlashToolLimits.writeMs, true, &reply))
            break;
        // A correct CRC over fewer bytes than a block (two zero bytes pass) is a failed block as well: taking it
        // would shift every later block in the dump.
        if (reply.size() < kReplyDataOffset + kFlashBlock + kCrcSize) {
            m_state.log(kCrcErr);
            break;
        }
        QByteArray data = replyData(reply, kFlashBlock);
        DecodeImage(data.data(), data.size());
        dump += data;
    }
    return dump;
}

void DeviceCommands::readFlash()
{
    if (!cableReady())
        return;
    bool ok = false;
    const QString start = m_prompts.getText(kHexTitle, tr("Start addres (hex):"), QStringLiteral("0x8000000"), &ok);
    if (!ok)
        return;
    const QString length = m_prompts.getText(kHexTitle, tr("Length (hex):"), QStringLiteral("0x2000"), &ok);
    if (!ok)
        return;
    // An unreadable length reads one block, not the preset.
    const QByteArray dump = readFlashRange(parseHexText(start, FLASH_BASE), parseHexText(length, kFlashBlock));
    saveDump(workingDirName(QStringLiteral("flashDump")), dump);
}

void DeviceCommands::writeFlash()
{
    if (!cableReady())
        return;
    bool ok = false;
    const QString start = m_prompts.getText(kHexTitle, tr("Start addres (hex):"), QStringLiteral("0x8000000"), &ok);
    // Cancel here still writes, at the flash base.
    const quint32 address = ok ? parseHexText(start, FLASH_BASE) : FLASH_BASE;
    const QString path = m_prompts.getOpenFileName(tr("Select file"), workingDirName(QString()), tr(kBinFilter));
    QByteArray block;
    if (!path.isEmpty()) {
        block = readErasedBlock(path, kFlashBlock);
    } else {
        const int pattern = m_prompts.getInt(kHexTitle, tr("Pattern  (hex):"), kWritePatternPreset, 0, 255, 1, &ok);
        if (!ok)
            return;
        block = QByteArray(kFlashBlock, char(pattern));
    }
    writeMemoryBlock(address, block, kFlashToolLimits.readMs);
}
