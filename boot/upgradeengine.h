// The firmware upgrade of one family: file choice and checks, then write and read-back of every block.
#pragma once

#include <QCoreApplication>
#include <QByteArray>

#include "boot/upgradefamily.h"

struct AppState;
class Prompts;
class ProgressDialog;
class RS485Cable;

class UpgradeEngine
{
    Q_DECLARE_TR_FUNCTIONS(Flasher)

public:
    enum class Result {
        NotStarted, // no cable, no file, or the file or device refused: nothing was sent
        Failed,     // stopped on a missing write reply or a read-back difference
        Done,       // every block verified
        Interrupted, // AppState::interrupted asked to stop between two blocks
    };

    UpgradeEngine(AppState &state, Prompts &prompts, RS485Cable &cable);

    // zrtool's careful exchanges (the window keeps -1, its own procedure): a read-back whose reply is lost, corrupt
    // or differs is read again, and after a lost write reply the block is read back (equal: go on; still erased:
    // write again; anything else: stop), each block with at most `retries` repeated exchanges. A stop then logs
    // one line naming the block and the cause (no reply, CRC, compare), also kept in cause().
    void setRetries(int retries) { m_retries = retries; }
    QString cause() const { return m_cause; }

    // Runs the whole procedure of the family for the connected device; everything is reported through the log.
    Result run(const UpgradeFamily &family);

    // Where each family keeps its last chosen file in AppState::lastPaths.
    static QString lastPathKey(const UpgradeFamily &family);

    // The F100C6 family dumps the last differing block here, in the working directory.
    static constexpr const char *kWrittenDumpName = "err_writted.bin";
    static constexpr const char *kReadDumpName = "err_readed.bin";

private:
    // Empty when the header is accepted for the connected device, else the line to log.
    QString headerRefusal(const UpgradeFamily &family, const QString &header) const;
    // Writes and verifies the blocks; false when it stopped.
    bool writeBlocks(const UpgradeFamily &family, const QByteArray &image, ProgressDialog &progress);
    // One write and read-back; the decoded read-back data in *readBack (empty when the reply carried none).
    enum class BlockResult { Verified, WriteFailed, ReadFailed, Differs };
    BlockResult writeBlock(const UpgradeFamily &family, quint32 address, const QByteArray &block,
                           QByteArray *readBack);
    BlockResult writeBlockCarefully(const UpgradeFamily &family, quint32 address, const QByteArray &block,
                                    QByteArray *readBack);
    // One read-back exchange: empty when the reply was missing, CRC-wrong or short (*why says which).
    QByteArray readBack(const UpgradeFamily &family, quint32 address, QString *why);
    // F100C6: dumps, log, and whether to try the block again.
    bool retryAfterDifference(quint32 address, const QByteArray &expected, const QByteArray &readBack,
                              int *retriesLeft);
    void logPageLine(quint32 address);

    AppState &m_state;
    Prompts &m_prompts;
    RS485Cable &m_cable;
    int m_retries = -1;
    bool m_interrupted = false;
    QString m_cause;
};
