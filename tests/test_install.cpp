// The installed tree, the desktop entry, the manual pages against the programs' --help, and the Debian package.
#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "core/version.h"
#include "packaging/man/helppage.h"

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &key : environment.keys())
        env.insert(key, environment.value(key));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(240000)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("%1 did not finish: %2").arg(program, process.errorString());
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

QProcessEnvironment env(std::initializer_list<std::pair<QString, QString>> pairs)
{
    QProcessEnvironment e;
    for (const auto &p : pairs)
        e.insert(p.first, p.second);
    return e;
}

// A tool the check needs: on a developer's machine without it the check is skipped, in CI it must be there.
#define REQUIRE_TOOL(path, name)                                                                                   \
    const QString path = QStandardPaths::findExecutable(QStringLiteral(name));                                    \
    if (path.isEmpty()) {                                                                                          \
        if (qEnvironmentVariableIsSet("CI"))                                                                       \
            QFAIL(name " is not installed");                                                                       \
        QSKIP(name " is not installed");                                                                           \
    }

// `man -l PAGE` as plain text: C locale, no line wrapping in the way of the checks.
QString renderPage(const QString &page)
{
    const Run man = run(QStringLiteral("man"), {QStringLiteral("-l"), page},
                        env({{QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8")},
                             {QStringLiteral("MANWIDTH"), QStringLiteral("200")},
                             {QStringLiteral("MAN_KEEP_FORMATTING"), QString()}}));
    if (man.exitCode != 0 || !man.err.isEmpty())
        qWarning().noquote() << "man -l" << page << "exit" << man.exitCode << man.err;
    return man.exitCode == 0 ? man.out : QString();
}

// The part of a rendered page under one heading: from the heading line to the next line indented as little.
QString renderedSection(const QString &text, const QString &heading)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].trimmed() != heading)
            continue;
        const int indent = lines[i].indexOf(heading);
        QStringList body;
        for (int j = i + 1; j < lines.size(); ++j) {
            const QString &line = lines[j];
            const int at = line.indexOf(QRegularExpression(QStringLiteral("\\S")));
            if (at >= 0 && at <= indent)
                break;
            body << line;
        }
        return body.join(QLatin1Char('\n'));
    }
    return QString();
}

// Every word of a help text that reads as an option: "-o", "--output", "--help-all".
QStringList optionWords(const QString &help)
{
    static const QRegularExpression word(QStringLiteral("(?<![\\w-])--?[A-Za-z][\\w-]*"));
    QStringList words;
    for (auto it = word.globalMatch(help); it.hasNext();)
        words << it.next().captured();
    words.removeDuplicates();
    return words;
}

// The command words listed under "Commands:" in a help text.
QStringList commandWords(const QString &help)
{
    const QString list = help.section(QStringLiteral("\nCommands:\n"), 1).section(QStringLiteral("\n\n"), 0, 0);
    QStringList words;
    static const QRegularExpression entry(QStringLiteral("^  (\\S+)"), QRegularExpression::MultilineOption);
    for (auto it = entry.globalMatch(list); it.hasNext();)
        words << it.next().captured(1);
    return words;
}

const QProcessEnvironment &offscreen()
{
    static const QProcessEnvironment e = env({{QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")}});
    return e;
}

// Every file below `root`, as paths relative to it.
QSet<QString> filesBelow(const QString &root)
{
    QSet<QString> files;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
        files << QDir(root).relativeFilePath(it.next());
    return files;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

    QTemporaryDir m_destdir; // what `DESTDIR=... cmake --install build --prefix /usr` lays out
    QString m_prefix;
    QStringList m_programs = QString::fromLatin1(ZR_PROGRAMS).split(QLatin1Char(','));
    // Programs the installed ones start, by their path under the prefix (zrtool's full program).
    static QStringList helpers() { return QString::fromLatin1(ZR_HELPERS).split(QLatin1Char(','), Qt::SkipEmptyParts); }

    QString installed(const QString &path) const { return m_prefix + QLatin1Char('/') + path; }

private slots:
    void initTestCase()
    {
        QVERIFY(m_destdir.isValid());
        const Run install = run(QStringLiteral(ZR_CMAKE),
                                {QStringLiteral("--install"), QStringLiteral(ZR_BUILD_DIR), QStringLiteral("--prefix"),
                                 QStringLiteral("/usr")},
                                env({{QStringLiteral("DESTDIR"), m_destdir.path()}}));
        QVERIFY2(install.exitCode == 0, qPrintable(install.err));
        m_prefix = m_destdir.path() + QStringLiteral("/usr");
    }

    // Exactly these files, nothing of the build (libraries, tests, build tools) beside them.
    void installedFiles()
    {
        QSet<QString> expected{QStringLiteral("share/applications/zrflasher.desktop"),
                               QStringLiteral("share/doc/zrflasher/README.md"),
                               QStringLiteral("share/doc/zrflasher/copyright"),
                               QStringLiteral("share/doc/zrflasher/changelog.gz"),
                               QStringLiteral("share/bash-completion/completions/zrtool")};
        for (const QString &program : m_programs) // every program has its page
            expected << QStringLiteral("bin/") + program << QStringLiteral("share/man/man1/%1.1.gz").arg(program);
        for (const QString &helper : helpers())
            expected << helper;
        for (int size : {16, 22, 24, 32, 48, 64})
            expected << QStringLiteral("share/icons/hicolor/%1x%1/apps/zrflasher.png").arg(size);
        if (ZR_HAS_UDEV_RULES)
            expected << QStringLiteral(ZR_UDEV_RULES_DIR "/60-zrflasher.rules");
        QVERIFY(m_programs.contains(QStringLiteral("zrflasher")) && m_programs.contains(QStringLiteral("zrtool")));
        QCOMPARE(filesBelow(m_destdir.path()), [&] {
            QSet<QString> underUsr;
            for (const QString &file : expected)
                underUsr << QStringLiteral("usr/") + file;
            return underUsr;
        }());

        for (const QString &program : m_programs)
            QVERIFY2(QFileInfo(installed(QStringLiteral("bin/") + program)).isExecutable(), qPrintable(program));
        for (int size : {16, 22, 24, 32, 48, 64}) {
            const QImage icon(installed(QStringLiteral("share/icons/hicolor/%1x%1/apps/zrflasher.png").arg(size)));
            QCOMPARE(icon.size(), QSize(size, size));
            QVERIFY(icon.hasAlphaChannel());
        }
    }

    // The installed programs run from their new place; zrtool reports the version the window shows.
    void installedProgramsRun()
    {
        for (const QString &program : m_programs) {
            const Run help = run(installed(QStringLiteral("bin/") + program), {QStringLiteral("--help")}, offscreen());
            QVERIFY2(help.exitCode == 0 && help.out.contains(QLatin1String("Usage:")),
                     qPrintable(program + QStringLiteral(": ") + help.err));
        }
        const Run version = run(installed(QStringLiteral("bin/zrtool")), {QStringLiteral("--version")});
        QCOMPARE(version.out.trimmed(), QStringLiteral("zrtool ") + kProgramVersion);
        // A device command runs in the full program, found from zrtool's new place; the file commands stay in a
        // zrtool that loads Qt Core alone.
        const Run connect = run(installed(QStringLiteral("bin/zrtool")), {QStringLiteral("connect"),
                                                                           QStringLiteral("--simulate")});
        QVERIFY2(connect.exitCode == 0 && connect.out.contains(QLatin1String("Device: Zr501")),
                 qPrintable(connect.out + connect.err));
        if (!helpers().isEmpty()) {
            const Run ldd = run(QStringLiteral("ldd"), {installed(QStringLiteral("bin/zrtool"))});
            QCOMPARE(ldd.exitCode, 0);
            for (const char *library : {"libQt5Sql", "libQt5SerialPort", "libftdi1", "libusb"})
                QVERIFY2(!ldd.out.contains(QLatin1String(library)), qPrintable(ldd.out));
        }
    }

    void desktopEntry()
    {
        const QString entry = installed(QStringLiteral("share/applications/zrflasher.desktop"));
        QSettings desktop(entry, QSettings::IniFormat);
        desktop.beginGroup(QStringLiteral("Desktop Entry"));
        // The menu starts an installed program and shows an installed icon.
        QVERIFY(m_programs.contains(desktop.value(QStringLiteral("Exec")).toString()));
        QVERIFY(QFile::exists(installed(QStringLiteral("share/icons/hicolor/48x48/apps/%1.png")
                                            .arg(desktop.value(QStringLiteral("Icon")).toString()))));
        REQUIRE_TOOL(validate, "desktop-file-validate");
        const Run check = run(validate, {entry});
        QVERIFY2(check.exitCode == 0 && check.out.isEmpty(), qPrintable(check.out + check.err));
    }

    // Every option that a program's --help or any of its commands' --help prints appears in the manual page: the
    // top level anywhere in it, a command's in the subsection headed with its command words.
    void manPages_data()
    {
        QTest::addColumn<QString>("program");
        for (const QString &program : m_programs)
            QTest::newRow(qPrintable(program)) << program;
    }
    void manPages()
    {
        QFETCH(QString, program);
        REQUIRE_TOOL(man, "man");
        const QString page = renderPage(installed(QStringLiteral("share/man/man1/%1.1.gz").arg(program)));
        QVERIFY(page.contains(QStringLiteral("ZrFlasher ") + kProgramVersion));
        const QString binary = installed(QStringLiteral("bin/") + program);

        QList<QStringList> pending{{}};
        QStringList checked;
        while (!pending.isEmpty()) {
            const QStringList words = pending.takeFirst();
            const Run help = run(binary, words + QStringList{QStringLiteral("--help")}, offscreen());
            QVERIFY2(help.exitCode == 0, qPrintable(words.join(' ') + help.err));
            const QString heading = (QStringList{program} + words).join(QLatin1Char(' '));
            const QString section = words.isEmpty() ? page : renderedSection(page, heading);
            QVERIFY2(!section.isEmpty(), qPrintable(QStringLiteral("no section '%1'").arg(heading)));
            for (const QString &option : optionWords(help.out))
                QVERIFY2(section.contains(option), qPrintable(heading + QStringLiteral(": ") + option));
            for (const QString &command : commandWords(help.out))
                pending << words + QStringList{command};
            checked << heading;
        }
        // The walk reaches the second level of commands.
        if (program == QLatin1String("zrtool"))
            QVERIFY2(checked.contains(QStringLiteral("zrtool upg create")), qPrintable(checked.join(", ")));
    }

    // The zrsim page has what a reader looks for beside the options.
    void zrsimPageSections()
    {
        if (!m_programs.contains(QStringLiteral("zrsim")))
            QSKIP("zrsim is not built here");
        REQUIRE_TOOL(man, "man");
        const QString page = renderPage(installed(QStringLiteral("share/man/man1/zrsim.1.gz")));
        for (const char *section : {"EXAMPLES", "ENVIRONMENT", "FILES", "ZR_KEY_TABLE", "--flash-out"})
            QVERIFY2(page.contains(QLatin1String(section)), section);
    }

    // zrtool's bash completion as installed, with the installed zrtool on the PATH: the words bash would offer
    // for a command line ending at the cursor.
    void bashCompletion_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("offered"); // all of these, among what is offered
        QTest::addColumn<QStringList>("notOffered");
        QTest::newRow("command") << "zrtool up" << QStringList{"upg", "upgrade"} << QStringList{"boot"};
        QTest::newRow("second command word") << "zrtool upg " << QStringList{"create", "inspect", "extract"}
                                             << QStringList{"upgrade"};
        QTest::newRow("option of a command") << "zrtool upg create --mo" << QStringList{"--model"} << QStringList();
        QTest::newRow("after the key table") << "zrtool --key-table k.txt read-flash --out"
                                             << QStringList{"--output"} << QStringList{"--model"};
        QTest::newRow("model code") << "zrtool boot --model Zr50" << QStringList{"Zr501"} << QStringList{"Zr440"};
        QTest::newRow("family name") << "zrtool upgrade --family STM32F10"
                                     << QStringList{"STM32F100C8", "STM32F100C6", "STM32F103RC"}
                                     << QStringList{"STM32F405RG"};
    }
    void bashCompletion()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, offered);
        QFETCH(QStringList, notOffered);
        REQUIRE_TOOL(bash, "bash");
        QStringList words = line.split(QLatin1Char(' '));
        const QString script = QStringLiteral("source '%1'; COMP_WORDS=(%2); COMP_CWORD=%3; _zrtool; "
                                              "printf '%s\\n' \"${COMPREPLY[@]}\"")
                                   .arg(installed(QStringLiteral("share/bash-completion/completions/zrtool")))
                                   .arg(QStringLiteral("'") + words.join(QStringLiteral("' '")) + QStringLiteral("'"))
                                   .arg(words.size() - 1);
        const Run complete = run(bash, {QStringLiteral("-c"), script},
                                 env({{QStringLiteral("PATH"),
                                       installed(QStringLiteral("bin")) + QLatin1Char(':') + qEnvironmentVariable("PATH")}}));
        QVERIFY2(complete.exitCode == 0 && complete.err.isEmpty(), qPrintable(complete.err));
        const QStringList answers = complete.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &word : offered)
            QVERIFY2(answers.contains(word), qPrintable(word + QStringLiteral(" not in ") + answers.join(' ')));
        for (const QString &word : notOffered)
            QVERIFY2(!answers.contains(word), qPrintable(word + QStringLiteral(" in ") + answers.join(' ')));
    }

    // Text that roff would take for its own requests and escapes comes out of `man` as the help printed it.
    void roffEscaping_data()
    {
        QTest::addColumn<QString>("help");
        QTest::addColumn<QString>("shown");
        QTest::newRow("backslash") << QStringLiteral("Usage: x\nWrites C:\\temp\\fBnew\\n.\n")
                                   << QStringLiteral("Writes C:\\temp\\fBnew\\n.");
        QTest::newRow("leading dot") << QStringLiteral("Usage: x\n.upg files only.\n")
                                     << QStringLiteral(".upg files only.");
        QTest::newRow("leading quote") << QStringLiteral("Usage: x\n'quoted' start\n")
                                       << QStringLiteral("'quoted' start");
        QTest::newRow("hyphens") << QStringLiteral("Usage: x\n\nOptions:\n  --first-address <A>  From -1.\n")
                                 << QStringLiteral("--first-address <A>");
        QTest::newRow("wrapped entry")
            << QStringLiteral("Usage: x\n\nOptions:\n  --family <NAME>  One of: STM32F070F6,\n"
                              "                   STM32F100C6.\n")
            << QStringLiteral("One of: STM32F070F6, STM32F100C6.");
        QTest::newRow("command list")
            << QStringLiteral("Usage: x <command>\n\nCommands:\n  read-flash write the flash to a file\n")
            << QStringLiteral("read-flash\n");
    }
    void roffEscaping()
    {
        QFETCH(QString, help);
        QFETCH(QString, shown);
        REQUIRE_TOOL(man, "man");
        const HelpText parsed = parseHelp(help);
        QTemporaryDir dir;
        const QString page = dir.filePath(QStringLiteral("x.1"));
        QFile file(page);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write((QStringLiteral(".TH X 1\n.SH NAME\nx \\- y\n") + roffTopLevel(parsed) + roffCommand(parsed, QStringLiteral("x")))
                       .toUtf8());
        file.close();
        const QString text = renderPage(page);
        QVERIFY2(text.contains(shown), qPrintable(text));
    }

    // The package: our fields, the dependencies dpkg-shlibdeps found, and the same files as the install.
    void debianPackage()
    {
        REQUIRE_TOOL(dpkgDeb, "dpkg-deb");
        REQUIRE_TOOL(shlibdeps, "dpkg-shlibdeps");
        QTemporaryDir out;
        const Run cpack = run(QStringLiteral(ZR_CPACK),
                              {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), out.path(),
                               QStringLiteral("--config"), QStringLiteral(ZR_BUILD_DIR "/CPackConfig.cmake")});
        QVERIFY2(cpack.exitCode == 0, qPrintable(cpack.out + cpack.err));
        const QStringList debs = QDir(out.path()).entryList({QStringLiteral("zrflasher_*.deb")});
        QCOMPARE(debs.size(), 1);
        const QString deb = out.filePath(debs.first());
        QVERIFY(debs.first().startsWith(QStringLiteral("zrflasher_%1_").arg(kProgramVersion)));

        const auto field = [&](const char *name) {
            return run(dpkgDeb, {QStringLiteral("-f"), deb, QString::fromLatin1(name)}).out.trimmed();
        };
        QCOMPARE(field("Package"), QStringLiteral("zrflasher"));
        QCOMPARE(field("Version"), kProgramVersion);
        QCOMPARE(field("Section"), QStringLiteral("electronics"));
        QVERIFY(field("Maintainer").contains(QRegularExpression(QStringLiteral("^.+ <.+@.+>$"))));
        QVERIFY(field("Description").startsWith(QLatin1String("service and production tool")));
        const QString depends = field("Depends");
        for (const char *library : {"libc6", "libqt5core5a", "libqt5gui5", "libqt5widgets5"})
            QVERIFY2(depends.contains(QLatin1String(library)), qPrintable(depends));
        // Qt SQL finds its drivers at run time, out of dpkg-shlibdeps' sight: a program linking it needs the
        // SQLite driver named by hand.
        QStringList binaries = helpers();
        for (const QString &program : m_programs)
            binaries << QStringLiteral("bin/") + program;
        for (const QString &binary : binaries) {
            const Run ldd = run(QStringLiteral("ldd"), {installed(binary)});
            QCOMPARE(ldd.exitCode, 0);
            if (ldd.out.contains(QLatin1String("libQt5Sql.so")))
                QVERIFY2(depends.contains(QLatin1String("libqt5sql5-sqlite")), qPrintable(binary + ": " + depends));
        }

        const Run contents = run(dpkgDeb, {QStringLiteral("-x"), deb, out.filePath(QStringLiteral("root"))});
        QVERIFY2(contents.exitCode == 0, qPrintable(contents.err));
        QCOMPARE(filesBelow(out.filePath(QStringLiteral("root"))), filesBelow(m_destdir.path()));

        const Run control = run(dpkgDeb, {QStringLiteral("-e"), deb, out.filePath(QStringLiteral("control"))});
        QVERIFY2(control.exitCode == 0, qPrintable(control.err));
        const bool scripts = QFile::exists(out.filePath(QStringLiteral("control/postinst")));
        QCOMPARE(scripts, bool(ZR_HAS_UDEV_RULES));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "test_install.moc"
