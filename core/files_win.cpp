// The file operations on Windows: Qt's files for writing, MoveFileExW for the replacing rename.
#include "core/files.h"
#include "core/files_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <windows.h>

namespace zrfiles {

int lastSeparator(const QString &path)
{
    return qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
}

Kind kindOf(const QString &path, QString *what)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Kind::Missing;
    if (info.isDir()) {
        if (what)
            *what = QStringLiteral("a directory");
        return Kind::Directory;
    }
    return info.isFile() ? Kind::Regular : Kind::Other;
}

NewFile writeNewFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        if (file.exists())
            return NewFile::Exists;
        *error = file.errorString();
        return NewFile::Failed;
    }
    if (file.write(bytes) != bytes.size()) {
        *error = file.errorString();
        file.close();
        file.remove();
        return NewFile::Failed;
    }
    file.close();
    return NewFile::Written;
}

int syncFile(const QString &path)
{
    Q_UNUSED(path)
    return 0;
}

int syncDirectory(const QString &dir, bool wholeFileSystem)
{
    Q_UNUSED(dir)
    Q_UNUSED(wholeFileSystem)
    return 0;
}

bool flushesWholeFileSystem()
{
    return false;
}

bool processAlive(qint64 pid)
{
    Q_UNUSED(pid)
    return true;
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
    Q_UNUSED(devicesInPlace)
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = QStringLiteral("cannot replace the file (Windows error %1)").arg(GetLastError());
    return false;
}

bool makeOneDirectory(const QString &dir, QString *error)
{
    if (QDir().mkdir(dir) || QFileInfo(dir).isDir())
        return true;
    if (error)
        *error = QStringLiteral("cannot create the directory");
    return false;
}

} // namespace zrfiles

// A new directory is made as it is; its files get temporaries beside their final names.
bool FileBatch::intoDirectory(const QString &dir, QString *error)
{
    return makeDirectory(dir, error);
}

FileBatch::Staging FileBatch::addInStagingDirectory(const QString &, const QByteArray &, QString *)
{
    return Staging::NotThere;
}

void FileBatch::closeStaging(bool)
{
    m_stagingFd = m_parentFd = -1;
    m_stagingName.clear();
}

bool FileBatch::commitStagedDirectory()
{
    return false;
}
