// The service commands and flash tools: their frames, block loops, hex input and dumps, asked and reported
// through the dialogs seam and the message box.
#pragma once

#include <QByteArray>
#include <QString>

struct AppState;
class Prompts;
class RS485Cable;
class QIODevice;

// A number typed in hexadecimal ("0x" prefix optional, blanks around it ignored); fallback when the text is
// empty or unreadable.
quint32 parseHexText(const QString &text, quint32 fallback);

// Reads up to `size` bytes from the device's current position into a block of `size` bytes; what the device does
// not hold (end of file, read error) stays 0xFF, the erased value. *got (optional) is the number of bytes read.
QByteArray readErasedBlock(QIODevice &device, int size, int *got = nullptr);
// The same from the start of a file; a file that cannot be opened gives a block of 0xFF only.
QByteArray readErasedBlock(const QString &path, int size);

// The flash block the service commands read and write (Write Flash sends exactly one).
constexpr int kFlashBlock = 1024;

// A file name in the working directory with the platform's own separator (".\flashDump" on Windows).
QString workingDirName(const QString &name);

class DeviceCommands
{
public:
    DeviceCommands(AppState &state, Prompts &prompts, RS485Cable &cable);

    void run();
    void runRam();
    void send();
    void loadBin();
    void i2cRead();
    void i2cWrite();
    void test1();
    static void test2();
    void writeRam();
    void mute();
    void unmute();
    // Up to kDiscoveryExchanges discovery frames under a progress dialog with Cancel.
    void discovery();
    void readFlash();
    void writeFlash();

    // The decoded contents of [start, start + length), read in whole 1 KiB blocks (so up to 1023 bytes more);
    // stops at the first block whose reply is not correct, with "CRC err" in the message box.
    QByteArray readFlashRange(quint32 start, quint32 length);

    static constexpr int kDiscoveryExchanges = 100;
    // Replies so far that came at full frame length with a wrong CRC: several devices answering at once.
    int garbledReplies() const { return m_garbledReplies; }

private:
    // ensureOpen; "Connect USB Cable !!!" when the cable cannot be opened.
    bool cableReady();
    // One transaction; logs "CRC err" for a reply that is not correct when logCrcErr. True for a correct reply.
    bool exchange(const QByteArray &frame, int readMs, int writeMs, bool logCrcErr, QByteArray *reply = nullptr);
    // Run and Run RAM: one header frame, "CRC err" only with "Show all messages" on.
    void headerCommand(quint16 command, bool openFirst);
    void broadcast(const QByteArray &frame);
    void writeMemoryBlock(quint32 address, const QByteArray &block, int readMs);
    // Offers the bytes for saving ("Select file"); a failed write is logged. True when saved.
    bool saveDump(const QString &defaultName, const QByteArray &bytes);

    AppState &m_state;
    Prompts &m_prompts;
    RS485Cable &m_cable;
    int m_garbledReplies = 0;
};
