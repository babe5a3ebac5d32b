// The firmware upgrade of one family: file choice and checks, then write and read-back of every block.
#include "boot/upgradeengine.h"

#include <QFile>

#include "core/appstate.h"
#include "core/files.h"
#include "core/logcategories.h"
#include "core/prompts.h"
#include "builders/upgradefile.h"
#include "link/codec.h"
#include "link/rs485cable.h"

namespace {
// Write frames are handed over at once; only the reply window matters.
constexpr int kWriteLimitMs = 0;
constexpr int kRunReadMs = 100;
constexpr int kRunWriteMs = 100;
// F405RG: the 128 KiB sector 5 at 0x08020000 holds the whole application; erasing it takes up to ~1 s.
constexpr quint8 kAppSector = 5;
constexpr int kEraseReadMs = 1500;
// F100C6: a block is tried at most this often after a difference; above kAskBelow retries go without asking.
constexpr int kRetries = 100;
constexpr int kAskBelow = 70;

QString addressText(quint32 address)
{
    return QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0'));
}

// Diagnostic dump; a failure to write it must not stop the upgrade, so it is only traced.
void writeDump(const char *name, const QByteArray &bytes)
{
    QString error;
    if (!writeFixedNameFile(QString::fromLatin1(name), bytes, &error)) // a planted link is never followed
        qCDebug(zrBoot) << "cannot write" << name << error;
}
} // namespace

UpgradeEngine::UpgradeEngine(AppState &state, Prompts &prompts, RS485Cable &cable)
    : m_state(state), m_prompts(prompts), m_cable(cable)
{
}

QString UpgradeEngine::lastPathKey(const UpgradeFamily &family)
{
    return QStringLiteral("upgrade ") + QLatin1String(family.name);
}

QString UpgradeEngine::headerRefusal(const UpgradeFamily &family, const QString &header) const
{
    const QString device = QString::fromLatin1(m_state.connectedDeviceName);
    const QString wrongHeader = QStringLiteral("Wrong file header");
    switch (family.headerRule) {
    case HeaderRule::None:
        return QString();
    case HeaderRule::F405Refusals:
        if (device == QLatin1String("Zr627"))
            return QStringLiteral("Wrong upgrade procedure, choose STM32F103RC");
        if (device == QLatin1String("Zr436") || device == QLatin1String("Zr680") || device == QLatin1String("Zr491"))
            return QStringLiteral("Wrong upgrade procedure, choose STM32F100C6");
        Q_FALLTHROUGH();
    case HeaderRule::Zr501Zr498:
        if ((device == QLatin1String("Zr501") || device == QLatin1String("Zr498"))
            && header != upgradeFileHeader(device))
            return wrongHeader;
        return QString();
    case HeaderRule::F100C6:
        if (familyModels(FamilyId::F100C8).contains(device))
            return QStringLiteral("Wrong upgrade procedure, choose STM32F100C8");
        if (familyModels(FamilyId::F103RC).contains(device))
            return QStringLiteral("Wrong upgrade procedure, choose STM32F103RC");
        return header == upgradeFileHeader(device) ? QString() : wrongHeader;
    }
    return QString();
}

UpgradeEngine::Result UpgradeEngine::run(const UpgradeFamily &family)
{
    if (!m_cable.ensureOpen()) {
        m_state.log(tr("Connect USB Cable !!!"));
        return Result::NotStarted;
    }
    const QString key = lastPathKey(family);
    const QString path = m_prompts.getOpenFileName(tr("Open File"), m_state.lastPath(key), tr("Upg (*.upg)"));
    if (path.isNull()) {
        m_state.log(tr("No upgrade file selected"));
        return Result::NotStarted;
    }
    m_state.lastPaths[key] = path;
    qCDebug(zrBoot) << "Start firmware upgrade";
    m_state.log(path);

    // A file that cannot be opened reads as empty texts and fails the checks below.
    const UpgradeFile file = readUpgradeFile(path);
    const QString refusal = headerRefusal(family, file.header);
    if (!refusal.isEmpty()) {
        m_state.log(refusal);
        return Result::NotStarted;
    }
    if (file.version != kUpgradeFileVersion) {
        m_state.log(tr("Wrong file version"));
        m_state.log(file.version);
        return Result::NotStarted;
    }
    // A short image is refused before anything (the erase included) is sent.
    const QByteArray image = decodedImage(file.image, family.imageSize);
    if (image.isEmpty()) {
        m_state.log(tr("Wrong file size"));
        return Result::NotStarted;
    }

    if (family.eraseSector) {
        m_state.log(tr("Erasing firmware ... "));
        bool ok = false;
        // The reply is not examined: a failed erase shows up as a compare error of the first block.
        m_cable.transact(buildEraseFrame(m_state.targetAddress, kAppSector), &ok, kEraseReadMs, kWriteLimitMs);
    }

    m_state.log(tr("Writing firmware ... "));
    std::unique_ptr<ProgressDialog> progress =
            m_prompts.progress(tr("Writing firmware ... "), tr("Cancel"), int(family.firstBlock), int(family.end));
    // The duration on the cable's clock: the wall clock with a cable, simulated time on a simulated bus.
    const qint64 startUs = m_cable.clockUs();
    const QDateTime started = QDateTime::currentDateTimeUtc();
    const bool written = writeBlocks(family, image, *progress);
    if (m_state.upgradeFinished) {
        UpgradeReport report;
        report.path = path;
        report.image = image;
        report.cableSerial = QString::fromLatin1(m_cable.serialNumber());
        report.deviceId = m_state.connectedDeviceId;
        report.model = m_state.connectedDeviceName;
        report.bootVersion = m_state.connectedBootVersion;
        report.done = written;
        report.interrupted = m_interrupted;
        report.cause = m_cause;
        report.fastReplies = m_cable.fastReplies();
        report.started = started;
        report.durationMs = (m_cable.clockUs() - startUs) / 1000;
        m_state.upgradeFinished(report);
    }
    if (!written) {
        progress->close();
        if (m_interrupted) {
            m_state.log(m_cause);
            return Result::Interrupted;
        }
        return Result::Failed;
    }

    m_state.log(tr("Upgrade succesfull!"));
    if (m_prompts.question(tr("Upgrade succesfull!"), tr("Do you want run firmware?"), Prompts::Yes | Prompts::No,
                           Prompts::NoButton)
        == Prompts::Yes) {
        bool ok = false;
        m_cable.transact(buildRunFrame(m_state.targetAddress), &ok, kRunReadMs, kRunWriteMs);
    }
    progress->close();
    return Result::Done;
}

bool UpgradeEngine::writeBlocks(const UpgradeFamily &family, const QByteArray &image, ProgressDialog &progress)
{
    int retriesLeft = kRetries;
    // The dialog's Cancel does not interrupt: a half-written application is worse than waiting.
    for (quint32 address = family.firstBlock; address != family.end;) {
        if (m_state.interrupted && m_state.interrupted()) {
            m_interrupted = true;
            m_cause = tr("interrupted before the block at 0x%1").arg(addressText(address));
            return false;
        }
        const QByteArray block = image.mid(int(address - UpgradeLayout::kFlashBase), int(family.blockSize));
        if (family.pageLog == PageLog::BeforeWriteAndAfterReadIfShowAll)
            logPageLine(address);
        progress.setValue(int(address));

        QByteArray readBack;
        const BlockResult result = m_retries < 0 ? writeBlock(family, address, block, &readBack)
                                                 : writeBlockCarefully(family, address, block, &readBack);
        if (result == BlockResult::WriteFailed || result == BlockResult::ReadFailed) {
            if (m_retries < 0) {
                m_state.log(QStringLiteral("CRC err"));
                m_cause = tr("block 0x%1: no reply or a wrong CRC to the write").arg(addressText(address));
            } else {
                m_state.log(m_cause);
            }
            return false;
        }
        if (result == BlockResult::Differs) {
            m_cause = tr("block 0x%1: the read-back differs from the file (compare)").arg(addressText(address));
            switch (family.onDifference) {
            case OnDifference::StopTwice:
                m_state.log(tr("Memory compare Error"));
                Q_FALLTHROUGH();
            case OnDifference::StopOnce:
                m_state.log(tr("Memory compare Error"));
                if (m_retries >= 0)
                    m_state.log(m_cause);
                return false;
            case OnDifference::RetryWithDumps:
                if (!retryAfterDifference(address, block, readBack, &retriesLeft)) {
                    if (m_retries >= 0)
                        m_state.log(m_cause);
                    return false;
                }
                continue; // the same block again
            }
        }
        retriesLeft = kRetries;
        m_prompts.processEvents();
        address += family.blockSize;
    }
    return true;
}

UpgradeEngine::BlockResult UpgradeEngine::writeBlock(const UpgradeFamily &family, quint32 address,
                                                     const QByteArray &block, QByteArray *readBack)
{
    bool ok = false;
    m_cable.transact(buildDataFrame(CMD_WRITE_MEMORY, m_state.targetAddress, address, block), &ok,
                     family.readLimitMs, kWriteLimitMs);
    if (!ok)
        return BlockResult::WriteFailed;

    // Only the comparison decides: the read reply's CRC flag is not looked at.
    const QByteArray reply =
            m_cable.transact(buildMemoryFrame(CMD_READ_MEMORY, m_state.targetAddress, address, family.blockSize),
                             &ok, family.readLimitMs, kWriteLimitMs);
    if (family.pageLog != PageLog::Never && m_state.showAllMessages)
        logPageLine(address);

    const int dataSize = reply.size() - kReplyDataOffset - kCrcSize;
    *readBack = dataSize > 0 ? reply.mid(kReplyDataOffset, dataSize) : QByteArray();
    DecodeImage(readBack->data(), readBack->size());
    if (family.readBackToDebug)
        qCDebug(zrBoot).noquote() << formatHexDump(*readBack);
    return readBack->size() >= block.size() && readBack->left(block.size()) == block ? BlockResult::Verified
                                                                                     : BlockResult::Differs;
}

QByteArray UpgradeEngine::readBack(const UpgradeFamily &family, quint32 address, QString *why)
{
    bool ok = false;
    const QByteArray reply =
            m_cable.transact(buildMemoryFrame(CMD_READ_MEMORY, m_state.targetAddress, address, family.blockSize),
                             &ok, family.readLimitMs, kWriteLimitMs);
    if (reply.isEmpty()) {
        *why = tr("no reply");
        return QByteArray();
    }
    if (!ok) {
        *why = tr("a wrong CRC in the reply");
        return QByteArray();
    }
    // A read reply repeats the request's memory header: one for another request is a late straggler.
    if (reply.size() < kReplyDataOffset + int(family.blockSize) + kCrcSize || readU16(reply, 2) != CMD_READ_MEMORY
        || readU32(reply, 12) != address) {
        *why = tr("a reply to another request");
        return QByteArray();
    }
    QByteArray data = reply.mid(kReplyDataOffset, int(family.blockSize));
    DecodeImage(data.data(), data.size());
    return data;
}

// Only a read-back decides, never a missing reply: a lost write reply is followed by a read of the block, and a
// block is written again only while it still reads erased (writing over a half-programmed block of a sector
// family would leave it garbled).
UpgradeEngine::BlockResult UpgradeEngine::writeBlockCarefully(const UpgradeFamily &family, quint32 address,
                                                              const QByteArray &block, QByteArray *readBack)
{
    const QString where = tr("block 0x%1: ").arg(addressText(address));
    int retriesLeft = m_retries;
    bool write = true;
    QString writeProblem; // of the last write sent; empty once one was acknowledged
    for (;;) {
        if (write) {
            bool ok = false;
            const QByteArray reply = m_cable.transact(
                    buildDataFrame(CMD_WRITE_MEMORY, m_state.targetAddress, address, block), &ok, family.readLimitMs,
                    kWriteLimitMs);
            writeProblem.clear();
            if (reply.isEmpty())
                writeProblem = tr("no reply");
            else if (!ok)
                writeProblem = tr("a wrong CRC in the reply");
            else if (reply.size() < kFrameHeaderSize + kCrcSize || readU16(reply, 2) != CMD_WRITE_MEMORY)
                writeProblem = tr("a reply to another request");
        }
        QString readProblem;
        *readBack = this->readBack(family, address, &readProblem);
        if (family.pageLog != PageLog::Never && m_state.showAllMessages)
            logPageLine(address);
        if (family.readBackToDebug)
            qCDebug(zrBoot).noquote() << formatHexDump(*readBack);
        if (*readBack == block)
            return BlockResult::Verified;
        if (retriesLeft-- <= 0) {
            const QString tries = m_retries == 0 ? tr("1 try") : tr("%1 tries").arg(m_retries + 1);
            if (!readProblem.isEmpty()) {
                m_cause = where + tr("%1 to the read-back, %2").arg(readProblem, tries);
                return BlockResult::ReadFailed;
            }
            if (!writeProblem.isEmpty()) {
                m_cause = where + tr("%1 to the write, %2").arg(writeProblem, tries);
                return BlockResult::WriteFailed;
            }
            return BlockResult::Differs;
        }
        write = false;
        if (!readProblem.isEmpty() || writeProblem.isEmpty())
            continue; // the same read again (after an acknowledged write, a difference is read once more too)
        // The write went unacknowledged and the block reads back different: write it again only while erased.
        if (readBack->count(char(0xFF)) != readBack->size()) {
            m_cause = where + tr("%1 to the write, and the block reads neither written nor erased")
                                      .arg(writeProblem);
            return BlockResult::WriteFailed;
        }
        write = true;
    }
}

bool UpgradeEngine::retryAfterDifference(quint32 address, const QByteArray &expected, const QByteArray &readBack,
                                         int *retriesLeft)
{
    writeDump(kWrittenDumpName, expected);
    writeDump(kReadDumpName, readBack);
    m_state.log(tr("Memory compare Error @ adr= 0x%1").arg(addressText(address)));
    m_prompts.processEvents();
    if (*retriesLeft >= kAskBelow) {
        --*retriesLeft;
        return true;
    }
    const Prompts::Button answer = m_prompts.warning(
            tr("Error"), tr("Memory compare Error @ adr= 0x%1\nContinue?").arg(addressText(address)),
            Prompts::Yes | Prompts::No, Prompts::NoButton);
    if (answer == Prompts::Yes && *retriesLeft > 0) {
        --*retriesLeft;
        return true;
    }
    return false;
}

void UpgradeEngine::logPageLine(quint32 address)
{
    m_state.log(tr("Page address 0x%1 OK").arg(addressText(address)));
}
