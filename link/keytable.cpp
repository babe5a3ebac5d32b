// Reading, checking and installing a key table file.
#include "link/keytable.h"

#include <QFile>

#include "core/files.h"
#include "link/codec.h"

namespace {
// A key file is a few hundred bytes: reading stops well beyond that, so /dev/zero or a FIFO cannot hold us.
constexpr qint64 kMaxKeyFileSize = 4096;
bool readKeyFile(const QString &path, QByteArray *text, QString *why)
{
    if (!checkInputFile(path, kMaxKeyFileSize, why)) // a FIFO would block the open itself
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    *text = file.read(kMaxKeyFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        *why = file.errorString();
        return false;
    }
    if (text->size() > kMaxKeyFileSize) {
        *why = QStringLiteral("larger than %1 bytes").arg(kMaxKeyFileSize);
        return false;
    }
    return true;
}
} // namespace

bool parseKeyTable(const QByteArray &text, KeyTable *table, QString *problem)
{
    const QList<QByteArray> words = text.simplified().split(' ');
    const int count = text.trimmed().isEmpty() ? 0 : words.size();
    if (count != 32) {
        *problem = QStringLiteral("%1 word%2, 32 needed").arg(count).arg(count == 1 ? "" : "s");
        return false;
    }
    for (int i = 0; i < 32; ++i) {
        QByteArray word = words.at(i);
        if (word.startsWith("0x") || word.startsWith("0X"))
            word = word.mid(2);
        bool ok = word.size() >= 1 && word.size() <= 8;
        for (char c : word)
            ok = ok && QByteArray("0123456789abcdefABCDEF").contains(c);
        if (!ok) {
            *problem = QStringLiteral("word %1 (\"%2\") is not a 32-bit hexadecimal number")
                               .arg(i + 1)
                               .arg(QString::fromLatin1(words.at(i).left(20)));
            return false;
        }
        (*table)[size_t(i)] = word.toUInt(nullptr, 16);
    }
    return true;
}

bool useKeyTable(const QString &optionPath, QString *problem)
{
    setImageKey(nullptr);
    const QString path = optionPath.isEmpty() ? qEnvironmentVariable(kKeyTableVariable) : optionPath;
    if (path.isEmpty())
        return true;
    QByteArray text;
    QString why;
    KeyTable table{};
    if (!readKeyFile(path, &text, &why) || !parseKeyTable(text, &table, &why)) {
        *problem = QStringLiteral("key table %1: %2").arg(path, why);
        return false;
    }
    setImageKey(table.data());
    return true;
}
