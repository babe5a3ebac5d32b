// Whole-file reads and all-or-nothing writes.
#include "core/files.h"
#include "core/files_platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <cerrno>
#include <cstring>

namespace zrfiles {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString randomTag()
{
    return QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, QLatin1Char('0'));
}

QString temporaryTag()
{
    return QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-') + randomTag();
}

} // namespace zrfiles

using namespace zrfiles;

namespace {

QString flushProblem(int code)
{
    return QStringLiteral("cannot flush it to the disk (%1)").arg(systemError(code));
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
    QString reason;
    switch (addInStagingDirectory(path, bytes, &reason)) {
    case Staging::Added:
        return true;
    case Staging::Failed:
        return fail(reason);
    case Staging::NotThere:
        break;
    }

    QString what;
    QString target = path;
    // The first file of a batch is looked at before writing; later ones (a series into one directory) only when
    // their rename finds something in the way, which saves a path lookup per image.
    const bool first = m_staged.isEmpty() && m_failures.isEmpty();
    if (first && QFileInfo(path).isSymLink()) {
        if (m_fixedNames)
            return fail(QStringLiteral("a symbolic link, not followed for this name"));
        if (!QFileInfo::exists(path))
            return fail(QStringLiteral("a symbolic link to nothing (%1)").arg(QFileInfo(path).symLinkTarget()));
    }
    const Kind kind = first ? kindOf(path, &what) : Kind::Missing;
    switch (kind) {
    case Kind::Directory:
        return fail(systemError(EISDIR));
    case Kind::CharDevice:
    case Kind::Other: {
        if (m_fixedNames)
            return fail(QStringLiteral("not a regular file (%1)").arg(what));
        // A device or FIFO is written in place; it cannot be replaced without destroying it.
        if (!writeInPlace(path, bytes, &reason))
            return fail(reason);
        m_staged.append({path, QString(), -1});
        return true;
    }
    case Kind::Regular:
        if (QFileInfo(path).isSymLink()) // the link stays; its file is replaced
            target = QFileInfo(path).canonicalFilePath();
        if (!mayWrite(target, &reason)) // checked again at the rename, which keeps the file's permissions
            return fail(reason);
        break;
    case Kind::Missing:
        break;
    }

    // A temporary beside the final file, so the rename stays within one file system.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString temporary = target + QLatin1Char('.') + temporaryTag() + QLatin1String(".tmp");
        switch (writeNewFile(temporary, bytes, &reason)) {
        case NewFile::Exists:
            continue;
        case NewFile::Failed:
            return fail(reason);
        case NewFile::Written:
            m_staged.append({target, temporary, -1});
            return true;
        }
    }
    return fail(systemError(EEXIST));
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
        const int slash = lastSeparator(s.path);
        const QStringRef parent = s.path.leftRef(slash + 1);
        if (temporaries > 1 && parent == lastParent)
            continue;
        lastParent = parent;
        directories.insert(QFileInfo(s.path).absolutePath());
    }
    // One flush of each file system instead of one sync per file, where the system has it.
    const bool perFileSystem = temporaries > 1 && flushesWholeFileSystem();
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
        if (replaceFile(temporary, s.path, &reason, !m_fixedNames)) {
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
    return makeOneDirectory(dir, error);
}

namespace {

bool writeOne(FileBatch &batch, const QString &path, const QByteArray &bytes, QString *error)
{
    if (batch.add(path, bytes, error) && batch.commit())
        return true;
    if (error && !batch.failures().isEmpty())
        *error = batch.failures().constFirst().error;
    return false;
}

} // namespace

bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error)
{
    FileBatch batch;
    return writeOne(batch, path, bytes, error);
}

bool writeFixedNameFile(const QString &path, const QByteArray &bytes, QString *error)
{
    FileBatch batch;
    batch.fixedNames();
    return writeOne(batch, path, bytes, error);
}

bool writeFileBytesOrInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    QString reason;
    if (writeFileBytes(path, bytes, &reason))
        return true;
    const QFileInfo info(path);
    if (kindOf(path) == Kind::Regular && !mayCreateIn(info.absolutePath()) && mayWrite(path, &reason)) {
        QFile file(path);
        if (file.open(QIODevice::ReadWrite) && file.write(bytes) == bytes.size() && file.resize(bytes.size())
            && file.flush()) {
            file.close();
            const int code = syncFile(path);
            if (code == 0)
                return true;
            reason = systemError(code);
        } else {
            reason = file.errorString();
        }
    }
    if (error)
        *error = reason;
    return false;
}

int removeStaleTemporaries(const QString &dir)
{
    // "<name>.<pid>-<8 hex>.tmp" beside a final file, ".<dir name>.<pid>-<8 hex>.tmp" for a hidden new directory.
    static const QRegularExpression ours(QStringLiteral("^.+\\.(\\d+)-[0-9a-f]{8}\\.tmp$"));
    const auto stale = [](const QString &name) {
        const QRegularExpressionMatch m = ours.match(name);
        return m.hasMatch() && !processAlive(m.captured(1).toLongLong());
    };
    // A link under such a name is no temporary of ours (and one to a directory must never be emptied): left alone.
    int removed = 0;
    QDir here(dir);
    for (const QString &name : here.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks))
        if (stale(name) && here.remove(name))
            ++removed;
    const QFileInfo info(QDir::cleanPath(QFileInfo(dir).absoluteFilePath()));
    const QDir parent = info.dir();
    const QString hiddenPrefix = QLatin1Char('.') + info.fileName() + QLatin1Char('.');
    for (const QString &name : parent.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (!name.startsWith(hiddenPrefix) || !stale(name))
            continue;
        QDir staging(parent.filePath(name));
        const int files = staging.entryList(QDir::Files | QDir::Hidden | QDir::System).size();
        if (staging.removeRecursively())
            removed += files;
    }
    return removed;
}
