// Test images that carry their model code in the device descriptor, as a real Zr440 application does.
#pragma once

#include <QByteArray>

#include "link/codec.h"

// Writes `model` into the name field of the descriptor at 0x08001FC0 when the plain image covers it from
// `firstBlock` on (only then does an upgrade write the descriptor, and check what it names).
inline void nameModelInDescriptor(QByteArray *image, const QByteArray &model, quint32 firstBlock)
{
    if (firstBlock > DESCRIPTOR_ADDRESS || image->size() < int(DESCRIPTOR_ADDRESS - FLASH_BASE) + 64)
        return;
    QByteArray descriptor(64, '\0');
    descriptor.replace(0, model.size(), model);
    image->replace(int(DESCRIPTOR_ADDRESS - FLASH_BASE), 64, descriptor);
}
