// Intel HEX to flat flash bytes: stores the bytes of one address window into a caller's buffer.
#pragma once

#include <QString>
#include <QtGlobal>

// Results of HexToBin; every negative code stops the conversion at the offending line.
enum HexToBinResult : int {
    kHexOk = 0,              // end of file or an end-of-file record reached
    kHexShortLine = -1,      // a line of 10 characters or fewer, line end included
    kHexNoColon = -2,        // a line that does not begin with ':'
    kHexBadCount = -3,       // byte count not hexadecimal
    kHexBadAddress = -4,     // address offset not hexadecimal
    kHexBadType = -5,        // record type not hexadecimal
    kHexBadData = -6,        // a data byte not hexadecimal (also: a byte count running into the line end)
    kHexUnsupported = -7,    // segment addressing or an unknown type, or an unreadable extended linear address
    kHexBadChecksum = -8,    // record checksum wrong or missing
    kHexCannotOpen = -9,     // the file cannot be opened or read, or is a FIFO, socket or directory
    kHexLongLine = -10,      // a line longer than any record (kHexMaxLine characters, line end included)
};

// The longest line a record can make: ':', count, address, type, 255 data bytes and the checksum as digit pairs,
// then CR LF.
constexpr int kHexMaxLine = 1 + 2 * (1 + 2 + 1 + 255 + 1) + 2;

// The reader takes the file in reads of this many bytes; a line may straddle two of them.
constexpr int kHexReadChunk = 64 * 1024;

// Reads the Intel HEX file and stores every data byte whose absolute address A lies in [first, last] at
// buffer[A - first]. The buffer (last - first + 1 bytes) is filled by the caller; bytes the file does not
// supply are left alone. Each record is checked whole (fields, data, checksum) before any of its bytes is
// stored, so on an error the buffer holds exactly the records before the bad line.
int HexToBin(const QString &fileName, quint8 *buffer, quint32 first, quint32 last);
// The same, counting in *stored the bytes it stored in the window (a byte stored twice counts twice), so a caller
// can tell a file with no data in its window from one whose data are zeros.
int HexToBin(const QString &fileName, quint8 *buffer, quint32 first, quint32 last, quint64 *stored);

// Where a HEX file holds data outside the window: how many bytes, and the lowest and highest such address.
struct HexOutside
{
    quint64 bytes = 0;
    quint32 lowest = 0;
    quint32 highest = 0;
};
// The same again, also telling where the file holds data outside [first, last].
int HexToBin(const QString &fileName, quint8 *buffer, quint32 first, quint32 last, quint64 *stored,
             HexOutside *outside);
