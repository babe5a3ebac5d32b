// Test helper: zrsim as a child process serving simulated devices on a pseudo-terminal.
#pragma once

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// zrsim as a child process: started with its options, its port read off its first line, stopped on destruction.
struct Zrsim
{
    QProcess process;
    QString port;
    QTemporaryDir dir;

    explicit Zrsim(const QStringList &options)
    {
        process.start(QStringLiteral(ZRSIM_PATH), options + QStringList({"--flash-out", dir.filePath("flash")}));
        if (process.waitForStarted(10000) && process.waitForReadyRead(10000))
            port = QString::fromLatin1(process.readLine().trimmed());
    }
    ~Zrsim() { stop(); }
    // Closing its stdin ends it (it writes the flash files first).
    bool stop()
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        process.closeWriteChannel();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(10000);
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QByteArray flash(int device)
    {
        QFile f(dir.filePath(QStringLiteral("flash%1.bin").arg(device)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};
