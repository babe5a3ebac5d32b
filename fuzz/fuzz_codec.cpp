// Fuzz target: image encoding, the reply CRC check, frame building and field access of the codec.
#include <cstdint>

#include "fuzz/fuzzsupport.h"
#include "link/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);

    // Encoding and decoding undo each other, touch only whole words, and keep the length.
    QByteArray coded = input;
    EncodeImage(coded.data(), coded.size());
    FUZZ_CHECK(coded.size() == input.size());
    FUZZ_CHECK(coded.right(input.size() % 4) == input.right(input.size() % 4));
    DecodeImage(coded.data(), coded.size());
    FUZZ_CHECK(coded == input);

    // A reply carrying its own CRC passes; one with a byte changed does not.
    const QByteArray sealed = withCrc(input);
    FUZZ_CHECK(checkReplyCrc(sealed));
    checkReplyCrc(input);
    if (!input.isEmpty()) {
        QByteArray damaged = sealed;
        damaged[int(data[0]) % damaged.size()] = char(damaged[int(data[0]) % damaged.size()] ^ 0x01);
        FUZZ_CHECK(!checkReplyCrc(damaged));
    }

    // Field reads anywhere, in range or not, and writes read back.
    for (int offset = -4; offset <= input.size() + 4; offset += qMax(1, input.size() / 8)) {
        readU16(input, offset);
        readU32(input, offset);
    }
    if (input.size() >= 8) {
        QByteArray fields = input;
        putU32(fields, 4, readU32(input, 0));
        FUZZ_CHECK(readU32(fields, 4) == readU32(input, 0));
    }

    // Data frames: never longer than the command's limit, length field = frame + CRC, data as given (decoded).
    if (size >= 6) {
        static const quint16 commands[] = {CMD_WRITE_MEMORY, CMD_STREAM_WRITE, CMD_I2C_WRITE, CMD_WRITE_RAM};
        const quint16 command = commands[data[0] % 4];
        const QByteArray payload = input.mid(6);
        const QByteArray frame = buildDataFrame(command, readU32(input, 1), readU32(input, 2), payload);
        const int n = qMin(payload.size(), dataLimit(command));
        FUZZ_CHECK(frame.size() == kMemoryHeaderSize + n);
        FUZZ_CHECK(readU16(frame, 0) == frame.size() + kCrcSize && int(readU32(frame, 16)) == n);
        QByteArray carried = frame.mid(kMemoryHeaderSize);
        if (isEncodedCommand(command))
            DecodeImage(carried.data(), carried.size());
        FUZZ_CHECK(carried == payload.left(n));
        buildStreamConnectFrame(readU32(input, 0), payload, readU16(input, 4));
    }
    formatHexDump(input);
    return 0;
}
