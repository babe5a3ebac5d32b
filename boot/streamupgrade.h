// The stream upgrade: hold every device of one model in its bootloader, then write one image to all at once.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

struct AppState;
class Prompts;
class RS485Cable;

// The 48-byte name area of the stream connect frame: one byte per character (0x00 for a character above U+00FF),
// cut to 48 bytes, zero-filled.
QByteArray streamNameArea(const QString &name);

class StreamUpgrade
{
public:
    StreamUpgrade(AppState &state, Prompts &prompts, RS485Cable &cable);

    // Repeats the stream connect frame while the user power-cycles the devices ("Stream Connect").
    void connectDevices();
    // Sends the application area of an upgrade file three times over, to address 0 ("Stream Upgrade"). Nothing is
    // sent for a file of a model whose upgrade layout is not the stream's, or of another model than the last
    // Stream Connect called ("Wrong file header"); `checkModel` false (zrtool --force) sends it all the same.
    void upgrade(bool checkModel = true);
    // Whether a file whose header is `header` may be streamed after a Stream Connect that called `name` (none: no
    // Stream Connect yet); empty when it may, else why not.
    static QString modelRefusal(const QString &header, const std::optional<QString> &name);

    static constexpr int kConnectAttempts = 1000;
    static constexpr int kPasses = 3;
    // The key of the remembered path in AppState::lastPaths.
    static const QString kPathKey;

private:
    AppState &m_state;
    Prompts &m_prompts;
    RS485Cable &m_cable;
};
