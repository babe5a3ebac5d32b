// The 128-byte parameter record: the whole content of a parameter file, copied unchanged into boot images.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// One named field of the record. Text fields hold Latin-1, zero-padded, with no terminator when full;
// number fields are unsigned 16-bit little-endian.
struct ParamField
{
    enum Kind { Text, Number };
    const char *name;    // name used by the dialog's table and the command line
    int offset;
    int width;           // bytes
    Kind kind;
    const char *widget;  // object name of the wizard's editor for the field
};

class ParamRecord
{
public:
    static constexpr int kSize = 128;
    // Bytes 56..127 are reserved: never shown or edited, kept as loaded.
    static constexpr int kReservedOffset = 56;

    // The record a new wizard starts with.
    ParamRecord();

    static const QVector<ParamField> &fields();
    // Null when there is no field of that name.
    static const ParamField *field(const QString &name);

    const QByteArray &bytes() const { return m_bytes; }

    // A block of up to 128 bytes overwrites the start of the record (a shorter one only the fields it covers);
    // a longer one is refused and the record stays as it was.
    bool overlay(const QByteArray &data);

    QString text(const ParamField &f) const;
    // Latin-1, characters outside it become '?'; cut to the field's width; the rest of the field is zeroed.
    void setText(const ParamField &f, const QString &value);
    quint16 number(const ParamField &f) const;
    void setNumber(const ParamField &f, quint16 value);

    // The field as text (a number in decimal), and its counterpart for the command line: numbers accept
    // decimal or 0x-prefixed hex in 0..65535. False with *error set for an unknown field or a bad value.
    bool value(const QString &name, QString *out, QString *error = nullptr) const;
    bool setValue(const QString &name, const QString &value, QString *error = nullptr);

    // Reads a parameter file over the record; false with *error (naming the file) when the file cannot be
    // opened or read or is longer than 128 bytes, and then the record is unchanged.
    bool load(const QString &path, QString *error);
    // Writes exactly the 128 bytes (an existing file is replaced as a whole); false with *error naming the file.
    bool save(const QString &path, QString *error) const;

private:
    QByteArray m_bytes;
};
