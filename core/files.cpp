// Whole-file reads and all-or-nothing writes.
#include "core/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// What stands at a path: nothing, a regular file (or a link to one), a directory, or something else.
enum class Kind { Missing, Regular, Directory, CharDevice, Other };

Kind kindOf(const QString &path, QString *what = nullptr)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return Kind::Missing;
    const auto name = [what](const char *text) {
        if (what)
            *what = QLatin1String(text);
    };
    if (S_ISREG(st.st_mode))
        return Kind::Regular;
    if (S_ISDIR(st.st_mode))
        return name("a directory"), Kind::Directory;
    if (S_ISCHR(st.st_mode))
        return name("a character device"), Kind::CharDevice;
    name(S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISSOCK(st.st_mode) ? "a socket" : "a block device");
    return Kind::Other;
#else
    const QFileInfo info(path);
    if (!info.exists())
        return Kind::Missing;
    if (info.isDir()) {
        if (what)
            *what = QStringLiteral("a directory");
        return Kind::Directory;
    }
    return info.isFile() ? Kind::Regular : Kind::Other;
#endif
}

// Makes a written file durable: 0, or errno's code when its data may not have reached the disk. The temporaries
// of a batch get one flush of their file system instead.
int syncFile(const QString &path)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int code = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code;
#else
    Q_UNUSED(path)
    return 0;
#endif
}

// The directory's entries, or (wholeFileSystem) everything written to its file system; 0 or errno's code.
int syncDirectory(const QString &dir, bool wholeFileSystem)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int code = 0;
#ifdef Q_OS_LINUX
    if (wholeFileSystem)
        code = ::syncfs(fd) == 0 ? 0 : errno;
    else
#endif
        ::fsync(fd); // the directory entries themselves: a file system that cannot sync a directory has none to
                     // lose, so its refusal is no failure
    ::close(fd);
    return code;
#else
    Q_UNUSED(dir)
    Q_UNUSED(wholeFileSystem)
    return 0;
#endif
}

QString flushProblem(int code)
{
    return QStringLiteral("cannot flush it to the disk (%1)").arg(systemError(code));
}

#ifdef Q_OS_UNIX
// Creates `name` (relative to dirFd) as a new file holding `bytes`: 0, or errno's code with nothing left behind.
int writeNewFile(int dirFd, const char *name, const QByteArray &bytes)
{
    const int fd = ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int code = n < 0 ? errno : ENOSPC;
            ::close(fd);
            ::unlinkat(dirFd, name, 0);
            return code;
        }
        done += n;
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlinkat(dirFd, name, 0);
        return code;
    }
    return 0;
}
#endif

// A file name in the file system's encoding; the plain ASCII names of a series are narrowed without an allocation.
class NativeName
{
public:
    explicit NativeName(QStringView name)
    {
        if (name.size() < int(sizeof m_ascii)) {
            int i = 0;
            for (; i < name.size() && name.at(i).unicode() < 0x80; ++i)
                m_ascii[i] = char(name.at(i).unicode());
            if (i == name.size()) {
                m_ascii[i] = '\0';
                return;
            }
        }
        m_other = QFile::encodeName(name.toString());
    }
    const char *data() const { return m_other.isNull() ? m_ascii : m_other.constData(); }

private:
    char m_ascii[256];
    QByteArray m_other;
};

QString randomTag()
{
    return QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, QLatin1Char('0'));
}

// Replaces `to` by `from`; false with errno's reason.
bool replaceFile(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_LINUX
    // Most renames of a series land on a free name; only one that finds something there needs a closer look.
    const QByteArray source = QFile::encodeName(from), target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST) {
        switch (kindOf(to)) {
        case Kind::Directory:
            *error = systemError(EISDIR);
            return false;
        case Kind::CharDevice:
        case Kind::Other: { // a device or FIFO: written in place, never replaced
            QFile in(from), out(to);
            if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
                || out.write(in.readAll()) < 0 || (out.close(), out.error() != QFileDevice::NoError)) {
                *error = out.errorString();
                return false;
            }
            QFile::remove(from);
            return true;
        }
        default:
            break;
        }
    }
#endif
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = QStringLiteral("cannot replace the file (Windows error %1)").arg(GetLastError());
    return false;
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = systemError(errno);
    return false;
#endif
}

} // namespace

// --- reads ---

bool checkInputFile(const QString &path, qint64 maxSize, QString *error)
{
    QString what;
    switch (kindOf(path, &what)) {
    case Kind::Missing: // the open names the reason
    case Kind::CharDevice:
        return true;
    case Kind::Regular: {
        const qint64 size = QFileInfo(path).size();
        if (size <= maxSize)
            return true;
        *error = QStringLiteral("%1 bytes, more than the %2 bytes it can hold").arg(size).arg(maxSize);
        return false;
    }
    case Kind::Directory:
    case Kind::Other:
        break;
    }
    *error = QStringLiteral("not a regular file (%1)").arg(what);
    return false;
}

bool readFileBytes(const QString &path, QByteArray *bytes, QString *error, qint64 maxSize)
{
    QString problem;
    if (!checkInputFile(path, maxSize, &problem)) {
        if (error)
            *error = problem;
        return false;
    }
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        // A device has no size: read one byte more than allowed to tell whether it holds more.
        *bytes = file.read(maxSize + 1);
        if (file.error() == QFileDevice::NoError) {
            if (bytes->size() <= maxSize)
                return true;
            bytes->clear();
            if (error)
                *error = QStringLiteral("more than the %1 bytes it can hold").arg(maxSize);
            return false;
        }
    }
    if (error)
        *error = file.errorString();
    return false;
}

// --- writes ---

FileBatch::FileBatch(Mode mode)
    : m_mode(mode)
{
}

FileBatch::~FileBatch()
{
    if (!m_done)
        drop(0);
    closeStaging(true);
}

QString FileBatch::temporaryOf(const Staged &s) const
{
    return s.nameAt >= 0 ? m_stagingPath + QLatin1Char('/') + s.path.mid(s.nameAt) : s.temporary;
}

bool FileBatch::intoDirectory(const QString &dir, QString *error)
{
#ifdef Q_OS_LINUX
    if (kindOf(dir) != Kind::Missing || m_stagingFd >= 0 || !m_staged.isEmpty() || !m_failures.isEmpty())
        return makeDirectory(dir, error);
    const QString path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1);
    const QString parent = slash > 0 ? path.left(slash) : QStringLiteral("/");
    if (name.isEmpty() || name == QLatin1String("..") || !makeDirectory(parent, error))
        return makeDirectory(dir, error);
    m_parentFd = ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_parentFd < 0) {
        if (error)
            *error = systemError(errno);
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString staging = QLatin1Char('.') + name + QLatin1Char('.') + randomTag() + QLatin1String(".tmp");
        m_stagingName = QFile::encodeName(staging);
        if (::mkdirat(m_parentFd, m_stagingName.constData(), 0777) == 0) {
            m_stagingFd = ::openat(m_parentFd, m_stagingName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (m_stagingFd < 0)
                break;
            m_dir = dir;
            while (m_dir.endsWith(QLatin1Char('/')))
                m_dir.chop(1);
            m_finalName = QFile::encodeName(name);
            m_stagingPath = parent + QLatin1Char('/') + staging;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    if (error)
        *error = systemError(errno);
    closeStaging(true);
    return false;
#else
    return makeDirectory(dir, error);
#endif
}

void FileBatch::closeStaging(bool remove)
{
#ifdef Q_OS_UNIX
    if (m_stagingFd >= 0)
        ::close(m_stagingFd);
    if (remove && m_parentFd >= 0 && !m_stagingName.isEmpty())
        ::unlinkat(m_parentFd, m_stagingName.constData(), AT_REMOVEDIR); // only when it is empty
    if (m_parentFd >= 0)
        ::close(m_parentFd);
#else
    Q_UNUSED(remove)
#endif
    m_stagingFd = m_parentFd = -1;
    m_stagingName.clear();
}

void FileBatch::failFlush(int code)
{
    // Which file's data the disk lost is not known: none of them takes its final name.
    for (const Staged &s : qAsConst(m_staged)) {
        if (s.direct()) {
            ++m_committed;
            continue;
        }
        QFile::remove(temporaryOf(s));
        m_failures.append({s.path, flushProblem(code)});
    }
    m_staged.clear();
    closeStaging(true);
}

bool FileBatch::commitStagedDirectory()
{
#ifdef Q_OS_LINUX
    if (::syncfs(m_stagingFd) != 0) { // every file of the batch and their names, in one flush
        failFlush(errno);
        return true;
    }
    if (::renameat2(m_parentFd, m_stagingName.constData(), m_parentFd, m_finalName.constData(), RENAME_NOREPLACE)
        == 0) {
        ::fsync(m_parentFd);
        m_committed = m_staged.size();
        m_stagingName.clear(); // it is the directory now
        closeStaging(false);
        return true;
    }
    // The directory appeared meanwhile, or the file system cannot rename without replacing: the files go into
    // it one by one, as into any existing directory.
    ::mkdirat(m_parentFd, m_finalName.constData(), 0777);
#endif
    return false;
}

void FileBatch::drop(int from)
{
    for (int i = from; i < m_staged.size(); ++i)
        if (!m_staged.at(i).direct())
            QFile::remove(temporaryOf(m_staged.at(i)));
    m_staged.erase(m_staged.begin() + from, m_staged.end());
}

bool FileBatch::add(const QString &path, const QByteArray &bytes, QString *error)
{
    const auto fail = [&](const QString &reason) {
        m_failures.append({path, reason});
        if (error)
            *error = reason;
        if (m_mode == AllOrNone)
            drop(0);
        return false;
    };
    if (m_done || (m_mode != EachOnItsOwn && !m_failures.isEmpty()))
        return fail(QStringLiteral("not written: an earlier file of the series failed"));
#ifdef Q_OS_UNIX
    if (m_stagingFd >= 0 && path.startsWith(m_dir)) {
        int from = m_dir.size();
        while (from < path.size() && path.at(from) == QLatin1Char('/'))
            ++from;
        const QStringView name = QStringView(path).mid(from);
        if (from > m_dir.size() && !name.isEmpty() && !name.contains(QLatin1Char('/'))) {
            const int code = writeNewFile(m_stagingFd, NativeName(name).data(), bytes);
            if (code != 0)
                return fail(systemError(code));
            m_staged.append({path, QString(), from});
            return true;
        }
    }
#endif

    QString what;
    QString target = path;
    // The first file of a batch is looked at before writing; later ones (a series into one directory) only when
    // their rename finds something in the way, which saves a path lookup per image.
    const Kind kind = m_staged.isEmpty() && m_failures.isEmpty() ? kindOf(path, &what) : Kind::Missing;
    switch (kind) {
    case Kind::Directory:
        return fail(systemError(EISDIR));
    case Kind::CharDevice:
    case Kind::Other: {
        // A device or FIFO is written in place; it cannot be replaced without destroying it.
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(bytes) == bytes.size()) {
            file.close();
            if (file.error() == QFileDevice::NoError) {
                m_staged.append({path, QString(), -1});
                return true;
            }
        }
        return fail(file.errorString());
    }
    case Kind::Regular:
        if (QFileInfo(path).isSymLink()) // the link stays; its file is replaced
            target = QFileInfo(path).canonicalFilePath();
        break;
    case Kind::Missing:
        break;
    }

    // A temporary beside the final file, so the rename stays within one file system.
#ifdef Q_OS_UNIX
    // Plain system calls: a series writes thousands of these, and every call the kernel sees costs.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString temporary = target + QLatin1Char('.') + randomTag() + QLatin1String(".tmp");
        const int code = writeNewFile(AT_FDCWD, QFile::encodeName(temporary).constData(), bytes);
        if (code == EEXIST)
            continue;
        if (code != 0)
            return fail(systemError(code));
        m_staged.append({target, temporary, -1});
        return true;
    }
    return fail(systemError(EEXIST));
#else
    QFile file;
    for (int attempt = 0; attempt < 100; ++attempt) {
        file.setFileName(target + QLatin1Char('.') + randomTag() + QLatin1String(".tmp"));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)
            || file.error() != QFileDevice::OpenError || !file.exists())
            break;
    }
    if (!file.isOpen())
        return fail(file.errorString());
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.close();
        file.remove();
        return fail(reason);
    }
    file.close();
    m_staged.append({target, file.fileName()});
    return true;
#endif
}

bool FileBatch::commit()
{
    m_done = true;
    if (m_stagingFd >= 0 && commitStagedDirectory()) {
        m_staged.clear();
        return m_failures.isEmpty();
    }
    // Durable first, visible second: after a crash a final name holds either its old file or the whole new one.
    QSet<QString> directories;
    int temporaries = 0;
    QStringRef lastParent; // a series shares one directory: its absolute path is worked out once
    for (const Staged &s : m_staged) {
        if (s.direct())
            continue;
        ++temporaries;
#ifdef Q_OS_WIN
        const int slash = qMax(s.path.lastIndexOf(QLatin1Char('/')), s.path.lastIndexOf(QLatin1Char('\\')));
#else
        const int slash = s.path.lastIndexOf(QLatin1Char('/'));
#endif
        const QStringRef parent = s.path.leftRef(slash + 1);
        if (temporaries > 1 && parent == lastParent)
            continue;
        lastParent = parent;
        directories.insert(QFileInfo(s.path).absolutePath());
    }
#ifdef Q_OS_LINUX
    const bool perFileSystem = temporaries > 1; // one flush of each file system instead of one sync per file
#else
    const bool perFileSystem = false;
#endif
    int flushError = 0;
    if (perFileSystem) {
        for (const QString &dir : directories)
            flushError = flushError ? flushError : syncDirectory(dir, true);
    } else {
        for (const Staged &s : m_staged)
            if (!s.direct())
                flushError = flushError ? flushError : syncFile(temporaryOf(s));
    }
    if (flushError) {
        failFlush(flushError);
        return false;
    }

    QStringList renamed;
    for (int i = 0; i < m_staged.size(); ++i) {
        const Staged &s = m_staged.at(i);
        QString reason;
        if (s.direct()) {
            ++m_committed;
            continue;
        }
        const QString temporary = temporaryOf(s);
        if (replaceFile(temporary, s.path, &reason)) {
            ++m_committed;
            renamed << s.path;
            continue;
        }
        QFile::remove(temporary);
        m_failures.append({s.path, reason});
        if (m_mode == EachOnItsOwn)
            continue;
        drop(i + 1);
        if (m_mode == AllOrNone) {
            for (const QString &path : qAsConst(renamed))
                QFile::remove(path);
            m_committed = 0;
        }
        break;
    }
    for (const QString &dir : qAsConst(directories))
        syncDirectory(dir, false);
    m_staged.clear();
    closeStaging(true);
    return m_failures.isEmpty();
}

bool makeDirectory(const QString &dir, QString *error)
{
    if (QFileInfo(dir).isDir())
        return true;
    const QString parent = QFileInfo(QFileInfo(dir).absoluteFilePath()).path();
    if (parent != QFileInfo(dir).absoluteFilePath() && !makeDirectory(parent, error))
        return false;
#ifdef Q_OS_UNIX
    if (::mkdir(QFile::encodeName(dir).constData(), 0777) == 0 || (errno == EEXIST && QFileInfo(dir).isDir()))
        return true;
    if (error)
        *error = systemError(errno);
    return false;
#else
    if (QDir().mkdir(dir) || QFileInfo(dir).isDir())
        return true;
    if (error)
        *error = QStringLiteral("cannot create the directory");
    return false;
#endif
}

bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error)
{
    FileBatch batch;
    if (batch.add(path, bytes, error) && batch.commit())
        return true;
    if (error && !batch.failures().isEmpty())
        *error = batch.failures().constFirst().error;
    return false;
}
