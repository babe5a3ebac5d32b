// The main window's side of the production registry: its recorder, the one notice, and the upgrade records.
#include "app/flasher.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include "app/filebytes.h"
#include "registry/recorder.h"

Recorder &Flasher::recorder()
{
    if (!m_recorder)
        m_recorder = std::make_unique<Recorder>();
    return *m_recorder;
}

void Flasher::logRegistryNotice()
{
    if (!m_recorder)
        return;
    const QString notice = m_recorder->takeNotice();
    if (!notice.isEmpty())
        log(notice);
}

void Flasher::recordUpgrade(const UpgradeReport &report)
{
    UpgradeRecord record;
    record.time = QDateTime::currentDateTimeUtc().addMSecs(-report.durationMs);
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
        record.sha256 = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    record.result = report.done ? QStringLiteral("done") : QStringLiteral("failed");
    record.durationMs = report.durationMs;
    recorder().recordUpgrade(record);
    logRegistryNotice();
}
