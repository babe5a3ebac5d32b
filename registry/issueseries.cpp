// IssueSeries: reservation before the images, confirmation after them, the spool when the registry is away.
#include "registry/issueseries.h"

#include <QCryptographicHash>
#include <QSet>

#include "registry/recorder.h"

QString schemeName(SerialScheme scheme)
{
    return scheme == SerialScheme::New ? QStringLiteral("new") : QStringLiteral("old");
}

IssueSeries::IssueSeries(Recorder &recorder, const BootInputs &inputs, const ProductionRun &run)
    : m_recorder(recorder)
{
    m_ids.reserve(run.count);
    for (int serial = run.firstSerial; serial < run.firstSerial + run.count; ++serial) {
        IssuedId id;
        id.deviceId = productionWord(run.scheme, inputs.rdmId, run.year, run.period, serial);
        id.model = inputs.model;
        id.scheme = schemeName(run.scheme);
        id.year = run.year;
        id.period = run.period;
        id.serial = serial;
        id.serialText = serialString(run.year, run.period, serial);
        id.bench = recorder.bench();
        m_indexOfSerial.insert(serial, m_ids.size());
        m_ids << id;
    }
}

IssueSeries::Check IssueSeries::reserve(bool reissue)
{
    m_collisions.clear();
    Registry *registry = m_recorder.registry();
    if (!registry)
        return Check::Unrecorded;
    switch (registry->reserve(m_ids, reissue, &m_collisions)) {
    case Registry::Reserve::Reserved:
        m_reserved = true;
        return Check::Reserved;
    case Registry::Reserve::Collision:
        return Check::Reused;
    case Registry::Reserve::Error:
        break;
    }
    m_recorder.noteUnreachable(registry->errorText());
    return Check::Unrecorded;
}

QString IssueSeries::collisionRange() const
{
    if (m_collisions.isEmpty())
        return QString();
    const IssuedId &first = m_collisions.constFirst();
    const IssuedId &last = m_collisions.constLast();
    QString range = first.model + QLatin1Char(' ') + first.serialText;
    if (m_collisions.size() > 1)
        range += QStringLiteral("..") + last.serialText;
    return range;
}

QString IssueSeries::collisionDates() const
{
    QStringList days;
    for (const IssuedId &id : m_collisions) {
        const QString day = id.time.toLocalTime().date().toString(Qt::ISODate);
        if (!days.contains(day))
            days << day;
    }
    return days.join(QStringLiteral(", "));
}

void IssueSeries::imageBuilt(int serial, const QByteArray &image)
{
    m_sha256.insert(serial, QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
}

void IssueSeries::imageDone(int serial, const QString &path, bool written)
{
    const QString sha256 = m_sha256.take(serial);
    const auto index = m_indexOfSerial.constFind(serial);
    if (!written || index == m_indexOfSerial.constEnd())
        return; // its reservation is dropped by finish()
    IssuedId id = m_ids.at(*index);
    id.file = path;
    id.sha256 = sha256;
    id.time = QDateTime::currentDateTimeUtc();
    id.written = true;
    m_written << id;
}

SeriesObserver IssueSeries::observer()
{
    SeriesObserver o;
    o.built = [this](int serial, const QByteArray &image) { imageBuilt(serial, image); };
    o.done = [this](int serial, const QString &path, bool written) { imageDone(serial, path, written); };
    return o;
}

void IssueSeries::finish()
{
    if (m_reserved) {
        QSet<quint32> done;
        for (const IssuedId &id : m_written)
            done.insert(id.deviceId);
        QVector<IssuedId> notWritten;
        for (const IssuedId &id : m_ids)
            if (!done.contains(id.deviceId))
                notWritten << id;
        Registry *registry = m_recorder.registry();
        if (registry && registry->confirm(m_written, notWritten))
            return;
        if (registry)
            m_recorder.noteUnreachable(registry->errorText());
    }
    for (const IssuedId &id : m_written)
        m_recorder.spool().add(m_recorder.url(), id);
}
