// What the zrtool subcommands share: exit codes, option parsing with --help, errors, numbers, files, progress.
#include "zrtool/cli.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <cstdio>
#include <cstdlib>
#include <limits>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "core/files.h"
#include "core/logcategories.h"
#include "core/version.h"
#include "builders/catalogue.h"
#include "builders/hextobin.h"

namespace {

#ifdef Q_OS_WIN
// What this build leaves out, for --help.
const char kPlatformNote[] = "On Windows the cable is FTDI's D2XX driver (no serial-port or libftdi backend), the "
                             "production registry SQLite (no\nPostgreSQL driver), and there is no zrsim; --simulate "
                             "works as elsewhere.\n";
#else
const char kPlatformNote[] = "";
#endif

void printTo(FILE *stream, const QString &text)
{
    fputs(text.toLocal8Bit().constData(), stream);
    fflush(stream);
}

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

// --- the command line ---

void setUpProcess()
{
#ifdef Q_OS_WIN
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    wchar_t program[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, program, DWORD(sizeof program / sizeof *program));
    if (length > 0 && length < sizeof program / sizeof *program)
        QCoreApplication::addLibraryPath(QFileInfo(QString::fromWCharArray(program, int(length))).absolutePath());
#endif
}

QStringList commandArguments(int argc, char *argv[])
{
    QStringList arguments;
#ifdef Q_OS_WIN
    int count = 0;
    if (wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i)
            arguments << QString::fromWCharArray(wide[i]);
        LocalFree(wide);
        return arguments;
    }
#endif
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

Command::Command(const QString &words, const QString &description)
    : m_words(words)
{
    parser.setApplicationDescription(description);
    parser.addHelpOption();
}

QString Command::helpText() const
{
    // Qt names the executable in the usage line (and needs the application object for it); the command words say
    // more.
    static char name[] = "zrtool";
    static int count = 1;
    static char *argv[] = {name, nullptr};
    static QCoreApplication *const application =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(count, argv); // kept until the process ends
    Q_UNUSED(application)
    QString text = parser.helpText();
    const QString program = QCoreApplication::arguments().value(0);
    const int at = text.indexOf(program);
    if (!program.isEmpty() && at >= 0)
        text.replace(at, program.size(), QStringLiteral("zrtool ") + m_words);
    return text;
}

bool Command::parse(const QStringList &arguments, int minArguments, int maxArguments,
                    const QList<QCommandLineOption> &required)
{
    if (!m_ownVerbose) {
        parser.addOption(verboseOption());
        m_ownVerbose = true;
    }
    const bool parsed = parser.parse(QStringList{QStringLiteral("zrtool")} + arguments);
    if (parser.isSet(QStringLiteral("help"))) {
        printTo(stdout, helpText());
        std::exit(kExitOk);
    }
    if (!parsed) {
        usageError(parser.errorText());
        return false;
    }
    if (parser.isSet(QStringLiteral("verbose")))
        enableAllTraces();
    const int count = parser.positionalArguments().size();
    if (count < minArguments) {
        usageError(QStringLiteral("missing argument"));
        return false;
    }
    if (count > maxArguments) {
        usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().value(maxArguments)));
        return false;
    }
    for (const QCommandLineOption &option : required) {
        if (!parser.isSet(option)) {
            QStringList spelled; // as typed: -o/--output
            for (const QString &name : option.names())
                spelled << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
            usageError(QStringLiteral("missing option %1").arg(spelled.join(QLatin1Char('/'))));
            return false;
        }
    }
    return true;
}

int Command::usageError(const QString &problem) const
{
    printTo(stderr, QStringLiteral("zrtool %1: %2 (see zrtool %1 --help)\n").arg(m_words, problem));
    return kExitUsage;
}

int fileError(int code, const QString &file, const QString &problem)
{
    printTo(stderr, QStringLiteral("zrtool: %1: %2\n").arg(nativePath(file), problem));
    return code;
}

int dispatch(const QString &words, const QList<SubCommand> &commands, const QStringList &arguments,
             const QString &options)
{
    QString list = QStringLiteral("Usage: %1 <command> [options] [arguments]\n\nCommands:\n").arg(words);
    for (const SubCommand &c : commands)
        list += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(c.name).leftJustified(12), QLatin1String(c.summary));
    list += options;
    list += QStringLiteral("\nRun '%1 <command> --help' for the options of a command.\n"
                           "--verbose, before or after the command, prints the diagnostic traces on stderr.\n"
                           "Exit status: 0 success, 1 usage error, 2 bad or unreadable input, "
                           "3 output could not be written,\n"
                           "4 no cable, 5 no device answered, 6 the device failed or refused, 7 the production registry is "
                           "needed and cannot be reached or written,\n"
                           "127 the program that runs the device and registry commands is missing (a broken "
                           "install),\n"
                           "130 / 143 upgrade, write-flash or stream stopped by SIGINT / SIGTERM (the device is "
                           "partly written).\n"
                           "Device commands end each exchange on a complete reply (--full-windows: wait out every "
                           "reply window).\n").arg(words)
            + QLatin1String(kPlatformNote);

    // Options up to the command word are ours; everything from it on belongs to the command.
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption verbose = Command::verboseOption();
    parser.addOption(verbose);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command to run."));
    if (!parser.parse(QStringList{words} + arguments)) {
        printTo(stderr, QStringLiteral("%1: %2 (see %1 --help)\n").arg(words, parser.errorText()));
        return kExitUsage;
    }
    const QString first = parser.positionalArguments().value(0);
    if (parser.isSet(help) || first == QLatin1String("help")) {
        printTo(stdout, list);
        return kExitOk;
    }
    if (parser.isSet(verbose))
        enableAllTraces();
    if (parser.isSet(version)) {
        printLine(QStringLiteral("zrtool %1").arg(kProgramVersion));
        return kExitOk;
    }
    if (first.isEmpty()) {
        printTo(stderr, list);
        return kExitUsage;
    }
    for (const SubCommand &c : commands)
        if (first == QLatin1String(c.name))
            return c.run(parser.positionalArguments().mid(1));
    printTo(stderr, QStringLiteral("%1: unknown command '%2' (see %1 --help)\n").arg(words, first));
    return kExitUsage;
}

// --- values ---

bool parseNumber(const QString &text, quint32 *value, quint32 max)
{
    const QString t = text.trimmed();
    bool ok = false;
    qulonglong v = 0;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = t.size() > 2 ? t.mid(2).toULongLong(&ok, 16) : 0;
    else
        v = t.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *value = quint32(v);
    return true;
}

QString hex(quint32 value, int digits)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

QString emptyWindowProblem(quint32 first, quint32 last)
{
    return QStringLiteral("no data in the window %1..%2 (nothing written)").arg(hex(first, 8), hex(last, 8));
}

QString hexToBinProblem(const QString &path, int code)
{
    QString refused;
    if (code == kHexCannotOpen && !checkInputFile(path, std::numeric_limits<qint64>::max(), &refused))
        return refused;
    QFile file(path);
    if (code == kHexCannotOpen && !file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open (%1)").arg(file.errorString());
    // code          what the conversion found
    static const struct {
        int code;
        const char *text;
    } problems[] = {
        {kHexShortLine, "a line of 10 characters or fewer"},
        {kHexNoColon, "a line that does not begin with ':'"},
        {kHexBadCount, "the byte count is not hexadecimal"},
        {kHexBadAddress, "the address offset is not hexadecimal"},
        {kHexBadType, "the record type is not hexadecimal"},
        {kHexBadData, "a data byte is not hexadecimal"},
        {kHexUnsupported, "an unsupported record type"},
        {kHexBadChecksum, "a record checksum is wrong"},
        {kHexCannotOpen, "the file cannot be opened"},
        {kHexLongLine, "a line longer than a record can be: 523 characters with its line end"},
    };
    for (const auto &p : problems)
        if (p.code == code)
            return QStringLiteral("HexToBin error %1 (%2)").arg(code).arg(QLatin1String(p.text));
    return QStringLiteral("HexToBin error %1").arg(code);
}

const CatalogueRow *findModel(const QString &model, bool withUpgradeOnly)
{
    QList<const QVector<CatalogueRow> *> tables{&catalogue()};
    if (withUpgradeOnly)
        tables << &upgradeOnlyRows();
    // The model code first: a slot name may carry a suffix its model code lacks.
    for (const char *CatalogueRow::*key : {&CatalogueRow::code, &CatalogueRow::slotId})
        for (const QVector<CatalogueRow> *rows : tables)
            for (const CatalogueRow &row : *rows)
                if (model == QLatin1String(row.*key))
                    return &row;
    return nullptr;
}

// --- files ---

bool readFile(const QString &path, QByteArray *bytes, QString *problem, qint64 maxSize)
{
    if (!checkInputFile(path, maxSize, problem))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot open (%1)").arg(file.errorString());
        return false;
    }
    QString error;
    if (!readFileBytes(path, bytes, &error, maxSize)) {
        *problem = QStringLiteral("cannot read (%1)").arg(error);
        return false;
    }
    return true;
}

bool checkInput(const QString &path, qint64 maxSize, QString *problem)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        *problem = QStringLiteral("no such file");
        return false;
    }
    if (!checkInputFile(path, maxSize, problem))
        return false;
    if (!info.isFile()) { // a device, or a link to nothing
        *problem = info.exists() ? QStringLiteral("not a regular file (a device)")
                                 : QStringLiteral("a symbolic link to nothing (%1)").arg(info.symLinkTarget());
        return false;
    }
    if (info.size() == 0) {
        *problem = QStringLiteral("empty");
        return false;
    }
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return true;
    *problem = QStringLiteral("cannot open (%1)").arg(file.errorString());
    return false;
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *problem)
{
    QString error;
    if (writeFileBytes(path, bytes, &error))
        return true;
    *problem = QStringLiteral("cannot write (%1)").arg(error);
    return false;
}

// --- output ---

void printLine(const QString &line)
{
    printTo(stdout, line + QLatin1Char('\n'));
}

void printJson(const QJsonObject &object)
{
    printTo(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented)));
}

bool stderrIsTerminal()
{
    return isatty(2);
}

ProgressBar::ProgressBar(const QString &label, int total)
    : m_label(label)
    , m_total(qMax(1, total))
    , m_terminal(stderrIsTerminal())
{
    m_clock.start();
}

ProgressBar::~ProgressBar()
{
    if (m_terminal && m_drawn >= 0)
        printTo(stderr, QStringLiteral("\n"));
}

void ProgressBar::setValue(int done)
{
    constexpr int kWidth = 40;
    // After two seconds the rate so far tells the time left; shorter work ends before anyone reads it.
    constexpr qint64 kEstimateAfterMs = 2000;
    done = qBound(0, done, m_total);
    const int filled = int(qint64(done) * kWidth / m_total);
    const qint64 ms = m_clock.elapsed();
    const int left = done > 0 && done < m_total && ms >= kEstimateAfterMs
        ? int((ms * (m_total - done) / done + 999) / 1000)
        : -1;
    if (!m_terminal || (filled == m_drawn && left == m_secondsLeft && done != m_total))
        return;
    m_drawn = filled;
    m_secondsLeft = left;
    const QString estimate = left < 0 ? QString()
        : left < 60                   ? QStringLiteral(", %1 s left").arg(left)
                                      : QStringLiteral(", %1 min %2 s left").arg(left / 60).arg(left % 60);
    printTo(stderr, QStringLiteral("\r%1 [%2%3] %4/%5 %6%%7   ")
                        .arg(m_label, QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char(' ')))
                        .arg(done)
                        .arg(m_total)
                        .arg(qint64(done) * 100 / m_total)
                        .arg(estimate));
}
