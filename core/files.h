// Whole-file reads and all-or-nothing writes, shared by every action that reads or writes a file whole.
#pragma once

#include <QByteArray>
#include <QList>
#include <QVector>
#include <QString>
#include <QStringList>

// No input of ours comes near this: a bound for readers without a format limit of their own.
constexpr qint64 kDefaultReadLimit = 64ll << 20;

// False with the reason when `path` is not something to read whole: a FIFO, socket or directory (a FIFO would
// block until someone writes to it), or a regular file larger than maxSize bytes. A character device is taken:
// the user named it on purpose, and the read itself stops after maxSize bytes.
bool checkInputFile(const QString &path, qint64 maxSize, QString *error);

// The whole file, checked first by checkInputFile; false (with the reason in *error, if given) when it is refused
// or cannot be opened or read. Nothing is read from a regular file that is too large.
bool readFileBytes(const QString &path, QByteArray *bytes, QString *error = nullptr,
                   qint64 maxSize = kDefaultReadLimit);

// Files written as one batch. Each file goes to a temporary file beside its final path; commit() makes every
// temporary durable with one flush of the file system (one sync per file where the system has no such call),
// then renames each into place, so no final name ever holds a half-written file. A path that already names
// something other than a regular file or a directory (a device such as /dev/null, a FIFO) is written directly
// at add() instead: replacing it would turn the device into a plain file.
class FileBatch
{
public:
    enum Mode {
        UpToFailure, // files renamed before a failure stay; the rest are dropped
        AllOrNone,   // when one file fails, none of the batch is left under its final name
        EachOnItsOwn // a failure drops that file only; the others are still renamed
    };
    explicit FileBatch(Mode mode = UpToFailure);
    ~FileBatch(); // drops whatever was not committed
    FileBatch(const FileBatch &) = delete;
    FileBatch &operator=(const FileBatch &) = delete;

    // For a series of files in one directory, before the first add(). A directory that does not exist yet is made
    // (with its missing parents) as a hidden one beside its final place, ".<name>.<random>.tmp"; the files of the
    // batch that lie directly in it are written there under their own names, and commit() flushes them once and
    // renames the whole directory into place, so it appears with every file that was written and none half
    // written. That is one rename for the series instead of one per file. An existing directory gets the
    // temporaries beside each final name. False with the operating system's reason when the directory cannot
    // be made.
    bool intoDirectory(const QString &dir, QString *error = nullptr);

    // For outputs whose name the program fixes (a dump in the working directory), before the first add(): a
    // symbolic link, device or FIFO found under the name is refused, never followed or written into, so a link
    // planted in a shared folder cannot redirect the write.
    void fixedNames() { m_fixedNames = true; }

    // Stages one file. A named output that is a symbolic link to a regular file replaces that file (the link
    // stays); a link to nothing is refused. An existing file the user may not write is refused; a replaced file
    // keeps its permissions. False with the reason (the operating system's) when it cannot be written; in the
    // UpToFailure and AllOrNone modes the batch then takes no more files.
    bool add(const QString &path, const QByteArray &bytes, QString *error = nullptr);
    // Syncs and renames what was staged; false when a file failed (its path and reason in failures()).
    bool commit();

    struct Failure
    {
        QString path;
        QString error;
    };
    const QList<Failure> &failures() const { return m_failures; }
    int committed() const { return m_committed; }

private:
    struct Staged
    {
        QString path;
        QString temporary; // beside the path; empty: in the hidden directory (nameAt) or written directly
        int nameAt = -1;   // in the hidden directory: where the file's name starts in path
        bool direct() const { return temporary.isEmpty() && nameAt < 0; }
    };
    QString temporaryOf(const Staged &s) const;
    void drop(int from);
    // The platform's part (files_unix.cpp, files_win.cpp): the hidden directory of intoDirectory().
    enum class Staging { NotThere, Added, Failed };
    Staging addInStagingDirectory(const QString &path, const QByteArray &bytes, QString *reason);
    bool commitStagedDirectory(); // true when the batch ended there (renamed whole, or the flush failed)
    void failFlush(int code);
    void closeStaging(bool remove);

    Mode m_mode;
    QVector<Staged> m_staged;
    QList<Failure> m_failures;
    int m_committed = 0;
    bool m_done = false;
    bool m_fixedNames = false;
    // The hidden directory of intoDirectory(), while there is one.
    QString m_dir;           // its final path
    QString m_stagingPath;   // where it is built
    int m_parentFd = -1;     // the directory both names lie in
    int m_stagingFd = -1;
    QByteArray m_finalName, m_stagingName; // relative to m_parentFd
};

// Removes what a killed series of ours left in `dir`: temporaries beside final names, and the hidden directory a
// new `dir` was being filled in, each named with the id of a process that no longer runs on this machine. Returns
// the number of files removed.
int removeStaleTemporaries(const QString &dir);

// Creates the directory and its missing parents; false with the operating system's reason.
bool makeDirectory(const QString &dir, QString *error = nullptr);

// One file through a FileBatch: written whole or not at all (an existing regular file is replaced only on
// success; a device or FIFO is written directly). False (with the reason in *error, if given) when it failed.
bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error = nullptr);
// The same for a name the program fixes (FileBatch::fixedNames()): links, devices and FIFOs are refused.
bool writeFixedNameFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);
// writeFileBytes, or, where the directory takes no new file (so no temporary) but the file exists and the user
// may write it, the file rewritten in place: it then holds exactly `bytes`, but a failure midway can leave it
// damaged.
bool writeFileBytesOrInPlace(const QString &path, const QByteArray &bytes, QString *error = nullptr);
