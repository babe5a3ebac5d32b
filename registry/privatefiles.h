// Files of the registry that hold what other local users must not read: created 0600 in folders created 0700.
#pragma once

#include <QString>

// Creates the missing folders of `dir`, each readable by its owner only. False with *why set.
bool makePrivateDirectory(const QString &dir, QString *why);
// Creates `path` empty and readable by its owner only when it does not exist yet (its folders as above); an
// existing file is left as it is. False with *why set.
bool createPrivateFile(const QString &path, QString *why);
