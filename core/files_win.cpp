// The file operations on Windows: the wide-character Win32 calls, so drive letters, backslashes and names in any
// script work; FlushFileBuffers makes a temporary durable and MoveFileExW puts it in place, written through.
#include "core/files.h"
#include "core/files_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <windows.h>

namespace zrfiles {

namespace {

// The path as Win32 takes it: backslashes, UTF-16, NUL-terminated.
class WidePath
{
public:
    explicit WidePath(const QString &path) : m_path(QDir::toNativeSeparators(path)) {}
    const wchar_t *data() const { return reinterpret_cast<const wchar_t *>(m_path.utf16()); }

private:
    QString m_path;
};

// The C library's code for a Win32 error, so a message reads the same as on the other systems ("No space left on
// device"); EIO for the rare ones without a counterpart.
int errnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
    case ERROR_BAD_PATHNAME:
        return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    default:
        return EIO;
    }
}

QString windowsError(DWORD error)
{
    return systemError(errnoOf(error));
}

// Opens what stands at `path` without reading it (a directory too): INVALID_HANDLE_VALUE when nothing is there.
HANDLE openExisting(const QString &path, DWORD access)
{
    return CreateFileW(WidePath(path).data(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Writes all of `bytes` to an open handle: 0, or the Win32 error.
DWORD writeAll(HANDLE file, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = DWORD(qMin<qint64>(bytes.size() - done, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.constData() + done, chunk, &written, nullptr))
            return GetLastError();
        if (written == 0)
            return ERROR_DISK_FULL;
        done += written;
    }
    return 0;
}

// What stands at `to` is a device: `from`'s bytes go into it and `from` goes away.
bool copyInPlace(const QString &from, const QString &to, QString *error)
{
    QByteArray bytes;
    if (!readFileBytes(from, &bytes, error) || !writeInPlace(to, bytes, error))
        return false;
    DeleteFileW(WidePath(from).data());
    return true;
}

} // namespace

int lastSeparator(const QString &path)
{
    return qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
}

Kind kindOf(const QString &path, QString *what)
{
    const auto name = [what](const char *text) {
        if (what)
            *what = QLatin1String(text);
    };
    // Opened, not looked up by attributes: a device name (NUL, COM3, also as C:\dir\NUL) has no attributes.
    const HANDLE handle = openExisting(path, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        // Something held open by a program that shares nothing still has attributes.
        const DWORD attributes = GetFileAttributesW(WidePath(path).data());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return Kind::Missing;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return name("a directory"), Kind::Directory;
        return Kind::Regular;
    }
    const DWORD type = GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION info;
    const bool haveInfo = type == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    switch (type) {
    case FILE_TYPE_CHAR:
        return name("a character device"), Kind::CharDevice;
    case FILE_TYPE_PIPE:
        return name("a pipe"), Kind::Other;
    case FILE_TYPE_DISK:
        if (haveInfo && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return name("a directory"), Kind::Directory;
        return Kind::Regular;
    default:
        return name("a device"), Kind::Other;
    }
}

NewFile writeNewFile(const QString &path, const QByteArray &bytes, QString *error)
{
    const HANDLE file = CreateFileW(WidePath(path).data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
            return NewFile::Exists;
        *error = windowsError(code);
        return NewFile::Failed;
    }
    DWORD code = writeAll(file, bytes);
    if (!CloseHandle(file) && !code)
        code = GetLastError();
    if (code) {
        DeleteFileW(WidePath(path).data());
        *error = windowsError(code);
        return NewFile::Failed;
    }
    return NewFile::Written;
}

// Opened by its own name, as Win32 knows devices (NUL, COM3, C:\\dir\\NUL); Qt's files would make it an
// ordinary path and find no such file.
bool writeInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    const HANDLE out = CreateFileW(WidePath(path).data(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        *error = windowsError(GetLastError());
        return false;
    }
    const DWORD code = writeAll(out, bytes);
    CloseHandle(out);
    if (code)
        *error = windowsError(code);
    return !code;
}

int syncFile(const QString &path)
{
    // FlushFileBuffers wants a handle that may write.
    const HANDLE file = openExisting(path, GENERIC_WRITE);
    if (file == INVALID_HANDLE_VALUE)
        return errnoOf(GetLastError());
    const int code = FlushFileBuffers(file) ? 0 : errnoOf(GetLastError());
    CloseHandle(file);
    return code;
}

int syncDirectory(const QString &, bool)
{
    // A directory cannot be flushed here; the rename below is written through instead.
    return 0;
}

bool flushesWholeFileSystem()
{
    return false; // one FlushFileBuffers per temporary
}

bool processAlive(qint64 pid)
{
    // A process that cannot be opened for lack of rights still runs; only an unknown ID is gone.
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return pid <= 0 ? false : GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool alive = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
    CloseHandle(process);
    return alive;
}

bool mayWrite(const QString &path, QString *error)
{
    if (QFileInfo(path).isWritable())
        return true;
    *error = QStringLiteral("Permission denied");
    return false;
}

bool mayCreateIn(const QString &dir)
{
    return QFileInfo(dir).isWritable();
}

bool replaceFile(const QString &from, const QString &to, QString *error, bool devicesInPlace)
{
    if (kindOf(to) == Kind::Regular && !mayWrite(to, error))
        return false;
    // Written through: the call returns once the new name is on the disk.
    if (MoveFileExW(WidePath(from).data(), WidePath(to).data(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD code = GetLastError();
    switch (kindOf(to)) {
    case Kind::Directory:
        *error = systemError(EISDIR);
        return false;
    case Kind::CharDevice:
    case Kind::Other:
        if (devicesInPlace)
            return copyInPlace(from, to, error);
        *error = windowsError(code);
        return false;
    default:
        *error = windowsError(code);
        return false;
    }
}

bool makeOneDirectory(const QString &dir, QString *error)
{
    if (CreateDirectoryW(WidePath(dir).data(), nullptr))
        return true;
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS && kindOf(dir) == Kind::Directory)
        return true;
    if (error)
        *error = windowsError(code);
    return false;
}

} // namespace zrfiles

using namespace zrfiles;

// A new directory of a series is built hidden beside its place, ".<name>.<random>.tmp", and renamed into place
// whole after every file in it was flushed. There is no descriptor to hold here: m_stagingFd 0 marks a staging
// directory in use, m_stagingPath names it.
bool FileBatch::intoDirectory(const QString &dir, QString *error)
{
    if (kindOf(dir) != Kind::Missing || m_stagingFd >= 0 || !m_staged.isEmpty() || !m_failures.isEmpty())
        return makeDirectory(dir, error);
    const QString path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath()); // "C:/a/b", forward slashes
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1);
    const QString parent = path.left(slash);
    if (slash < 0 || name.isEmpty() || name.endsWith(QLatin1Char(':')) || !makeDirectory(parent, error))
        return makeDirectory(dir, error);
    DWORD code = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString staging = parent + QLatin1String("/.") + name + QLatin1Char('.') + randomTag()
                                + QLatin1String(".tmp");
        if (CreateDirectoryW(WidePath(staging).data(), nullptr)) {
            SetFileAttributesW(WidePath(staging).data(), FILE_ATTRIBUTE_HIDDEN);
            m_stagingPath = staging;
            m_dir = QDir::toNativeSeparators(dir);
            while (m_dir.endsWith(QLatin1Char('\\')))
                m_dir.chop(1);
            m_finalName = path.toUtf8();
            m_stagingFd = 0;
            return true;
        }
        code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS)
            break;
    }
    if (error)
        *error = windowsError(code);
    return false;
}

FileBatch::Staging FileBatch::addInStagingDirectory(const QString &path, const QByteArray &bytes, QString *reason)
{
    if (m_stagingFd < 0)
        return Staging::NotThere;
    const QString native = QDir::toNativeSeparators(path);
    if (!native.startsWith(m_dir))
        return Staging::NotThere;
    int from = m_dir.size();
    while (from < native.size() && native.at(from) == QLatin1Char('\\'))
        ++from;
    const QString name = native.mid(from);
    if (from == m_dir.size() || name.isEmpty() || name.contains(QLatin1Char('\\')))
        return Staging::NotThere;
    switch (writeNewFile(m_stagingPath + QLatin1Char('/') + name, bytes, reason)) {
    case NewFile::Written:
        m_staged.append({path, QString(), from});
        return Staging::Added;
    case NewFile::Exists: // the same name twice in one series
        *reason = systemError(EEXIST);
        return Staging::Failed;
    case NewFile::Failed:
        break;
    }
    return Staging::Failed;
}

void FileBatch::closeStaging(bool remove)
{
    if (remove && m_stagingFd >= 0 && !m_stagingPath.isEmpty())
        RemoveDirectoryW(WidePath(m_stagingPath).data()); // only when it is empty
    m_stagingFd = m_parentFd = -1;
    m_stagingName.clear();
}

bool FileBatch::commitStagedDirectory()
{
    // Every file durable first, then the one rename that makes the series appear.
    for (const Staged &s : qAsConst(m_staged)) {
        if (const int code = syncFile(temporaryOf(s))) {
            failFlush(code);
            return true;
        }
    }
    const QString final = QString::fromUtf8(m_finalName);
    if (MoveFileExW(WidePath(m_stagingPath).data(), WidePath(final).data(), MOVEFILE_WRITE_THROUGH)) {
        SetFileAttributesW(WidePath(final).data(), FILE_ATTRIBUTE_NORMAL);
        m_committed = m_staged.size();
        m_stagingFd = -1; // it is the directory now
        closeStaging(false);
        return true;
    }
    // The directory appeared meanwhile: the files go into it one by one, as into any existing directory.
    CreateDirectoryW(WidePath(final).data(), nullptr);
    return false;
}
