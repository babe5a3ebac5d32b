// zrtool param show / set / new: parameter files through the wizard's 128-byte record.
#include <QDir>
#include <QFileInfo>
#include <climits>

#include "params/paramrecord.h"
#include "zrtool/cli.h"

namespace {

// "FIELD=VALUE" assignments applied to the record; false with a usage error printed, and then nothing is saved.
bool assign(const Command &cmd, ParamRecord *record, const QStringList &assignments)
{
    for (const QString &a : assignments) {
        const int eq = a.indexOf(QLatin1Char('='));
        const QString name = a.left(eq);
        const QString value = a.mid(eq + 1);
        const ParamField *f = ParamRecord::field(name);
        if (eq < 0 || !f) {
            QStringList names;
            for (const ParamField &field : ParamRecord::fields())
                names << QLatin1String(field.name);
            cmd.usageError(QStringLiteral("'%1' is not FIELD=VALUE with a FIELD of %2").arg(a, names.join(", ")));
            return false;
        }
        // A text the record cannot hold whole is refused rather than cut or altered.
        const QByteArray latin1 = value.toLatin1();
        if (f->kind == ParamField::Text && (latin1.size() > f->width || QString::fromLatin1(latin1) != value)) {
            cmd.usageError(QStringLiteral("%1 holds at most %2 Latin-1 characters, not '%3'")
                               .arg(name)
                               .arg(f->width)
                               .arg(value));
            return false;
        }
        QString error;
        if (!record->setValue(name, value, &error)) {
            cmd.usageError(error.remove(QStringLiteral("Error: ")));
            return false;
        }
    }
    return true;
}

// The record's messages are the wizard's ("Error: cannot open <file> (...)"); here the file goes in front.
QString problemOnly(QString error, const QString &path)
{
    return error.remove(QStringLiteral("Error: ")).remove(QDir::toNativeSeparators(path) + QLatin1Char(' '));
}

// Loads the file over the default record; false with the error printed.
bool load(const QString &path, ParamRecord *record)
{
    QString error;
    if (record->load(path, &error))
        return true;
    error = problemOnly(error, path);
    if (error.startsWith(QLatin1String("invalid file size")))
        error = QStringLiteral("not a parameter file: %1 bytes, a parameter file holds at most %2")
                    .arg(QFileInfo(path).size())
                    .arg(ParamRecord::kSize);
    fileError(kExitInput, path, error);
    return false;
}

int save(const QString &path, const ParamRecord &record)
{
    QString error;
    if (!record.save(path, &error))
        return fileError(kExitOutput, path, problemOnly(error, path));
    return kExitOk;
}

int runShow(const QStringList &arguments)
{
    Command cmd(QStringLiteral("param show"),
                QStringLiteral("Shows the fields of a parameter file as the parameter wizard reads them (a file "
                               "shorter than 128 bytes only covers the first fields; the rest are the wizard's "
                               "defaults)."));
    cmd.addArgument(QStringLiteral("FILE.txt"), QStringLiteral("Parameter file."));
    const QCommandLineOption json = Command::jsonOption();
    cmd.addOption(json);
    if (!cmd.parse(arguments, 1, 1))
        return kExitUsage;
    const QString path = cmd.arguments().at(0);
    ParamRecord record;
    if (!load(path, &record))
        return kExitInput;

    const qint64 size = QFileInfo(path).size();
    QJsonObject o;
    for (const ParamField &f : ParamRecord::fields()) {
        if (f.kind == ParamField::Text)
            o.insert(QLatin1String(f.name), record.text(f));
        else
            o.insert(QLatin1String(f.name), int(record.number(f)));
    }
    if (cmd.parser.isSet(json)) {
        o.insert(QStringLiteral("fileSize"), size);
        printJson(o);
        return kExitOk;
    }
    for (const ParamField &f : ParamRecord::fields())
        printLine(QString::fromLatin1(f.name).leftJustified(15)
                  + o.value(QLatin1String(f.name)).toVariant().toString());
    if (size < ParamRecord::kSize)
        printLine(QStringLiteral("(the file holds %1 bytes; fields beyond them are the defaults)").arg(size));
    return kExitOk;
}

int runSet(const QStringList &arguments)
{
    Command cmd(QStringLiteral("param set"),
                QStringLiteral("Changes fields of a parameter file and writes it back as a whole 128-byte record. "
                               "Numbers are decimal or 0x hex (0-65535); texts at most 16 Latin-1 characters. "
                               "Nothing is written when one assignment is bad."));
    cmd.addArgument(QStringLiteral("FILE.txt"), QStringLiteral("Parameter file."));
    cmd.addArgument(QStringLiteral("FIELD=VALUE"), QStringLiteral("Field to change, e.g. outputMax1=4000."),
                    QStringLiteral("FIELD=VALUE..."));
    if (!cmd.parse(arguments, 2, INT_MAX))
        return kExitUsage;
    const QString path = cmd.arguments().at(0);
    ParamRecord record;
    if (!load(path, &record))
        return kExitInput;
    if (!assign(cmd, &record, cmd.arguments().mid(1)))
        return kExitUsage;
    return save(path, record);
}

int runNew(const QStringList &arguments)
{
    Command cmd(QStringLiteral("param new"),
                QStringLiteral("Writes the wizard's default record as a new parameter file, with the given fields "
                               "changed. An existing file is kept unless --force is given."));
    cmd.addArgument(QStringLiteral("FILE.txt"), QStringLiteral("Parameter file to create."));
    cmd.addArgument(QStringLiteral("FIELD=VALUE"), QStringLiteral("Field to set, e.g. deviceName=Zr586."),
                    QStringLiteral("[FIELD=VALUE...]"));
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replace an existing file."));
    cmd.addOption(force);
    if (!cmd.parse(arguments, 1, INT_MAX))
        return kExitUsage;
    const QString path = cmd.arguments().at(0);
    ParamRecord record;
    if (!assign(cmd, &record, cmd.arguments().mid(1)))
        return kExitUsage;
    if (QFileInfo::exists(path) && !cmd.parser.isSet(force))
        return fileError(kExitOutput, path, QStringLiteral("already exists (--force replaces it)"));
    return save(path, record);
}

} // namespace

int runParam(const QStringList &arguments)
{
    return dispatch(QStringLiteral("zrtool param"),
                    {{"show", "show the fields of a parameter file", runShow},
                     {"set", "change fields of a parameter file", runSet},
                     {"new", "create a parameter file from the default record", runNew}},
                    arguments);
}
