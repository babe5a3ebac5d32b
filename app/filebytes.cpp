// Whole-file reads and all-or-nothing writes.
#include "app/filebytes.h"

#include <QFile>
#include <QSaveFile>

bool readFileBytes(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        *bytes = file.readAll();
        if (file.error() == QFileDevice::NoError)
            return true;
    }
    if (error)
        *error = file.errorString();
    return false;
}

bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}
