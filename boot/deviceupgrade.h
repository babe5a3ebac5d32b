// One upgrade from start to end without a person at the window: catch and identify the device, check the file
// against it, run its family's procedure, and sum up what happened in one record.
#pragma once

#include <QByteArray>
#include <QString>

struct AppState;
class Prompts;
class OptionPrompts;
class RS485Cable;
struct UpgradeFamily;

struct UpgradeRequest
{
    QString file;           // the .upg file
    QString family;         // recovery: the family procedure to run ("STM32F030F4"), whatever the descriptor says
    bool hasTarget = false; // address the upgrade to `target` instead of 0 (any device in its bootloader)
    quint32 target = 0;
    bool runAfter = false;  // start the application afterwards
    int retries = -1;       // repeated exchanges per block (UpgradeEngine::setRetries); -1: the window's procedure
    int collisionLimit = 0; // stop connecting after this many garbled replies in a row (0: never)
};

// What an upgrade did: everything a record of it needs.
struct UpgradeOutcome
{
    enum class Result {
        NoCable,  // no cable could be opened
        NoDevice, // no device answered
        Refused,  // the file or the device was refused: nothing written
        Failed,   // stopped part-way: the device holds a partly written application
        Done,     // every block verified
        Interrupted, // stopped by a signal part-way: the device holds a partly written application
    };
    Result result = Result::NoDevice;
    QString step;            // what stopped it ("Wrong file header", "block 0x08002400: no reply to the write, 3
                             // tries", "several devices answered at once", ...); empty when done
    quint32 deviceId = 0;
    QByteArray model;        // as the descriptor named it
    QByteArray bootVersion;
    QString family;          // the procedure run ("STM32F100C8"); empty when none was
    QString fileName;
    quint16 fileCrc = 0;     // CRC-16 of the whole file
    bool fastReplies = false;
    qint64 durationMs = 0;   // on the cable's clock
};

// The model an upgrade file's header names ("Zr501" for "Zr501 Upgrade File Header"); empty for another header.
QString upgradeFileModel(const QString &header);

// Runs the whole upgrade through the connect and upgrade engines; `prompts` gets the file and the run answer.
UpgradeOutcome upgradeDevice(AppState &state, OptionPrompts &prompts, RS485Cable &cable,
                             const UpgradeRequest &request);
