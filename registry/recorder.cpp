// Recorder: opens the registry lazily, falls back to the spool, and words the notices about it.
#include "registry/recorder.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QUuid>
#ifdef ZR_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#endif

#include "core/files.h"
#include "registry/registryurl.h"

QString sha256Hex(const QByteArray &bytes)
{
#ifdef ZR_HAVE_LIBCRYPTO
    // libcrypto's SHA-256 uses the CPU's SHA extensions or vector units: several times Qt's portable C, which
    // was half the CPU time of a recorded boot series.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &size, EVP_sha256(), nullptr) == 1)
        return QString::fromLatin1(QByteArray::fromRawData(reinterpret_cast<const char *>(digest), int(size)).toHex());
#endif
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

Recorder::Recorder(const QString &url, const QString &bench, const QString &spoolPath)
    : m_url(url), m_bench(bench), m_spool(spoolPath)
{
}

QString Recorder::shownUrl() const
{
    return maskedRegistryUrl(m_url);
}

Registry *Recorder::registry()
{
    if (m_registry)
        return m_registry.get();
    auto registry = std::make_unique<Registry>();
    if (!registry->open(m_url)) {
        m_problem = registry->errorText();
        return nullptr;
    }
    m_registry = std::move(registry);
    QVector<QPair<IssuedId, IssuedId>> reissued;
    QString why;
    if (m_spool.flush(*m_registry, &reissued, &why) < 0)
        m_notices << QStringLiteral("The spool %1 could not be written into the production registry: %2")
                         .arg(m_spool.path(), why);
    for (const auto &pair : reissued)
        m_notices << QStringLiteral("Spooled image %1 (%2 %3) reissued device ID 0x%4, issued before on %5 by %6 "
                                    "(%7): recorded as a reissue")
                         .arg(pair.first.file, pair.first.model, pair.first.serialText)
                         .arg(pair.first.deviceId, 8, 16, QLatin1Char('0'))
                         .arg(registryTime(pair.second.time), pair.second.bench, pair.second.file);
    return m_registry.get();
}

void Recorder::noteUnreachable(const QString &problem)
{
    m_problem = problem;
}

bool Recorder::spooled(bool added, const QString &why, const QString &what)
{
    if (!added) {
        m_lost = true;
        m_notices << QStringLiteral("Production registry %1 cannot be reached (%2), and the spool cannot be written "
                                    "either (%3): the record of %4 is lost")
                         .arg(shownUrl(), m_problem, why, what);
        return false;
    }
    if (!m_noticed) {
        m_noticed = true;
        m_notices << QStringLiteral("Production registry %1 cannot be reached (%2): records are kept in %3 until it "
                                    "can")
                         .arg(shownUrl(), m_problem, m_spool.path());
    }
    return true;
}

bool Recorder::spoolRecord(const UpgradeRecord &record)
{
    QString why;
    const bool added = m_spool.add(m_url, record, &why);
    return spooled(added, why, QStringLiteral("the upgrade of 0x%1").arg(record.deviceId, 8, 16, QLatin1Char('0')));
}

bool Recorder::spoolRecord(const IssuedId &id)
{
    QString why;
    const bool added = m_spool.add(m_url, id, &why);
    return spooled(added, why, QStringLiteral("the image %1").arg(id.file));
}

QString Recorder::takeNotice()
{
    const QString notice = m_notices.join(QLatin1Char('\n'));
    m_notices.clear();
    return notice;
}

void Recorder::recordUpgrade(UpgradeRecord record)
{
    if (record.bench.isEmpty())
        record.bench = m_bench;
    if (!record.time.isValid())
        record.time = QDateTime::currentDateTimeUtc();
    if (record.recordId.isEmpty())
        record.recordId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    Registry *r = registry();
    if (r && r->recordUpgrade(record))
        return;
    if (r)
        noteUnreachable(r->errorText());
    spoolRecord(record);
}

void Recorder::recordUpgrade(const UpgradeReport &report)
{
    UpgradeRecord record;
    record.time = report.started;
    record.cableSerial = report.cableSerial;
    record.deviceId = report.deviceId;
    record.model = QString::fromLatin1(report.model);
    record.bootVersion = QString::fromLatin1(report.bootVersion);
    record.file = QFileInfo(report.path).fileName();
    if (report.image.size() >= 2)
        record.crc = quint16(quint8(report.image.at(report.image.size() - 2))
                             | quint8(report.image.at(report.image.size() - 1)) << 8);
    QByteArray bytes;
    if (readFileBytes(report.path, &bytes))
        record.sha256 = sha256Hex(bytes);
    record.fast = report.fastReplies;
    record.result = report.done ? QStringLiteral("done")
                    : report.interrupted ? QStringLiteral("interrupted") : QStringLiteral("failed");
    if (!report.done && !report.cause.isEmpty())
        record.result += QStringLiteral(": ") + report.cause;
    record.durationMs = report.durationMs;
    recordUpgrade(record);
}
