// Replacing files: permissions kept, files the user may not write refused, the wizard's in-place save in a folder
// that takes no new files, and links and FIFOs under fixed and named outputs.
#include <QtTest>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/files.h"
#include "params/paramrecord.h"

namespace {

constexpr uid_t kNobody = 65534;

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool put(const QString &path, const QByteArray &bytes, int mode)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && (f.close(), true)
        && ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

struct stat statOf(const QString &path)
{
    struct stat st = {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

// Runs `body` as an ordinary user and tells whether it returned true: as root in a child process that has
// dropped to nobody (root may write any file, so only a user shows the permission rules), otherwise right here.
bool asUser(const std::function<bool()> &body)
{
    if (::geteuid() != 0)
        return body();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool ok = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && body();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A scratch directory every user may write in.
struct SharedDir
{
    QTemporaryDir dir;
    SharedDir() { ::chmod(QFile::encodeName(dir.path()).constData(), 0777); }
    QString path(const QString &name) const { return dir.filePath(name); }
    QStringList entries() const
    {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                                          QDir::Name);
    }
};

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void replacedFileKeepsMode_data();
    void replacedFileKeepsMode();
    void unwritableFileRefused_data();
    void unwritableFileRefused();
    void saveInPlace_data();
    void saveInPlace();
    void linksAndFifos_data();
    void linksAndFifos();
    void staleTemporaries();
};

// A replaced file keeps its permissions (and root keeps its owner), whether it is the single file of a write or a
// later file of a series, which is only looked at when its rename finds it.
void TestFiles::replacedFileKeepsMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("series");
    QTest::addColumn<bool>("otherOwner"); // the file belongs to another user (root only)
    QTest::newRow("0600 dump") << 0600 << false << false;
    QTest::newRow("0640") << 0640 << false << false;
    QTest::newRow("0600, second file of a series") << 0600 << true << false;
    QTest::newRow("0444, replaced by root") << 0444 << false << false;
    QTest::newRow("another user's 0640, replaced by root") << 0640 << false << true;
}

void TestFiles::replacedFileKeepsMode()
{
    QFETCH(int, mode);
    QFETCH(bool, series);
    QFETCH(bool, otherOwner);
    if ((mode == 0444 || otherOwner) && ::geteuid() != 0)
        QSKIP("only root may write a read-only or another user's file");
    SharedDir d;
    const QString path = d.path("out.bin");
    QVERIFY(put(path, "old", mode));
    if (otherOwner)
        QVERIFY(::chown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0);
    const struct stat before = statOf(path);
    if (series) {
        FileBatch batch;
        QVERIFY(batch.add(d.path("first.bin"), "first"));
        QVERIFY(batch.add(path, "new"));
        QVERIFY(batch.commit());
    } else {
        QString error;
        QVERIFY2(writeFileBytes(path, "new", &error), qPrintable(error));
    }
    const struct stat after = statOf(path);
    QCOMPARE(readAll(path), QByteArray("new"));
    QVERIFY(after.st_ino != before.st_ino); // replaced, not written over
    QCOMPARE(int(after.st_mode & 07777), mode);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
}

// A file the user may not write is not replaced behind its owner's back, even in a folder the user may write.
void TestFiles::unwritableFileRefused_data()
{
    QTest::addColumn<bool>("series");
    QTest::newRow("single file") << false;
    QTest::newRow("second file of a series") << true;
}

void TestFiles::unwritableFileRefused()
{
    QFETCH(bool, series);
    SharedDir d;
    const QString path = d.path("out.bin");
    QVERIFY(put(path, "old", 0444));
    QVERIFY(asUser([&] {
        if (!series) {
            QString error;
            return !writeFileBytes(path, "new", &error) && error == QLatin1String("Permission denied");
        }
        FileBatch batch;
        return batch.add(d.path("first.bin"), "first") && batch.add(path, "new") && !batch.commit()
            && batch.failures().constFirst().path == path
            && batch.failures().constFirst().error == QLatin1String("Permission denied");
    }));
    QCOMPARE(readAll(path), QByteArray("old"));
    QCOMPARE(int(statOf(path).st_mode & 07777), 0444);
    QVERIFY(d.entries().filter(".tmp").isEmpty());
}

// The wizard's Save As in a folder that takes no new files: a file the user may write is rewritten in place
// (exactly the record), anything else is refused.
void TestFiles::saveInPlace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mode"); // -1: no such file
    QTest::addColumn<bool>("saved");
    QTest::newRow("writable file, longer than a record") << "p.txt" << 0666 << true;
    QTest::newRow("read-only file") << "p.txt" << 0444 << false;
    QTest::newRow("new file") << "new.txt" << -1 << false;
}

void TestFiles::saveInPlace()
{
    QFETCH(QString, name);
    QFETCH(int, mode);
    QFETCH(bool, saved);
    SharedDir d;
    const QString path = d.path(name);
    const QByteArray old(300, '\x5A');
    if (mode >= 0)
        QVERIFY(put(path, old, mode));
    QVERIFY(::chmod(QFile::encodeName(d.dir.path()).constData(), 0555) == 0);
    const auto restore = qScopeGuard([&] { ::chmod(QFile::encodeName(d.dir.path()).constData(), 0777); });
    ParamRecord record;
    QVERIFY(asUser([&] {
        QString error;
        // All-or-nothing alone cannot: no temporary can be made in the folder.
        if (writeFileBytes(path, record.bytes(), &error))
            return false;
        return record.save(path, &error) == saved && (saved || error.contains(QLatin1String("Permission denied")));
    }));
    QCOMPARE(readAll(path), saved ? record.bytes() : mode >= 0 ? old : QByteArray());
    QCOMPARE(d.entries(), mode >= 0 ? QStringList({name}) : QStringList());
}

// A fixed name (a dump the program always writes under the same name) never follows a link or writes into a
// FIFO; a named output follows a link to its file but refuses a link to nothing.
void TestFiles::linksAndFifos_data()
{
    QTest::addColumn<QString>("planted"); // what stands under the name: link, dangling, fifo, file, nothing
    QTest::addColumn<bool>("fixed");
    QTest::addColumn<QString>("refusal"); // empty: written
    QTest::newRow("fixed name, link to another file") << "link" << true << "a symbolic link, not followed for this name";
    QTest::newRow("fixed name, link to nothing") << "dangling" << true << "a symbolic link, not followed for this name";
    QTest::newRow("fixed name, FIFO") << "fifo" << true << "not a regular file (a FIFO)";
    QTest::newRow("fixed name, regular file") << "file" << true << "";
    QTest::newRow("fixed name, nothing") << "nothing" << true << "";
    QTest::newRow("named output, link to nothing") << "dangling" << false << "a symbolic link to nothing";
    QTest::newRow("named output, link to a file") << "link" << false << "";
}

void TestFiles::linksAndFifos()
{
    QFETCH(QString, planted);
    QFETCH(bool, fixed);
    QFETCH(QString, refusal);
    SharedDir d;
    const QString name = d.path("err_readed.bin");
    const QString victim = d.path("victim");
    const QByteArray kept("the victim's own bytes");
    QVERIFY(put(victim, kept, 0600));
    if (planted == "link")
        QVERIFY(QFile::link(victim, name));
    else if (planted == "dangling")
        QVERIFY(QFile::link(d.path("created"), name));
    else if (planted == "fifo")
        QVERIFY(::mkfifo(QFile::encodeName(name).constData(), 0600) == 0);
    else if (planted == "file")
        QVERIFY(put(name, "old", 0644));

    QString error;
    const bool written = fixed ? writeFixedNameFile(name, "dump", &error) : writeFileBytes(name, "dump", &error);
    QCOMPARE(written, refusal.isEmpty());
    QVERIFY2(refusal.isEmpty() ? error.isEmpty() : error.startsWith(refusal), qPrintable(error));
    QVERIFY(!QFileInfo::exists(d.path("created")));
    if (planted == "link" || planted == "dangling")
        QVERIFY(QFileInfo(name).isSymLink()); // the link itself stays
    if (planted == "link" && !fixed)
        QCOMPARE(readAll(victim), QByteArray("dump"));
    else
        QCOMPARE(readAll(victim), kept);
    if (planted == "file" || planted == "nothing")
        QCOMPARE(readAll(name), QByteArray("dump"));
    QVERIFY(d.entries().filter(".tmp").isEmpty());
}

// What a killed series leaves is removed by the next run into the folder: our temporaries whose process is gone,
// and the hidden directory of a new folder; a live run's temporaries and other files stay.
void TestFiles::staleTemporaries()
{
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    QVERIFY(dead > 0 && ::waitpid(dead, nullptr, 0) == dead);
    const QString gone = QString::number(dead), alive = QString::number(QCoreApplication::applicationPid());
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("out/.out.9.tmp") && QDir(root.path()).mkpath(".out." + gone + "-11112222.tmp")
            && QDir(root.path()).mkpath(".other." + gone + "-11112222.tmp"));
    const QString out = root.filePath("out");
    const QStringList removed = {"Zr501_Boot_1.bin." + gone + "-0a1b2c3d.tmp", "x.upg." + gone + "-ffffffff.tmp"};
    const QStringList kept = {"Zr501_Boot_2.bin." + alive + "-0a1b2c3d.tmp", "notes.tmp", "Zr501_Boot_3.bin",
                              "y.bin.12-0a1b2c3.tmp"};
    for (const QString &name : removed + kept)
        QVERIFY(put(out + "/" + name, "x", 0644));
    QVERIFY(put(root.filePath(".out." + gone + "-11112222.tmp/Zr501_Boot_4.bin"), "x", 0644));
    QVERIFY(put(root.filePath(".other." + gone + "-11112222.tmp/a.bin"), "x", 0644));
    // A link under a temporary's name, here to a directory of someone else's files, is never followed or removed.
    QVERIFY(QDir(root.path()).mkdir("victim") && put(root.filePath("victim/keep.bin"), "x", 0644));
    QVERIFY(QFile::link(root.filePath("victim"), root.filePath(".out." + gone + "-33334444.tmp")));

    QCOMPARE(removeStaleTemporaries(out), 3);
    QStringList left = kept + QStringList{".out.9.tmp"};
    left.sort();
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name), left);
    QVERIFY(!QFileInfo::exists(root.filePath(".out." + gone + "-11112222.tmp")));
    QVERIFY(QFileInfo::exists(root.filePath(".other." + gone + "-11112222.tmp/a.bin")));
    QVERIFY(QFileInfo::exists(root.filePath("victim/keep.bin")));
    QVERIFY(QFileInfo(root.filePath(".out." + gone + "-33334444.tmp")).isSymLink());
    QCOMPARE(removeStaleTemporaries(out), 0);
}

QTEST_GUILESS_MAIN(TestFiles)
#include "test_files.moc"
