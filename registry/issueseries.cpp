// IssueSeries: reservation before the images, confirmation after them, the spool when the registry is away.
#include "registry/issueseries.h"

#include <QSet>
#include <QUuid>

#include "registry/recorder.h"

QString schemeName(SerialScheme scheme)
{
    return scheme == SerialScheme::New ? QStringLiteral("new") : QStringLiteral("old");
}

IssueSeries::IssueSeries(Recorder &recorder, const BootInputs &inputs, const ProductionRun &run)
    : m_recorder(recorder), m_inputs(inputs), m_run(run),
      m_recordBase(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    makeIds(run.firstSerial, run.count);
}

void IssueSeries::makeIds(int first, int count)
{
    m_ids.clear();
    m_indexOfSerial.clear();
    m_ids.reserve(count);
    for (int serial = first; serial < first + count; ++serial) {
        IssuedId id;
        id.deviceId = productionWord(m_run.scheme, m_inputs.rdmId, m_run.year, m_run.period, serial);
        id.model = m_inputs.model;
        id.scheme = schemeName(m_run.scheme);
        id.year = m_run.year;
        id.period = m_run.period;
        id.serial = serial;
        id.serialText = serialString(m_run.year, m_run.period, serial);
        id.bench = m_recorder.bench();
        m_indexOfSerial.insert(serial, m_ids.size());
        m_ids << id;
    }
}

QString IssueSeries::problem() const
{
    return m_recorder.problem();
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
    case Registry::Reserve::Busy:
        return Check::Busy;
    case Registry::Reserve::PastEnd:
    case Registry::Reserve::Error:
        break;
    }
    m_recorder.noteUnreachable(registry->errorText());
    return Check::Unrecorded;
}

IssueSeries::Check IssueSeries::reserveNext(int count)
{
    m_collisions.clear();
    Registry *registry = m_recorder.registry();
    if (!registry)
        return Check::Unrecorded;
    const int last = maxSerial(m_run.scheme);
    const quint32 low = productionWord(m_run.scheme, m_inputs.rdmId, m_run.year, m_run.period, 0);
    const quint32 high = productionWord(m_run.scheme, m_inputs.rdmId, m_run.year, m_run.period, last);
    int pastEndFirst = 0;
    QVector<IssuedId> ids;
    const auto idsFrom = [&](int first) {
        if (first + count - 1 > last) {
            pastEndFirst = first;
            return QVector<IssuedId>();
        }
        makeIds(first, count);
        return m_ids;
    };
    switch (registry->reserveNext(low, high, idsFrom, &ids)) {
    case Registry::Reserve::Reserved:
        m_reserved = true;
        return Check::Reserved;
    case Registry::Reserve::PastEnd:
        makeIds(pastEndFirst, 0);
        m_run.firstSerial = pastEndFirst;
        return Check::PastEnd;
    case Registry::Reserve::Collision:
    case Registry::Reserve::Busy:
        m_collisions = registry->issuedAmong(m_ids);
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
    m_sha256.insert(serial, sha256Hex(image));
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
    id.recordId = m_recordBase + QLatin1Char('-') + id.serialText; // unique: one random base per series
    m_written << id;
}

SeriesObserver IssueSeries::observer()
{
    SeriesObserver o;
    o.built = [this](int serial, const QByteArray &image) { imageBuilt(serial, image); };
    o.done = [this](int serial, const QString &path, bool written) { imageDone(serial, path, written); };
    return o;
}

bool IssueSeries::finish()
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
            return true;
        if (registry)
            m_recorder.noteUnreachable(registry->errorText());
    }
    // The images are there: their records must not be lost (their IDs stay reserved until the spool is written).
    bool kept = true;
    for (const IssuedId &id : m_written)
        kept = m_recorder.spoolRecord(id) && kept;
    return kept;
}
