// The main window: owns the form, the shared state and the dialogs seam; every user action is one of its slots.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>

#include "core/appstate.h"
#include "core/prompts.h"
#include "boot/gangupgrade.h"
#include "builders/catalogue_rows.h"

class FtdiDriver;
class GangDialog;
class RS485Cable;
class Recorder;

namespace Ui {
class FlasherClass;
}

class Flasher : public QMainWindow
{
    Q_OBJECT

public:
    // prompts: the dialogs to ask through (not owned); null means the real Qt dialogs.
    // driver: the FTDI library the cable talks through (not owned); null means the vendor's D2XX library.
    explicit Flasher(Prompts *prompts = nullptr, FtdiDriver *driver = nullptr);
    ~Flasher() override;

    AppState &state() { return m_state; }
    Prompts &prompts() { return *m_prompts; }
    RS485Cable &cable() { return *m_cable; }
    // Appends one line to the message box.
    void log(const QString &line);
    // zrflasher --production: shows the builder menus, "Stream", the wizard entry and the two option boxes, and
    // widens the window so that they fit, keeping it inside the screen's available area.
    void showProductionControls();
    // The production registry the window records into for this run (empty: none, the window records nothing).
    void setRegistryUrl(const QString &url);
    QString registryUrl() const { return m_registryUrl; }
    // zrflasher --fast-replies: ticks the "Fast replies" entry.
    void setFastReplies(bool on);
    // Where "Gang Upgrade…" finds its cables: `list` enumerates them afresh, never through the window's own driver
    // (which may hold one open), with *problem saying why none was found; `factory` gives each worker its own
    // driver. Without them the dialog lists no cable.
    struct GangCables
    {
        std::function<QList<CableIdentity>(QString *problem)> list;
        CableDriverFactory factory;
    };
    void setGangCables(GangCables cables) { m_gangCables = std::move(cables); }

public slots:
    // --- shell (app/flasher.cpp) ---
    void slotShowAllMsg(int state);
    void slotShowAllOptions(int state);
    void slotClearMessageBox();
    void slotAbout();

    // --- cable (link/) ---
    void slotDisconnectRsCable();
    // "Fast replies" (Utilities): a reply ends its exchange as soon as it is complete; unticked at every start.
    void slotFastReplies(bool on);
    // "Production registry..." (shown with --production): on asks for the registry to record into for this run.
    void slotProductionRegistry(bool on);

    // --- connect and upgrade (boot/) ---
    void slotConnect();
    void slotUpgradeSTM32();
    void slotBootConnect();
    void slotUpgradeSTM32F030F4_family();
    void slotUpgradeSTM32F100C6_family();
    void slotUpgradeSTM32F100C8_family();
    void slotUpgradeSTM32L051C8_family();
    void slotUpgradeSTM32F103RC_64KB_family();
    void slotUpgradeSTM32F103RC_family();
    void slotUpgradeSTM32F405RG_family();
    void slotUpgradeSTM32F474RB_family();

    // --- stream upgrade (boot/) ---
    void slotStreamConnect();
    void slotStreamUpgrade();
    void slotStreamUpgradeProcedure();

    // --- gang upgrade (boot/) ---
    // "Gang Upgrade…" (shown with --production): a device on each chosen cable upgraded at once, each cable on a
    // worker thread; the window stays free meanwhile.
    void slotGangUpgrade();

    // --- service commands and flash tools (tools/) ---
    void slotRun();
    void slotRunRAM();
    void slotSend();
    void slotLoadBin();
    void slotI2CRead();
    void slotI2CWrite();
    void slotTest1();
    void slotTest2();
    void slotTest3();
    void slotWriteRAM();
    void slotMute();
    void slotUnmute();
    void slotDiscovery();
    void slotRead();
    void slotWrite();

    // --- builders and model catalogue (builders/) ---
    void slotCreateUpgSTM32F070F6_family(char *ZrXXX, char *ZR_ver);
    void slotCreateUpgSTM32F100C6_family(char *ZrXXX, char *ZR_ver);
    void slotCreateUpgSTM32F100C8_family(char *ZrXXX, char *ZR_ver);
    void slotCreateUpgSTM32G474CB_family(char *ZrXXX, char *ZR_ver);
    void slotCreateUpgSTM32F103RC_family(char *ZrXXX, char *ZR_ver);
    void slotCreateUpgSTM32F405RG_family(char *ZrXXX, char *ZR_ver);
    void slotCreateBootBinZr(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID);
    void slotCreateBootBinZr_103RC(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID);
    void slotCreateBootBinZrSTM32G4(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID);
    void slotCreateBootBinZr536_(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID);
    void slotCreateBootBinSTM32F4xx_family(char *ZrXXX, char *ZR_ver, uint16_t rdm_id);
    void slotCreateBootBinSTM32F070F6_family(char *ZrXXX, char *ZR_ver, uint16_t rdm_id);
    void slotAddParamsToFile(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID);
    // One boot-image slot and one upgrade slot per model, generated from the catalogue.
    ZR_CATALOGUE(ZR_DECLARE_MODEL_SLOTS)
    ZR_UPGRADE_ONLY(ZR_DECLARE_UPGRADE_ONLY_SLOT)

    // --- DMX console (dmx/) and parameter wizard (params/) ---
    void slotDMX();
    void slotParameterWizard();

private:
    void keepOnScreen();

    // --- members of the subsystems (each adds its own below its marker) ---
    // [cable]
    std::unique_ptr<FtdiDriver> m_ownDriver;
    std::unique_ptr<RS485Cable> m_cable;
    void addFastRepliesEntry();
    // [boot]
    // Boot-connect poller: created stopped, nothing starts it. When started it blinks "Connect" and tries one
    // connect per tick, 240 ticks of 250 ms (a minute) before it stops itself.
    class QTimer *m_bootConnectTimer = nullptr;
    int m_bootConnectAttemptsLeft = 240;
    bool m_bootConnectBlink = true;
    // The eight upgrade family lists are one table in the core (boot/upgradefamily.h).
    GangCables m_gangCables;
    QPointer<GangDialog> m_gangDialog; // the open gang dialog, if any (it deletes itself when closed)
    void addGangEntry();
    // Stops a gang still running and waits until its records have reached this window's recorder.
    void closeGang();
    // [tools]
    // [builders]
    void createModelEntries();
    void createUpgrade(const char *family, const char *ZrXXX, const char *ZR_ver);
    // tag: null for the family builders; rdm: the RDM identifier in its low byte
    void createBootImages(const char *builder, const char *ZrXXX, const char *tag, const char *version, int rdm);
    // [dmx/params]
    // [registry] The production registry: only one the user named (--registry, ZR_REGISTRY or the "Production
    // registry..." entry) is recorded into, opened on first use; its notices go to the message box.
    QString m_registryUrl = registryFromEnvironment();
    std::unique_ptr<Recorder> m_recorder;
    static QString registryFromEnvironment();
    Recorder *recorder(); // null without a registry
    void logRegistryNotice();
    void recordUpgrade(const UpgradeReport &report);
    void addRegistryEntry();

    std::unique_ptr<Ui::FlasherClass> ui;
    std::unique_ptr<Prompts> m_ownPrompts;
    Prompts *m_prompts = nullptr;
    AppState m_state;
};

// Registers the images compiled into the program (they live in a static library).
void loadResources();

// What the start routine does with the new window: title "ZrFlasher 2.97", 400 x 250, shown.
void startMainWindow(Flasher *window);
