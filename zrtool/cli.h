// What the zrtool subcommands share: exit codes, option parsing with --help, errors, numbers, files, progress.
#pragma once

#include <QCommandLineParser>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

struct CatalogueRow;

// Exit status of every subcommand.
enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,  // bad command line: unknown option, missing or bad value, unknown model
    kExitInput = 2,  // an input file is missing, unreadable or bad
    kExitOutput = 3, // an output file could not be written
    kExitNoCable = 4,       // a device command found no cable, or not the one named
    kExitNoDevice = 5,      // no device answered
    kExitDeviceFailed = 6,  // the device failed or was refused
    kExitRegistry = 7, // the production registry is needed (boot, zrtool registry) and cannot be reached or written
    kExitNoFullProgram = 127, // the program that runs the device and registry commands is missing (a broken install)
};

// One subcommand's command line: "zrtool <words> [options] <arguments>".
class Command
{
public:
    Command(const QString &words, const QString &description);

    QCommandLineParser parser;

    void addOption(const QCommandLineOption &option)
    {
        parser.addOption(option);
        m_ownVerbose = m_ownVerbose || option.names().contains(QStringLiteral("verbose"));
    }
    void addArgument(const QString &name, const QString &description, const QString &syntax = QString())
    {
        parser.addPositionalArgument(name, description, syntax);
    }

    // Parses the arguments after the command words. --help prints the help and ends the process with 0; a usage
    // error (unknown option, wrong number of arguments, a required option missing) prints one line on stderr.
    bool parse(const QStringList &arguments, int minArguments, int maxArguments,
               const QList<QCommandLineOption> &required = {});
    QStringList arguments() const { return parser.positionalArguments(); }

    // The options several commands share: -o/--output FILE and --json.
    static QCommandLineOption outputOption(const QString &description, const QString &valueName)
    {
        return QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")}, description, valueName);
    }
    static QCommandLineOption jsonOption() { return {QStringLiteral("json"), QStringLiteral("Print it as JSON.")}; }
    // Every command and the command words take it: the diagnostic traces (zr.* logging categories) on stderr. A
    // command that prints more with it adds its own --verbose, which turns the traces on as well.
    static QCommandLineOption verboseOption()
    {
        return {QStringLiteral("verbose"), QStringLiteral("Print the diagnostic traces (encoding, frames) on stderr.")};
    }

    // Prints "zrtool <words>: <problem> (see --help)" on stderr and returns kExitUsage.
    int usageError(const QString &problem) const;
    QString helpText() const;

private:
    QString m_words;
    bool m_ownVerbose = false;
};

// Prints "zrtool: <file>: <problem>" on stderr and returns `code`.
int fileError(int code, const QString &file, const QString &problem);

// 0x-prefixed hexadecimal or decimal (a leading 0 is not octal). False on anything else or above `max`.
bool parseNumber(const QString &text, quint32 *value, quint32 max = 0xFFFFFFFFu);
QString hex(quint32 value, int digits = 0);

// Reads a whole file of at most maxSize bytes; false with *problem set (a FIFO or a larger file is refused before
// anything is read).
bool readFile(const QString &path, QByteArray *bytes, QString *problem, qint64 maxSize);
// The input file of a command, looked at before anything else is done: false with *problem set ("no such file",
// "not a regular file (a FIFO)", "... more than the N bytes it can hold", "empty", "cannot open (reason)").
bool checkInput(const QString &path, qint64 maxSize, QString *problem);
// Writes the file whole or not at all (an existing file is replaced only on success); false with *problem set.
bool writeFile(const QString &path, const QByteArray &bytes, QString *problem);

// "no data in the window 0x08002000..0x0800FFFF (nothing written)": a HEX file that converts cleanly but holds
// nothing where the command needs it, which would otherwise give an all-zero output.
QString emptyWindowProblem(quint32 first, quint32 last);

// The result of a HexToBin call on a file in words ("HexToBin error -6 (a data byte is not hexadecimal)").
QString hexToBinProblem(const QString &path, int code);

// The catalogue row of a model: by model code, or by the name its slots carry (Zr581_L0); rows that only have
// an upgrade writer take part when `withUpgradeOnly` is set. Null when the catalogue has no such model.
const CatalogueRow *findModel(const QString &model, bool withUpgradeOnly);

void printJson(const QJsonObject &object);
void printLine(const QString &line); // on stdout
// Whether stderr is a terminal (progress is drawn there only then).
bool stderrIsTerminal();

// A bar on stderr while a long run goes on, drawn only when stderr is a terminal.
class ProgressBar
{
public:
    ProgressBar(const QString &label, int total);
    ~ProgressBar();
    void setValue(int done);
    // The work is done: the bar is drawn full (a step-wise progress reports the start of its last step only).
    void complete() { setValue(m_total); }

private:
    QString m_label;
    int m_total;
    int m_drawn = -1;
    int m_secondsLeft = -1;
    bool m_terminal;
    QElapsedTimer m_clock;
};

// The subcommands; each takes the arguments after its command word and returns the exit status.
int runHex2Bin(const QStringList &arguments);
int runUpg(const QStringList &arguments);
int runBoot(const QStringList &arguments);
int runParam(const QStringList &arguments);
int runId(const QStringList &arguments);
// Device commands (zrtool/device.cpp): exit 4 no cable, 5 no device answered, 6 the device failed, 128 + the
// signal when SIGINT or SIGTERM stopped a write.
int runCables(const QStringList &arguments);
int runConnect(const QStringList &arguments);
int runUpgradeDevice(const QStringList &arguments);
int runRun(const QStringList &arguments);
int runReadFlash(const QStringList &arguments);
int runWriteFlash(const QStringList &arguments);
int runStream(const QStringList &arguments);
int runMute(const QStringList &arguments);
int runUnmute(const QStringList &arguments);
int runDiscover(const QStringList &arguments);
int runRegistry(const QStringList &arguments);

// The arguments after the program's name as typed: on Windows from the wide command line, since argv holds only
// what the ANSI code page can spell and a file name in another script would arrive as question marks.
QStringList commandArguments(int argc, char *argv[]);
// The process as on every system, before anything else runs. On Windows: lines on stdout and stderr end in "\n"
// (its C library would write "\r\n"), so a script reads the same output everywhere; the traces go to stderr (Qt
// sends them to the debugger when stderr is not a console); and Qt's plugins (the SQLite driver) are looked for
// beside the program, which Qt does only once an application object exists, and the file commands run without one.
void setUpProcess();

// The offline program (zrtool on the PATH, Qt Core only) runs the file commands itself and hands every command that
// needs the bus or the production registry to the full program with the same arguments; it returns only when that
// program cannot be started. `setProgramArguments` keeps main's argv for it.
void setProgramArguments(char **argv);
int runInFullProgram(const QStringList &arguments);

// A command word and its handler, for the two levels "zrtool <cmd>" and "zrtool upg <cmd>".
struct SubCommand
{
    const char *name;
    const char *summary;
    int (*run)(const QStringList &arguments);
};
// Dispatches arguments[0] among the commands; --help lists them. `words` is "zrtool" or "zrtool upg"; `options`
// describes options the caller took off before the command word (a paragraph of --help).
int dispatch(const QString &words, const QList<SubCommand> &commands, const QStringList &arguments,
             const QString &options = QString());
