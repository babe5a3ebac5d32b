// The file operations of a POSIX system: plain system calls, since a series writes thousands of files and every
// call the kernel sees costs; Linux adds one flush per file system and renames that never replace.
#include "core/files.h"
#include "core/files_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zrfiles {

int lastSeparator(const QString &path)
{
    return path.lastIndexOf(QLatin1Char('/'));
}

Kind kindOf(const QString &path, QString *what)
{
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
}

namespace {

// Creates `name` (relative to dirFd) as a new file holding `bytes`: 0, or errno's code with nothing left behind.
int writeNewFileAt(int dirFd, const char *name, const QByteArray &bytes)
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

} // namespace

NewFile writeNewFile(const QString &path, const QByteArray &bytes, QString *error)
{
    const int code = writeNewFileAt(AT_FDCWD, QFile::encodeName(path).constData(), bytes);
    if (code == 0)
        return NewFile::Written;
    if (code == EEXIST)
        return NewFile::Exists;
    *error = systemError(code);
    return NewFile::Failed;
}

bool writeInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(bytes) == bytes.size()) {
        file.close();
        if (file.error() == QFileDevice::NoError)
            return true;
    }
    *error = file.errorString();
    return false;
}

int syncFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int code = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code;
}

int syncDirectory(const QString &dir, bool wholeFileSystem)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int code = 0;
#ifdef Q_OS_LINUX
    if (wholeFileSystem)
        code = ::syncfs(fd) == 0 ? 0 : errno;
    else
#else
    Q_UNUSED(wholeFileSystem)
#endif
        ::fsync(fd); // the directory entries themselves: a file system that cannot sync a directory has none to
                     // lose, so its refusal is no failure
    ::close(fd);
    return code;
}

bool flushesWholeFileSystem()
{
#ifdef Q_OS_LINUX
    return true;
#else
    return false;
#endif
}

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH);
}

bool mayWrite(const QString &path, QString *error)
{
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), W_OK, AT_EACCESS) == 0)
        return true;
    *error = systemError(errno);
    return false;
}

bool mayCreateIn(const QString &dir)
{
    return ::faccessat(AT_FDCWD, QFile::encodeName(dir).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

namespace {

// A replaced file keeps its permission bits, its group where the user may set it, and its owner when root
// replaces it: a 0600 dump stays private, a root-owned 0444 output stays root's and read-only. Set-id bits are
// not carried over to new content.
bool takeOver(const QByteArray &from, const QString &to, QString *error)
{
    struct stat st;
    if (::stat(QFile::encodeName(to).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return true; // gone meanwhile: the new file is simply new
    if (!mayWrite(to, error))
        return false;
    // A group the user is not in is refused: the file then has the user's default group.
    if (::chown(from.constData(), ::geteuid() == 0 ? st.st_uid : uid_t(-1), st.st_gid) != 0)
        errno = 0;
    if (::chmod(from.constData(), st.st_mode & 0777) == 0)
        return true;
    *error = systemError(errno);
    return false;
}

} // namespace

bool replaceFile(const QString &from, const QString &to, QString *error, bool devicesInPlace)
{
    const QByteArray source = QFile::encodeName(from), target = QFile::encodeName(to);
#ifdef Q_OS_LINUX
    // Most renames of a series land on a free name; only one that finds something there needs a closer look.
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
#endif
    switch (kindOf(to)) {
    case Kind::Directory:
        *error = systemError(EISDIR);
        return false;
    case Kind::CharDevice:
    case Kind::Other: { // a device or FIFO: written in place, never replaced
        if (!devicesInPlace)
            break;
        QFile in(from), out(to);
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
            || out.write(in.readAll()) < 0 || (out.close(), out.error() != QFileDevice::NoError)) {
            *error = out.errorString();
            return false;
        }
        QFile::remove(from);
        return true;
    }
    case Kind::Regular:
        if (!takeOver(source, to, error))
            return false;
        break;
    case Kind::Missing:
        break;
    }
    if (std::rename(source.constData(), target.constData()) == 0)
        return true;
    *error = systemError(errno);
    return false;
}

bool makeOneDirectory(const QString &dir, QString *error)
{
    if (::mkdir(QFile::encodeName(dir).constData(), 0777) == 0 || (errno == EEXIST && QFileInfo(dir).isDir()))
        return true;
    if (error)
        *error = systemError(errno);
    return false;
}

} // namespace zrfiles

using namespace zrfiles;

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
        const QString staging = QLatin1Char('.') + name + QLatin1Char('.') + temporaryTag() + QLatin1String(".tmp");
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

FileBatch::Staging FileBatch::addInStagingDirectory(const QString &path, const QByteArray &bytes, QString *reason)
{
    if (m_stagingFd < 0 || !path.startsWith(m_dir))
        return Staging::NotThere;
    int from = m_dir.size();
    while (from < path.size() && path.at(from) == QLatin1Char('/'))
        ++from;
    const QStringView name = QStringView(path).mid(from);
    if (from == m_dir.size() || name.isEmpty() || name.contains(QLatin1Char('/')))
        return Staging::NotThere;
    const int code = writeNewFileAt(m_stagingFd, NativeName(name).data(), bytes);
    if (code != 0) {
        *reason = systemError(code);
        return Staging::Failed;
    }
    m_staged.append({path, QString(), from});
    return Staging::Added;
}

void FileBatch::closeStaging(bool remove)
{
    if (m_stagingFd >= 0)
        ::close(m_stagingFd);
    if (remove && m_parentFd >= 0 && !m_stagingName.isEmpty())
        ::unlinkat(m_parentFd, m_stagingName.constData(), AT_REMOVEDIR); // only when it is empty
    if (m_parentFd >= 0)
        ::close(m_parentFd);
    m_stagingFd = m_parentFd = -1;
    m_stagingName.clear();
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
