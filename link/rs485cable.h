// The program's only path to the bus: an FTDI USB-RS485 cable, through an FtdiDriver.
#pragma once

#include <QByteArray>
#include <QObject>
#include <functional>

#include "link/ftdidriver.h"

class Prompts;

class RS485Cable : public QObject
{
public:
    // The line parameters are not kept: open applies the fixed settings (250000 baud, 8N2), the same values.
    RS485Cable(QObject *owner, quint32 baud, quint8 dataBits, quint8 stopBits, quint8 parity, FtdiDriver *driver,
               Prompts *prompts);
    ~RS485Cable() override;

    bool isOpen() const { return m_handle != nullptr; }
    // The serial number of the cable opened last (empty before the first open).
    QByteArray serialNumber() const { return m_serialNumber; }
    // True at once when open; otherwise runs open (the "Select cable" dialog) and shows "Cable Error" on failure.
    bool ensureOpen();
    // From now on open takes this cable without listing the cables or asking which one (a cable the user named,
    // a gang worker's own cable): it opens by `openName` and reports `serial` as the cable's serial number.
    void setIdentity(const QByteArray &openName, const QByteArray &serial)
    {
        m_identityName = openName;
        m_identitySerial = serial;
    }
    // 0 when a cable was chosen, opened and configured; -1 otherwise.
    int open(quint32 baud, quint8 dataBits, quint8 stopBits, quint8 parity);
    void close();

    // Sends frame + CRC, reads what arrives within readMs, checks the reply's CRC (*ok). The reply keeps its CRC bytes.
    QByteArray transact(const QByteArray &frame, bool *ok, int readMs, int writeMs);
    // The next reply of at least 2 bytes decides whether replies are wrapped in a leading and a trailing 0x00.
    void armReplyFraming();
    bool zeroWrapped() const { return m_zeroWrapped; }

    // Called after the "Cable Error" box, so the window can add the driver's reason (FtdiDriver::problem).
    void setOpenFailedHook(std::function<void()> hook) { m_openFailedHook = std::move(hook); }
    // Fast replies (off by default): a transaction ends as soon as the bytes so far form one complete reply (its
    // own length field, the framing, a correct CRC) and the line then stays quiet for the quiet check; anything else
    // waits out the read limit as usual, so the result is the one the full window would give. Whenever the window's
    // time turns out to be over (a busy PC descheduled the reader), one more read without waiting collects what has
    // arrived, and all of it is judged as the full window judges it.
    void setFastReplies(bool on) { m_fastReplies = on; }
    bool fastReplies() const { return m_fastReplies; }
    // How long a complete reply must be followed by silence: the latency timer read back at open (the chip holds
    // bytes back that long before it sends a USB packet; a pseudo-terminal has none) plus two byte times, in
    // whole milliseconds as the read limit counts them.
    int quietMs() const;
    // Fast replies: waits until the read limit of the last transaction has passed, dropping whatever arrives, so a
    // caller that refuses a reply (the connect loop) keeps the pace of full windows. At once with full windows.
    void finishWindow();
    // The driver's clock (microseconds), the one the read limits run on.
    qint64 clockUs() const { return m_driver->clockUs(); }

    // Break, then the bytes (DMX512 packet); returns the write's D2XX status.
    quint32 sendDmxFrame(const quint8 *bytes, int length);

private:
    // Asks which of the listed cables to take (the "Select cable" dialog); false when none was chosen.
    bool chooseCable(QByteArray *openName, QByteArray *chosenSerial);
    // The bytes of one reply window; false when a read failed.
    bool readWindow(QByteArray *raw);
    bool readWindowFast(QByteArray *raw);
    // Whole milliseconds left until the window's end (rounded up, as the library counts them); 0 once it is over.
    quint32 remainingMs() const;
    // Up to `count` more bytes within `limitMs` (-1: the limit in force); *complete: all of them came.
    bool readMore(QByteArray *raw, int count, qint64 limitMs, bool *complete);
    // How many bytes in all the next step should hold; 0 when no reading of the bytes can complete any more.
    int nextStepSize(const QByteArray &raw) const;
    // What the reply-framing rule and the CRC check make of these bytes, as a whole window's worth.
    QByteArray unwrapped(const QByteArray &raw, bool *wrapped) const;
    bool completeReply(const QByteArray &raw) const;

    FtdiDriver *m_driver;
    Prompts *m_prompts;
    FtdiDriver::Handle m_handle = nullptr;
    QByteArray m_serialNumber;
    QByteArray m_identityName, m_identitySerial;
    bool m_detectOnNextReply = true;
    bool m_zeroWrapped = false;
    std::function<void()> m_openFailedHook;
    bool m_fastReplies = false;
    // The latency timer the cable reported at open; 0 when it has none.
    quint8 m_latencyMs = 0;
    // Where the read limit of the last transaction ends, on the driver's clock.
    qint64 m_windowEndUs = 0;
    int m_writeMs = 0;
};
