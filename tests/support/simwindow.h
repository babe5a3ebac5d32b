// Test fixture: a real main window on a simulated bus, driven through scripted dialogs.
#pragma once

#include <QPlainTextEdit>
#include <QtTest>

#include "app/flasher.h"
#include "link/codec.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#include "tests/support/scriptedprompts.h"

struct SimWindow
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    Flasher window{&prompts, &bus};

    // Opens the cable through its "Select cable" dialog and forgets the calls that took.
    bool openCable()
    {
        prompts.item(QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ZRSIM001"));
        const bool open = window.cable().ensureOpen();
        bus.clearLog();
        prompts.shown.clear();
        return open;
    }

    // The message box, one entry per line.
    QStringList messages() const
    {
        const QString text = window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    // The frames of one command written to the bus (with their CRC).
    QList<QByteArray> requests(quint16 command) const
    {
        QList<QByteArray> out;
        for (const QByteArray &r : bus.requests())
            if (readU16(r, 2) == command)
                out << r;
        return out;
    }
};

// Data of a data frame as the sender meant it (decoded for the encoded commands).
inline QByteArray frameData(const QByteArray &frame)
{
    QByteArray data = frame.mid(kMemoryHeaderSize, int(readU32(frame, 16)));
    if (isEncodedCommand(readU16(frame, 2)))
        DecodeImage(data.data(), data.size());
    return data;
}

// A file holding these bytes in the directory.
inline QString writeFile(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

// Bytes that differ from block to block and from every fill value the tests use.
inline QByteArray testBytes(int size, int seed = 1)
{
    QByteArray b(size, '\0');
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 16);
    }
    return b;
}
