// The parameter record's field layout, default values and file reading and writing.
#include "params/paramrecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "core/files.h"
#include "link/codec.h"

namespace {

// The model the default record describes; its number is the default parameter identifier.
const char kDefaultName[] = "Zr525";
constexpr quint16 kDefaultParamId = 525;
const char kDefaultDescription[] = "Tevano LED lamp";

QString fileName(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString sizeError(qint64 bytes)
{
    return QStringLiteral("Error: invalid file size (%1B)").arg(bytes);
}

} // namespace

const QVector<ParamField> &ParamRecord::fields()
{
    // name              offset width kind                widget
    static const QVector<ParamField> table = {
        {"deviceName",        0, 16, ParamField::Text,   "lineEdit_DeviceName"},
        {"description",      16, 16, ParamField::Text,   "lineEdit_DeviceDescription"},
        {"paramId",          32,  2, ParamField::Number, "spinBox_ParamId"},
        {"paramVersion",     34,  2, ParamField::Number, "spinBox_ParamVersion"},
        {"outputMin1",       36,  2, ParamField::Number, "spinBox_OutputMin_1"},
        {"outputMax1",       38,  2, ParamField::Number, "spinBox_OutputMax_1"},
        {"outputOffset1",    40,  2, ParamField::Number, "spinBox_OutputOffset_1"},
        {"outputColor1",     42,  2, ParamField::Number, "spinBox_OutputColor_1"},
        {"outputMin2",       44,  2, ParamField::Number, "spinBox_OutputMin_2"},
        {"outputMax2",       46,  2, ParamField::Number, "spinBox_OutputMax_2"},
        {"outputOffset2",    48,  2, ParamField::Number, "spinBox_OutputOffset_2"},
        {"outputColor2",     50,  2, ParamField::Number, "spinBox_OutputColor_2"},
        {"ntc",              52,  2, ParamField::Number, "spinBox_Ntc"},        // 0 SMD, 1 SCREW, 2 NONE
        {"outputType",       54,  2, ParamField::Number, "spinBox_OutputType"}, // 0 DAC, 1 PWM
    };
    return table;
}

const ParamField *ParamRecord::field(const QString &name)
{
    for (const ParamField &f : fields())
        if (name == QLatin1String(f.name))
            return &f;
    return nullptr;
}

ParamRecord::ParamRecord()
    : m_bytes(kSize, '\0')
{
    // name / value of the default record; fields not listed and the reserved bytes are 0
    const struct {
        const char *name;
        quint16 value;
    } numbers[] = {
        {"paramId", kDefaultParamId}, {"paramVersion", 0x0100},
        {"outputMax1", 4094},         {"outputColor1", 4500},
        {"outputMax2", 4094},         {"outputColor2", 4500},
    };
    setText(*field(QStringLiteral("deviceName")), QLatin1String(kDefaultName));
    setText(*field(QStringLiteral("description")), QLatin1String(kDefaultDescription));
    for (const auto &n : numbers)
        setNumber(*field(QLatin1String(n.name)), n.value);
}

bool ParamRecord::overlay(const QByteArray &data)
{
    if (data.size() > kSize)
        return false;
    m_bytes.replace(0, data.size(), data);
    return true;
}

QString ParamRecord::text(const ParamField &f) const
{
    const char *start = m_bytes.constData() + f.offset;
    return QString::fromLatin1(start, int(qstrnlen(start, uint(f.width))));
}

void ParamRecord::setText(const ParamField &f, const QString &value)
{
    const QByteArray latin1 = value.toLatin1().left(f.width);
    m_bytes.replace(f.offset, f.width, QByteArray(f.width, '\0'));
    m_bytes.replace(f.offset, latin1.size(), latin1);
}

quint16 ParamRecord::number(const ParamField &f) const
{
    return readU16(m_bytes, f.offset);
}

void ParamRecord::setNumber(const ParamField &f, quint16 value)
{
    putU16(m_bytes, f.offset, value);
}

bool ParamRecord::value(const QString &name, QString *out, QString *error) const
{
    const ParamField *f = field(name);
    if (!f) {
        if (error)
            *error = QStringLiteral("Error: unknown parameter field %1").arg(name);
        return false;
    }
    *out = f->kind == ParamField::Text ? text(*f) : QString::number(number(*f));
    return true;
}

bool ParamRecord::setValue(const QString &name, const QString &value, QString *error)
{
    const ParamField *f = field(name);
    if (!f) {
        if (error)
            *error = QStringLiteral("Error: unknown parameter field %1").arg(name);
        return false;
    }
    if (f->kind == ParamField::Text) {
        setText(*f, value);
        return true;
    }
    // Decimal, or hex with 0x; a leading zero is still decimal ("0100" is 100, not octal 64).
    const QString digits = value.trimmed();
    const bool hex = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    bool ok = false;
    const uint n = hex ? digits.mid(2).toUInt(&ok, 16) : digits.toUInt(&ok, 10);
    if (!ok || n > 0xFFFF) {
        if (error)
            *error = QStringLiteral("Error: %1 needs a number from 0 to 65535, not \"%2\"").arg(name, value);
        return false;
    }
    setNumber(*f, quint16(n));
    return true;
}

bool ParamRecord::load(const QString &path, QString *error)
{
    QString refused;
    if (!checkInputFile(path, kSize, &refused) && !QFileInfo(path).isFile()) { // a FIFO would block the open
        *error = QStringLiteral("Error: cannot open %1 (%2)").arg(fileName(path), refused);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Error: cannot open %1 (%2)").arg(fileName(path), file.errorString());
        return false;
    }
    // A size check first, so a huge file is never read; the read checks again for files without a size.
    if (file.size() > kSize) {
        *error = sizeError(file.size());
        return false;
    }
    const QByteArray data = file.read(kSize + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("Error: cannot read %1 (%2)").arg(fileName(path), file.errorString());
        return false;
    }
    if (!overlay(data)) {
        *error = sizeError(qMax(file.size(), qint64(data.size())));
        return false;
    }
    return true;
}

bool ParamRecord::save(const QString &path, QString *error) const
{
    // Written beside and renamed over the old file: a failure never leaves a half-written parameter file. In a
    // folder that takes no new files, a file the user may write is rewritten in place, as the wizard always could.
    QString reason;
    if (writeFileBytesOrInPlace(path, m_bytes, &reason))
        return true;
    *error = QStringLiteral("Error: cannot write %1 (%2)").arg(fileName(path), reason);
    return false;
}
