// Whole-file reads and all-or-nothing writes, shared by every action that reads or writes a file whole.
#pragma once

#include <QByteArray>
#include <QString>

// The whole file; false (with the reason in *error, if given) when it cannot be opened or read.
bool readFileBytes(const QString &path, QByteArray *bytes, QString *error = nullptr);

// Writes beside the file and renames over it: a failure never leaves a half-written file behind.
// False (with the reason in *error, if given) when nothing was written.
bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error = nullptr);
