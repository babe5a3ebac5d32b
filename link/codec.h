// Command frames of the bootloader protocol, their CRC-16 and the image encoding of memory data.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The PC's own address on the bus (source address of every request).
constexpr quint32 HOST_ID = 0x567890AB;
// Destination of the broadcast commands (mute, unmute, discovery).
constexpr quint32 BROADCAST_ID = 0xFFFFFFFF;
// Start of the STM32 flash: image offset x of a device's flash stands for address FLASH_BASE + x.
constexpr quint32 FLASH_BASE = 0x08000000;
// Every device keeps its 64-byte descriptor here: 32 bytes device name (the model code), 32 bytes bootloader version.
constexpr quint32 DESCRIPTOR_ADDRESS = FLASH_BASE + 0x1FC0;

enum : quint16 {
    CMD_CONNECT = 0x0001,
    CMD_DISCOVERY = 0x0002,
    CMD_READ_MEMORY = 0x0005,
    CMD_WRITE_MEMORY = 0x0006,
    CMD_I2C_READ = 0x0007,
    CMD_I2C_WRITE = 0x0008,
    CMD_RUN = 0x0009,
    CMD_WRITE_RAM = 0x000A,
    CMD_RUN_RAM = 0x000B,
    CMD_ERASE = 0x000C,
    CMD_MUTE = 0x0103,
    CMD_UNMUTE = 0x0104,
    CMD_STREAM_WRITE = 0x0406,
    CMD_STREAM_CONNECT = 0x040D,
};

// Frame layout: +0 u16 length (with CRC), +2 u16 command, +4 u32 destination, +8 u32 source.
constexpr int kFrameHeaderSize = 12;
// Memory and data frames add +12 u32 address and +16 u32 byte count; data follow at +20.
constexpr int kMemoryHeaderSize = 20;
constexpr int kCrcSize = 2;
// Size of the stream connect frame's name area (+12..+59).
constexpr int kStreamNameSize = 48;
// Memory data of a read reply starts here.
constexpr int kReplyDataOffset = kMemoryHeaderSize;

// 32 words shared by every encoder and decoder of memory data, on the wire and in upgrade files.
extern const quint32 ImageKey[32];
// The table EncodeImage and DecodeImage use: ImageKey unless the user supplied another (link/keytable.h).
const quint32 *activeImageKey();
// Copies the 32 words of `key` and uses them from now on; null goes back to ImageKey.
void setImageKey(const quint32 *key);

quint16 Crc16(const void *bytes, int length);
inline quint16 Crc16(const QByteArray &bytes) { return Crc16(bytes.constData(), bytes.size()); }
// True for a reply of at least 2 bytes whose last two bytes (little-endian) are the CRC of the rest.
bool checkReplyCrc(const QByteArray &reply);
// Appends the CRC of the frame, low byte first.
QByteArray withCrc(const QByteArray &frame);

// In place; only whole 32-bit words are touched, the key index restarts at the buffer's first byte.
void EncodeImage(void *buffer, int length);
void DecodeImage(void *buffer, int length);

// Largest data block a data frame of this command carries, and whether its data travel encoded.
int dataLimit(quint16 command);
bool isEncodedCommand(quint16 command);

QByteArray buildHeaderFrame(quint16 command, quint32 destination);
QByteArray buildMemoryFrame(quint16 command, quint32 destination, quint32 address, quint32 byteCount);
QByteArray buildDataFrame(quint16 command, quint32 destination, quint32 address, const QByteArray &data);
QByteArray buildEraseFrame(quint32 destination, quint8 parameter);
QByteArray buildDiscoveryFrame(quint32 first, quint32 second);
// nameArea is copied into the 48-byte area (cut or zero-filled); the length field says 14.
QByteArray buildStreamConnectFrame(quint32 destination, const QByteArray &nameArea, quint16 value);

inline QByteArray buildConnectFrame(quint32 destination) { return buildHeaderFrame(CMD_CONNECT, destination); }
inline QByteArray buildRunFrame(quint32 destination) { return buildHeaderFrame(CMD_RUN, destination); }
inline QByteArray buildRunRamFrame(quint32 destination) { return buildHeaderFrame(CMD_RUN_RAM, destination); }
inline QByteArray buildMuteFrame() { return buildHeaderFrame(CMD_MUTE, BROADCAST_ID); }
inline QByteArray buildUnmuteFrame() { return buildHeaderFrame(CMD_UNMUTE, BROADCAST_ID); }

// Little-endian field access for frames and replies (0 when the field lies beyond the bytes).
quint16 readU16(const QByteArray &bytes, int offset);
quint32 readU32(const QByteArray &bytes, int offset);
void putU16(QByteArray &bytes, int offset, quint16 value);
void putU32(QByteArray &bytes, int offset, quint32 value);

// Multi-line hex rendering used by the traces and the "Show all messages" dumps.
QString formatHexDump(const void *bytes, int length);
inline QString formatHexDump(const QByteArray &bytes) { return formatHexDump(bytes.constData(), bytes.size()); }
