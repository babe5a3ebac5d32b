// Relative paths of a model's files: the model's directory under the working directory, "./<model>".
#pragma once

#include <QDir>
#include <QString>

// "." + separator + model code: where a model's inputs are looked for and its outputs written.
inline QString modelDirectory(const QString &model)
{
    return QStringLiteral(".") + QDir::separator() + model;
}

// A file in the model's directory: "./<model>/<name>", with the platform's separator.
inline QString modelFilePath(const QString &model, const QString &name)
{
    return modelDirectory(model) + QDir::separator() + name;
}

// The part of a path after its last separator (either kind: paths may come from Windows dialogs).
inline QString fileNameOf(const QString &path)
{
    const int slash = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(slash + 1);
}
