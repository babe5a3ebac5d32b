// Fuzz target: the Intel HEX reader over an arbitrary file and address window.
#include <cstdint>
#include <vector>

#include "builders/hextobin.h"
#include "fuzz/fuzzsupport.h"
#include "link/codec.h"

// Byte 0 picks the window: its start in KiB above the flash base, or (0xFF) the last 64 KiB of the address
// space, where first + size wraps; byte 1 picks its size (1 byte .. 64 KiB). The rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const quint32 first = data[0] == 0xFF ? 0xFFFF0000u : FLASH_BASE + quint32(data[0]) * 0x400u;
    const quint32 length = data[1] == 0 ? 1u : quint32(data[1]) * 0x100u;
    const quint32 last = first + (length - 1);
    const QString path = fuzz::inputFile(QStringLiteral("input.hex"), fuzz::bytes(data + 2, size - 2));

    // Exactly the window's bytes, so that a store past its end is a heap overflow the sanitizer reports.
    std::vector<quint8> buffer(length, 0xA5);
    const int result = HexToBin(path, buffer.data(), first, last);
    FUZZ_CHECK(result <= kHexOk && result >= kHexLongLine);
    return 0;
}
