// Issued IDs as CSV: the export of the registry and the import that seeds it from a spreadsheet.
#pragma once

#include <QByteArray>
#include <QStringList>
#include <QVector>

#include "registry/records.h"

// A header line and one line per ID; the columns are those the import reads back.
QByteArray issuedToCsv(const QVector<IssuedId> &ids);

struct CsvRows
{
    QVector<IssuedId> rows;
    QVector<int> lines;   // the file line of each row (1-based, the header is line 1)
    QStringList problems; // "line 7: ..." for lines that could not be read
};

// Columns by the header's names; device_id (0x-hex or decimal) and model are required, the others optional:
// scheme, year, period and serial then come from the device ID, the time is now, the bench is `bench`.
CsvRows issuedFromCsv(const QByteArray &csv, const QString &bench);
