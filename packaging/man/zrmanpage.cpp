// Build-time tool: writes a program's manual page from a template and the program's own --help output.
//
//   zrmanpage --program PATH --name NAME --version VERSION --template PAGE.in -o PAGE
//
// The template is roff with three placeholders: @VERSION@, @SYNOPSIS@ (the top-level usage line) and @HELP@
// (the top-level options or command list, then one subsection per command, every level of commands down).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <cstdio>

#include "packaging/man/helppage.h"

namespace {

struct Generator
{
    QString program;
    QString name;
    QString error;
    QTemporaryDir home;

    // The help of "NAME words... --help", with the program's path in the usage line replaced by its name.
    bool help(const QStringList &words, HelpText *result)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")); // the window program
        // Whatever a program sets up at start (settings, a registry) goes to a folder of ours, not the user's.
        for (const char *variable : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            environment.insert(QString::fromLatin1(variable), home.path());
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(program, words + QStringList{QStringLiteral("--help")});
        const QString call = (QStringList{name} + words).join(QLatin1Char(' ')) + QStringLiteral(" --help");
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            process.kill();
            error = QStringLiteral("%1 failed (exit code %2): %3")
                        .arg(call)
                        .arg(process.exitCode())
                        .arg(QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
            return false;
        }
        QString text = QString::fromLocal8Bit(process.readAllStandardOutput());
        text.replace(program, name);
        *result = parseHelp(text);
        if (result->usage.isEmpty()) {
            error = QStringLiteral("%1 printed no usage line").arg(call);
            return false;
        }
        return true;
    }

    // The subsections of every command below `words`, depth first, in the order the help lists them.
    bool commands(const QStringList &words, const HelpText &parent, QString *out)
    {
        for (const QString &command : parent.commands()) {
            const QStringList path = words + QStringList{command};
            HelpText sub;
            if (!help(path, &sub))
                return false;
            *out += roffCommand(sub, (QStringList{name} + path).join(QLatin1Char(' ')));
            if (!commands(path, sub, out))
                return false;
        }
        return true;
    }
};

int fail(const QString &message)
{
    fprintf(stderr, "zrmanpage: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes a manual page from a template and --help output."));
    parser.addHelpOption();
    const QCommandLineOption programOption(QStringLiteral("program"), QStringLiteral("Program to ask."),
                                           QStringLiteral("PATH"));
    const QCommandLineOption nameOption(QStringLiteral("name"), QStringLiteral("Its installed name."),
                                        QStringLiteral("NAME"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Version for the page."),
                                           QStringLiteral("VERSION"));
    const QCommandLineOption templateOption(QStringLiteral("template"), QStringLiteral("Page template."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QStringLiteral("Page to write."), QStringLiteral("FILE"));
    parser.addOptions({programOption, nameOption, versionOption, templateOption, outputOption});
    parser.process(app);
    for (const QCommandLineOption &required : {programOption, nameOption, versionOption, templateOption,
                                               outputOption})
        if (!parser.isSet(required))
            return fail(QStringLiteral("--%1 is required").arg(required.names().constLast()));

    QFile templateFile(parser.value(templateOption));
    if (!templateFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: %2").arg(templateFile.fileName(), templateFile.errorString()));
    QString page = QString::fromUtf8(templateFile.readAll());

    Generator generator;
    generator.program = parser.value(programOption);
    generator.name = parser.value(nameOption);
    HelpText top;
    QString sections;
    if (!generator.help({}, &top))
        return fail(generator.error);
    sections = roffTopLevel(top);
    if (!generator.commands({}, top, &sections))
        return fail(generator.error);

    page.replace(QStringLiteral("@VERSION@"), parser.value(versionOption));
    page.replace(QStringLiteral("@SYNOPSIS@\n"), roffSynopsis(top.usage, generator.name));
    page.replace(QStringLiteral("@HELP@\n"), sections);

    QSaveFile out(parser.value(outputOption));
    if (!out.open(QIODevice::WriteOnly) || out.write(page.toUtf8()) < 0 || !out.commit())
        return fail(QStringLiteral("%1: %2").arg(out.fileName(), out.errorString()));
    return 0;
}
