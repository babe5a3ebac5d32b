// Construction of the main window and the shell slots (options, message box, About).
#include "app/flasher.h"

#include "app/information.h"
#include "app/qtprompts.h"
#include "app/screenfit.h"
#include "core/version.h"
#include <QMenuBar>
#include <QScreen>
#include <QTimer>
#include "link/d2xxlibrary.h"
#include "link/rs485cable.h"
#include "registry/recorder.h"
#include "ui_flasher.h"

void loadResources()
{
    Q_INIT_RESOURCE(zrflasher);
}

Flasher::Flasher(Prompts *prompts, FtdiDriver *driver)
    : QMainWindow(nullptr)
    , ui((loadResources(), new Ui::FlasherClass))
{
    ui->setupUi(this);
    if (!prompts) {
        m_ownPrompts = std::make_unique<QtPrompts>(this);
        prompts = m_ownPrompts.get();
    }
    m_prompts = prompts;
    m_state.log = [this](const QString &line) { log(line); };
    m_state.upgradeFinished = [this](const UpgradeReport &report) { recordUpgrade(report); };
    setWindowIcon(QIcon(QStringLiteral(":/img/img/zrflasher.png")));

    // [cable] created, then closed, so that the first action that needs it opens it.
    if (!driver) {
        m_ownDriver = std::make_unique<D2xxLibrary>();
        driver = m_ownDriver.get();
    }
    m_cable = std::make_unique<RS485Cable>(this, 250000, 8, 2, 0, driver, m_prompts);
    m_cable->close();
    // Our own line after the "Cable Error" box: why no cable was found or opened (a missing library, no ports,
    // no permission), which the box alone does not say.
    m_cable->setOpenFailedHook([this, driver] {
        const QString why = driver->problem();
        if (!why.isEmpty())
            log(why);
    });
    addFastRepliesEntry();

    // Reduced window: production menus, the wizard entry and most service controls stay hidden.
    ui->menuUpgrade->menuAction()->setVisible(false);
    ui->menuCreate_Boot_Bin_0_299->menuAction()->setVisible(false);
    ui->menuCreate_Boot_Bin_300_799->menuAction()->setVisible(false);
    ui->menuCreate_Boot_Bin_800_999->menuAction()->setVisible(false);
    ui->menuCreate_Boot_Bin_900->menuAction()->setVisible(false);
    ui->menuCreate_Upgrade->menuAction()->setVisible(false);
    ui->menuStream->menuAction()->setVisible(false);
    ui->actionAbout->setEnabled(false);
    ui->OldSerialSystem->hide();
    slotShowAllOptions(0);
    for (QWidget *w : {static_cast<QWidget *>(ui->pushButtonRead), static_cast<QWidget *>(ui->pushButtonWrite),
                       static_cast<QWidget *>(ui->pushButtonI2CRead), static_cast<QWidget *>(ui->pushButtonI2CWrite),
                       static_cast<QWidget *>(ui->line), static_cast<QWidget *>(ui->line_2),
                       static_cast<QWidget *>(ui->showAllMsg), static_cast<QWidget *>(ui->showAllOptions)})
        w->hide();
    ui->actionParameter_Wizard->setVisible(false);

    // [model entries] in catalogue order
    createModelEntries();

    // [boot-connect timer]
    m_bootConnectTimer = new QTimer(this);
    m_bootConnectTimer->setObjectName(QStringLiteral("bootConnectTimer"));
    m_bootConnectTimer->setInterval(250);
    connect(m_bootConnectTimer, &QTimer::timeout, this, &Flasher::slotBootConnect);

    connect(ui->showAllMsg, &QCheckBox::stateChanged, this, &Flasher::slotShowAllMsg);
    connect(ui->showAllOptions, &QCheckBox::stateChanged, this, &Flasher::slotShowAllOptions);
    connect(ui->actionExit, &QAction::triggered, this, &QWidget::close);
    connect(ui->actionAbout, &QAction::triggered, this, &Flasher::slotAbout);
    connect(ui->pushButtonClose, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->pushButtonClear, &QPushButton::clicked, this, &Flasher::slotClearMessageBox);
    // [connections: cable]
    connect(ui->actionDisconnect_RS_Cable, &QAction::triggered, this, &Flasher::slotDisconnectRsCable);
    // [connections: boot]
    connect(ui->PushButtonConnect, &QPushButton::clicked, this, &Flasher::slotConnect);
    connect(ui->pushButtonUpgradeSTM32F100CB, &QPushButton::clicked, this, &Flasher::slotUpgradeSTM32);
    // [connections: stream]
    connect(ui->actionConnectStream, &QAction::triggered, this, &Flasher::slotStreamConnect);
    connect(ui->actionUpgradeStream, &QAction::triggered, this, &Flasher::slotStreamUpgrade);
    connect(ui->actionStartStreamUpgradeProcedure, &QAction::triggered, this, &Flasher::slotStreamUpgradeProcedure);
    // [connections: tools]
    // Mute, Unmute, Discovery, Run RAM, Write RAM and the tests are reached by name only.
    connect(ui->pushButtonSend, &QPushButton::clicked, this, &Flasher::slotSend);
    connect(ui->pushButton_LoadBin, &QPushButton::clicked, this, &Flasher::slotLoadBin);
    connect(ui->pushButtonRun, &QPushButton::clicked, this, &Flasher::slotRun);
    connect(ui->pushButtonI2CRead, &QPushButton::clicked, this, &Flasher::slotI2CRead);
    connect(ui->pushButtonI2CWrite, &QPushButton::clicked, this, &Flasher::slotI2CWrite);
    connect(ui->pushButtonRead, &QPushButton::clicked, this, &Flasher::slotRead);
    connect(ui->pushButtonWrite, &QPushButton::clicked, this, &Flasher::slotWrite);
    // [connections: dmx/params]
    connect(ui->actionDMX, &QAction::triggered, this, &Flasher::slotDMX);
    connect(ui->actionParameter_Wizard, &QAction::triggered, this, &Flasher::slotParameterWizard);

    // [family lists]
}

Flasher::~Flasher()
{
    closeGang(); // while the recorder is still there
}

void Flasher::log(const QString &line)
{
    ui->plainTextEdit->appendPlainText(line);
}

void Flasher::showProductionControls()
{
    // The "Upgrade" menu stays hidden: its entries are connected to nothing. Stream entries keep their state.
    for (QMenu *menu : {ui->menuCreate_Upgrade, ui->menuCreate_Boot_Bin_0_299, ui->menuCreate_Boot_Bin_300_799,
                        ui->menuCreate_Boot_Bin_800_999, ui->menuCreate_Boot_Bin_900, ui->menuStream})
        menu->menuAction()->setVisible(true);
    ui->actionParameter_Wizard->setVisible(true);
    ui->showAllMsg->show();
    ui->OldSerialSystem->show();
    addRegistryEntry();
    addGangEntry();
    // Wide enough for every menu title and the option boxes' texts; never narrower than it was.
    resize(qMax(width(), qMax(menuBar()->sizeHint().width(), minimumSizeHint().width())),
           qMax(height(), minimumSizeHint().height()));
    keepOnScreen();
}

void Flasher::keepOnScreen()
{
    // The position of a window is that of its frame (title bar and borders included).
    const QRect frame = frameGeometry();
    const QRect fitted = fitFrameIntoScreen(frame, screen()->availableGeometry());
    if (fitted != frame)
        move(fitted.topLeft());
}

void Flasher::slotShowAllMsg(int state)
{
    m_state.showAllMessages = state != 0;
}

void Flasher::slotShowAllOptions(int state)
{
    const bool show = state != 0;
    for (QWidget *w : {static_cast<QWidget *>(ui->pushButtonDiscovery), static_cast<QWidget *>(ui->pushButtonMute),
                       static_cast<QWidget *>(ui->pushButtonUnmute), static_cast<QWidget *>(ui->pushButtonSend),
                       static_cast<QWidget *>(ui->pushButton_LoadBin), static_cast<QWidget *>(ui->line_3)})
        w->setVisible(show);
}

void Flasher::slotClearMessageBox()
{
    ui->plainTextEdit->clear();
}

void Flasher::slotAbout()
{
    Information about(this);
    about.exec();
}

void startMainWindow(Flasher *window)
{
    window->setWindowTitle(kProgramName + QLatin1Char(' ') + kProgramVersion);
    window->resize(400, 250);
    window->show();
}
