// The key table of the image encoding as a run-time setting: a file named by --key-table or ZR_KEY_TABLE.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>

using KeyTable = std::array<quint32, 32>;

// The environment variable that names a key table file when no option does.
constexpr const char *kKeyTableVariable = "ZR_KEY_TABLE";

// Exactly 32 hexadecimal words (0x prefix optional) separated by white space. False with a one-line *problem.
bool parseKeyTable(const QByteArray &text, KeyTable *table, QString *problem);

// The table the user chose: the file `optionPath` names, else the file ZR_KEY_TABLE names, else the built-in
// ImageKey. A chosen file is read, checked and made the table of every encoder and decoder; false with a one-line
// *problem naming the file ("key table k.txt: 31 words, 32 needed") and the built-in table left in force.
bool useKeyTable(const QString &optionPath, QString *problem);
