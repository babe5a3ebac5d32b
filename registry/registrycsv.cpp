// CSV of issued IDs: RFC 4180 quoting, columns named by the header line.
#include "registry/registrycsv.h"

#include <QHash>

#include "boot/deviceid.h"
#include "builders/bootimage.h"

namespace {

const QStringList kColumns = {
    QStringLiteral("device_id"), QStringLiteral("model"),     QStringLiteral("scheme"),
    QStringLiteral("year"),      QStringLiteral("period"),    QStringLiteral("serial"),
    QStringLiteral("serial_text"), QStringLiteral("file"),    QStringLiteral("sha256"),
    QStringLiteral("issued_at"), QStringLiteral("bench"),     QStringLiteral("written"),
    QStringLiteral("reissues"),
};

QString quoted(const QString &field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n')))
        return field;
    QString f = field;
    return QLatin1Char('"') + f.replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

// One line's fields; false when a quote is left open.
bool splitLine(const QString &line, QStringList *fields)
{
    fields->clear();
    QString field;
    bool inQuotes = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('"') && i + 1 < line.size() && line.at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                inQuotes = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"')) {
            inQuotes = true;
        } else if (c == QLatin1Char(',')) {
            *fields << field;
            field.clear();
        } else {
            field += c;
        }
    }
    *fields << field;
    return !inQuotes;
}

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
    QStringList lines = QString::fromUtf8(csv).split(QLatin1Char('\n'));
    for (QString &line : lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    QStringList header;
    if (lines.isEmpty() || !splitLine(lines.constFirst(), &header)) {
        result.problems << QStringLiteral("line 1: no header line");
        return result;
    }
    QHash<QString, int> column;
    for (int i = 0; i < header.size(); ++i)
        column.insert(header.at(i).trimmed().toLower(), i);
    if (!column.contains(QStringLiteral("device_id")) || !column.contains(QStringLiteral("model"))) {
        result.problems << QStringLiteral("line 1: the header must name the columns device_id and model");
        return result;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int n = 1; n < lines.size(); ++n) {
        const QString &line = lines.at(n);
        if (line.trimmed().isEmpty())
            continue;
        const int lineNumber = n + 1;
        QStringList fields;
        if (!splitLine(line, &fields)) {
            result.problems << QStringLiteral("line %1: a quoted field is not closed").arg(lineNumber);
            continue;
        }
        const auto field = [&](const char *name) {
            const int i = column.value(QLatin1String(name), -1);
            return i >= 0 && i < fields.size() ? fields.at(i).trimmed() : QString();
        };
        IssuedId id;
        if (!parseId(field("device_id"), &id.deviceId)) {
            result.problems << QStringLiteral("line %1: '%2' is not a device ID").arg(lineNumber).arg(field("device_id"));
            continue;
        }
        id.model = field("model");
        if (id.model.isEmpty()) {
            result.problems << QStringLiteral("line %1: no model").arg(lineNumber);
            continue;
        }
        // What a spreadsheet leaves out is read from the device ID itself.
        const DeviceIdFields parts = splitDeviceId(id.deviceId);
        id.scheme = field("scheme").isEmpty() ? (parts.weekLayout ? QStringLiteral("new") : QStringLiteral("old"))
                                              : field("scheme");
        id.year = field("year").isEmpty() ? parts.year : field("year").toInt();
        id.period = field("period").isEmpty() ? parts.monthOrWeek : field("period").toInt();
        id.serial = field("serial").isEmpty() ? parts.serial : field("serial").toInt();
        id.serialText = field("serial_text").isEmpty() ? serialString(id.year, id.period, id.serial)
                                                       : field("serial_text");
        id.file = field("file");
        id.sha256 = field("sha256");
        id.time = field("issued_at").isEmpty() ? now : registryTime(field("issued_at"));
        if (!id.time.isValid()) {
            result.problems << QStringLiteral("line %1: '%2' is not a time").arg(lineNumber).arg(field("issued_at"));
            continue;
        }
        id.bench = field("bench").isEmpty() ? bench : field("bench");
        id.written = field("written") != QLatin1String("0");
        id.reissues = field("reissues").toInt();
        result.rows << id;
        result.lines << lineNumber;
    }
    return result;
}
