// What the whole-file reads and all-or-nothing writes ask of the operating system: one implementation per
// platform (files_unix.cpp, files_win.cpp), the logic that uses them in files.cpp.
#pragma once

#include <QByteArray>
#include <QString>

namespace zrfiles {

// The C library's text for errno's code.
QString systemError(int code);

// What stands at a path: nothing, a regular file (or a link to one), a directory, or something else.
enum class Kind { Missing, Regular, Directory, CharDevice, Other };
// `what` (when given) names a kind that is not a regular file: "a directory", "a FIFO", ...
Kind kindOf(const QString &path, QString *what = nullptr);

// Creates `path` as a new file holding `bytes`. Exists: something is there already (nothing was touched);
// Failed: the reason in *error, nothing left behind.
enum class NewFile { Written, Exists, Failed };
NewFile writeNewFile(const QString &path, const QByteArray &bytes, QString *error);

// Writes `bytes` into a device or FIFO that stands at `path`, in place; false with the reason.
bool writeInPlace(const QString &path, const QByteArray &bytes, QString *error);

// Makes a written file durable: 0, or an error code (systemError) when its data may not have reached the disk.
int syncFile(const QString &path);
// The directory's entries, or (wholeFileSystem) everything written to its file system; 0 or an error code.
int syncDirectory(const QString &dir, bool wholeFileSystem);
// Whether one flush of a file system is cheaper than a sync per file, for a batch of several temporaries.
bool flushesWholeFileSystem();

// Replaces `to` by `from`; false with the reason. A regular file at `to` is replaced only when the user may write
// it, and `from` takes over its permissions (and, where the user may set them, its group and owner). A device or
// FIFO at `to` is written in place when devicesInPlace, else its name is replaced like any other.
bool replaceFile(const QString &from, const QString &to, QString *error, bool devicesInPlace = true);

// Whether the user may write the existing file at `path`; false with the reason ("Permission denied").
bool mayWrite(const QString &path, QString *error);
// Whether the user may create files in the directory `dir`.
bool mayCreateIn(const QString &dir);

// Creates one directory whose parent exists; true when it exists afterwards, else false with the reason.
bool makeOneDirectory(const QString &dir, QString *error);

// Where the last path separator stands in `path` (-1: none).
int lastSeparator(const QString &path);

// Eight hexadecimal digits, for the names of temporaries.
QString randomTag();
// The tag in the names of our temporaries: the writing process's id and randomTag(), "<pid>-<8 hex digits>", so
// that a later run can tell the leftovers of a process that is gone.
QString temporaryTag();
// Whether a process of this id runs on this machine (where that cannot be told: true, so nothing is removed).
bool processAlive(qint64 pid);

} // namespace zrfiles
