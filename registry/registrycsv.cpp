// CSV of issued IDs: RFC 4180 quoting, columns named by the header line.
#include "registry/registrycsv.h"

#include <QHash>
#include <QRegularExpression>

#include "boot/deviceid.h"
#include "builders/bootimage.h"
#include "builders/catalogue.h"
#include "registry/issueseries.h"

namespace {

const QStringList kColumns = {
    QStringLiteral("device_id"), QStringLiteral("model"),     QStringLiteral("scheme"),
    QStringLiteral("year"),      QStringLiteral("period"),    QStringLiteral("serial"),
    QStringLiteral("serial_text"), QStringLiteral("file"),    QStringLiteral("sha256"),
    QStringLiteral("issued_at"), QStringLiteral("bench"),     QStringLiteral("written"),
    QStringLiteral("reissues"),
};

// The longest field a line may hold: a file path, or a bench name; anything longer is refused unread.
constexpr int kMaxField = 4096;
// A header line longer than this is no registry export.
constexpr int kMaxColumns = 64;

// A cell a spreadsheet would run as a formula gets a leading apostrophe (the way spreadsheets mark text); a
// leading apostrophe of the value itself is doubled, so the import can take exactly one off.
QString neutralised(const QString &field)
{
    static const QString risky = QStringLiteral("=+-@\t\r'");
    return !field.isEmpty() && risky.contains(field.at(0)) ? QLatin1Char('\'') + field : field;
}

QString restored(const QString &field)
{
    return field.startsWith(QLatin1Char('\'')) ? field.mid(1) : field;
}

QString quoted(const QString &value)
{
    const QString field = neutralised(value);
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n'))
        && !field.contains(QLatin1Char('\r')))
        return field;
    QString f = field;
    return QLatin1Char('"') + f.replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

// RFC 4180 records over the raw bytes: quoted fields may hold commas, quotes and line breaks. Each record
// knows the line it starts on; a field longer than kMaxField is cut (and the record refused) without being kept.
struct CsvRecord
{
    QStringList fields;
    int line = 0;
    bool tooLong = false;
    bool open = false; // a quote left open at the end of the file
};

class CsvReader
{
public:
    explicit CsvReader(const QByteArray &bytes) : m_bytes(bytes) {}
    bool next(CsvRecord *record)
    {
        *record = CsvRecord();
        if (m_at >= m_bytes.size())
            return false;
        record->line = m_line;
        QByteArray field;
        bool inQuotes = false;
        const auto endField = [&] {
            record->fields << QString::fromUtf8(field);
            field.clear();
        };
        const auto add = [&](char c) {
            if (field.size() < kMaxField)
                field += c;
            else
                record->tooLong = true;
        };
        while (m_at < m_bytes.size()) {
            const char c = m_bytes.at(m_at++);
            if (c == '\n')
                ++m_line;
            if (inQuotes) {
                if (c == '"' && m_at < m_bytes.size() && m_bytes.at(m_at) == '"') {
                    add('"');
                    ++m_at;
                } else if (c == '"') {
                    inQuotes = false;
                } else {
                    add(c);
                }
            } else if (c == '"') {
                inQuotes = true;
            } else if (c == ',') {
                endField();
                if (record->fields.size() > kMaxColumns)
                    record->tooLong = true;
            } else if (c == '\n') {
                break;
            } else if (c == '\r' && m_at < m_bytes.size() && m_bytes.at(m_at) == '\n') {
                continue; // CR LF ends the record at the LF
            } else {
                add(c);
            }
        }
        endField();
        record->open = inQuotes;
        return true;
    }

private:
    const QByteArray &m_bytes;
    int m_at = 0;
    int m_line = 1;
};

bool parseId(const QString &text, quint32 *value)
{
    bool ok = false;
    const QString t = text.trimmed();
    const qulonglong v = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? t.mid(2).toULongLong(&ok, 16)
                                                                                : t.toULongLong(&ok, 10);
    if (!ok || v > 0xFFFFFFFFull)
        return false;
    *value = quint32(v);
    return true;
}

// The fields of a device ID read in one scheme's layout.
struct SchemeFields
{
    int year = 0;
    int period = 0;
    int serial = 0;
};

SchemeFields fieldsIn(SerialScheme scheme, quint32 id)
{
    if (scheme == SerialScheme::New)
        return {int((id >> 19) & 0x1F) + 11, int((id >> 13) & 0x3F), int(id & 0x1FFF)};
    const int bcd = int((id >> 16) & 0xFF);
    return {(bcd >> 4) * 10 + (bcd & 0xF), int((id >> 12) & 0xF), int(id & 0xFFF)};
}

bool modelHasRdm(const QString &model, quint8 rdm, bool *known)
{
    *known = false;
    for (const QVector<CatalogueRow> *rows : {&catalogue(), &upgradeOnlyRows()}) {
        for (const CatalogueRow &row : *rows) {
            if (model != QLatin1String(row.code))
                continue;
            *known = true;
            if (row.rdm == rdm)
                return true;
        }
    }
    return false;
}

} // namespace

QByteArray issuedToCsv(const QVector<IssuedId> &ids)
{
    QString out = kColumns.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const IssuedId &id : ids) {
        const QStringList fields = {
            QStringLiteral("0x%1").arg(id.deviceId, 8, 16, QLatin1Char('0')),
            id.model,
            id.scheme,
            QString::number(id.year),
            QString::number(id.period),
            QString::number(id.serial),
            id.serialText,
            id.file,
            id.sha256,
            registryTime(id.time),
            id.bench,
            id.written ? QStringLiteral("1") : QStringLiteral("0"),
            QString::number(id.reissues),
        };
        QStringList cells;
        for (const QString &f : fields)
            cells << quoted(f);
        out += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return out.toUtf8();
}

CsvRows issuedFromCsv(const QByteArray &csv, const QString &bench)
{
    CsvRows result;
    CsvReader reader(csv);
    CsvRecord record;
    QStringList header;
    if (!reader.next(&record) || record.open || record.tooLong) {
        result.problems << QStringLiteral("line 1: no header line");
        return result;
    }
    QHash<QString, int> column;
    for (int i = 0; i < record.fields.size(); ++i)
        column.insert(record.fields.at(i).trimmed().toLower(), i);
    if (!column.contains(QStringLiteral("device_id")) || !column.contains(QStringLiteral("model"))) {
        result.problems << QStringLiteral("line 1: the header must name the columns device_id and model");
        return result;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    while (reader.next(&record)) {
        const int lineNumber = record.line;
        if (record.fields.size() == 1 && record.fields.constFirst().trimmed().isEmpty())
            continue;
        const auto refuse = [&](const QString &why) { result.problems << QStringLiteral("line %1: %2").arg(lineNumber).arg(why); };
        if (record.open) {
            refuse(QStringLiteral("a quoted field is not closed"));
            continue;
        }
        if (record.tooLong) {
            refuse(QStringLiteral("a field is longer than %1 bytes").arg(kMaxField));
            continue;
        }
        const auto field = [&](const char *name) {
            const int i = column.value(QLatin1String(name), -1);
            return i >= 0 && i < record.fields.size() ? restored(record.fields.at(i).trimmed()) : QString();
        };
        // A number column holds a number or nothing; nothing is taken from the device ID.
        bool typesOk = true;
        const auto number = [&](const char *name, int low, int high, int *value) {
            const QString text = field(name);
            if (text.isEmpty())
                return false;
            bool ok = false;
            const int v = text.toInt(&ok);
            if (!ok || v < low || v > high) {
                refuse(QStringLiteral("%1 '%2' is not a number from %3 to %4").arg(QLatin1String(name), text).arg(low).arg(high));
                typesOk = false;
                return false;
            }
            *value = v;
            return true;
        };
        IssuedId id;
        if (!parseId(field("device_id"), &id.deviceId)) {
            refuse(QStringLiteral("'%1' is not a device ID").arg(field("device_id")));
            continue;
        }
        id.model = field("model");
        if (id.model.isEmpty()) {
            refuse(QStringLiteral("no model"));
            continue;
        }
        bool known = false;
        const quint8 rdm = quint8(id.deviceId >> 24);
        if (!modelHasRdm(id.model, rdm, &known)) {
            refuse(known ? QStringLiteral("device ID 0x%1 carries RDM identifier %2, not that of %3")
                               .arg(id.deviceId, 8, 16, QLatin1Char('0')).arg(rdm).arg(id.model)
                         : QStringLiteral("'%1' is not a model of the catalogue").arg(id.model));
            continue;
        }
        // The scheme as given, else as the ID's layout reads.
        const QString scheme = field("scheme");
        if (!scheme.isEmpty() && scheme != QLatin1String("new") && scheme != QLatin1String("old")) {
            refuse(QStringLiteral("scheme '%1' is neither new nor old").arg(scheme));
            continue;
        }
        const SerialScheme layout = scheme.isEmpty() ? (splitDeviceId(id.deviceId).weekLayout ? SerialScheme::New
                                                                                                  : SerialScheme::Old)
                                                     : (scheme == QLatin1String("new") ? SerialScheme::New
                                                                                       : SerialScheme::Old);
        id.scheme = schemeName(layout);
        const SchemeFields fromId = fieldsIn(layout, id.deviceId);
        id.year = fromId.year;
        id.period = fromId.period;
        id.serial = fromId.serial;
        number("year", 0, 99, &id.year);
        number("period", 1, layout == SerialScheme::New ? 54 : 12, &id.period);
        number("serial", 0, maxSerial(layout), &id.serial);
        int written = 1;
        number("written", 0, 1, &written);
        id.reissues = 0;
        number("reissues", 0, 1000000, &id.reissues);
        if (!typesOk)
            continue;
        if (productionWord(layout, rdm, id.year, id.period, id.serial) != id.deviceId) {
            refuse(QStringLiteral("device ID 0x%1 disagrees with %2 scheme, year %3, %4 %5, serial %6")
                       .arg(id.deviceId, 8, 16, QLatin1Char('0'))
                       .arg(id.scheme)
                       .arg(id.year)
                       .arg(layout == SerialScheme::New ? QStringLiteral("week") : QStringLiteral("month"))
                       .arg(id.period)
                       .arg(id.serial));
            continue;
        }
        id.serialText = serialString(id.year, id.period, id.serial);
        if (!field("serial_text").isEmpty() && field("serial_text") != id.serialText) {
            refuse(QStringLiteral("serial text '%1' disagrees with the device ID (%2)").arg(field("serial_text"), id.serialText));
            continue;
        }
        id.file = field("file");
        id.sha256 = field("sha256").toLower();
        static const QRegularExpression sha(QStringLiteral("^[0-9a-f]{64}$"));
        if (!id.sha256.isEmpty() && !sha.match(id.sha256).hasMatch()) {
            refuse(QStringLiteral("sha256 '%1' is not 64 hexadecimal digits").arg(id.sha256.left(80)));
            continue;
        }
        id.time = field("issued_at").isEmpty() ? now : registryTime(field("issued_at"));
        if (!id.time.isValid()) {
            refuse(QStringLiteral("'%1' is not a time").arg(field("issued_at")));
            continue;
        }
        id.bench = field("bench").isEmpty() ? bench : field("bench");
        if (id.bench.size() > 256 || id.model.size() > 64) {
            refuse(QStringLiteral("a model or bench name this long is no registry's"));
            continue;
        }
        id.written = written != 0;
        result.rows << id;
        result.lines << lineNumber;
    }
    return result;
}
