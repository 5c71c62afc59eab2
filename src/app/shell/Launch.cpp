#include "app/shell/Launch.h"

#include <QActionGroup>
#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include "alerts/DesktopNotifier.h"
#include "app/controller/AppDelegate.h"
#include "app/shell/ApplicationShell.h"
#include "app/menus/DeviceMenu.h"
#include "app/controller/LevelAlerts.h"
#include "app/windows/MainWindow.h"
#include "app/controller/QuitWait.h"
#include "app/controller/WebPage.h"
#include "app/controller/WindowRecording.h"
#include "app/menus/SimulationMenu.h"
#include "app/shell/SingleInstance.h"
#include "app/shell/TrayIcon.h"
#include "device/ft/FtBackend.h"
#include "device/OQUSBDevice.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"
#include "sim/SimFtBackend.h"
#include "app/windows/ColorManager.h"
#include "app/preferences/LivoraPreferencesWindow.h"
#include "app/preferences/MqttOptionsBox.h"
#include "app/preferences/WebPageBox.h"

namespace {
LaunchRequest requestOf(const LaunchConfig& config)
{
    LaunchRequest request;
    request.simulate = config.simulate;
    // The same port however it was written, from whichever folder.
    if (!config.portPath.isEmpty())
        request.portPath = QFileInfo(config.portPath).absoluteFilePath();
    request.files = config.files;
    request.hidden = config.hidden;
    return request;
}

// What a later launch asked of the running one, once it has been told the answer.
void serveLaterLaunch(const LaunchRequest& later, MainWindow& window, TrayIcon& tray)
{
    if (!later.hidden || !later.files.isEmpty())
        tray.showWindow();
    for (const QString& file : later.files) {
        LGLogInfo("Opening %@ for a later launch", file);
        window.deviceMenu()->openProtocolFile(file);
    }
}
} // namespace

int runApplication(QApplication& app, const LaunchConfig& config)
{
    installQtTranslations(app);
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("oq-online")));
    const LaunchRequest request = requestOf(config);
    SingleInstance instance;
    // Tests that run several on purpose opt out.
    if (!qEnvironmentVariableIsSet("OQ_ONLINE_SEPARATE_INSTANCE")) {
        const auto tell = [](const QString& text) {
            QMessageBox::warning(nullptr, QApplication::applicationDisplayName(), text);
        };
        if (const auto exitCode = handOverToRunningInstance(instance, request, tell))
            return *exitCode;
    }

    oq::clock::setScale(config.timeScale > 0 ? config.timeScale : 1.0);
    oq::sim::useSerialBackend(config.simulate, config.portPath);

    AppDelegate controller;
    controller.setDeviceFactory(OQAppDelegate::usbDeviceFactory());
    ColorManager colorManager;
    controller.setColorManager(&colorManager);
    MainWindow window(&controller);
    colorManager.setBackgroundView(window.backgroundView());
    ApplicationShell shell(&controller, &window);
    shell.installSignalHandlers();
    WindowRecording recording(&controller);
    recording.watch(window.deviceMenu());
    QObject::connect(&recording, &WindowRecording::historyTroubleChanged, &window, &MainWindow::setHistoryTrouble);
    QObject::connect(&controller, &OQAppDelegate::preferencesWindowCreated, &recording, [&recording](LivoraPreferencesWindow* prefs) {
        prefs->mqttBox()->setStatus(recording.status());
        QObject::connect(&recording, &WindowRecording::statusChanged, prefs->mqttBox(), &MqttOptionsBox::setStatus);
    });

    OQAppDelegate::LaunchOptions options;
    options.useSimulatedBus = config.simulate;
    options.portPath = config.portPath;
    controller.setLaunchOptions(options);

    std::unique_ptr<SimulationMenu> simulation;
    if (config.simulate)
        simulation = std::make_unique<SimulationMenu>(&window, &controller, config.simulatedCounters);

    controller.applicationDidFinishLaunching();
    // After the launch, so that the log says where it serves or why not.
    WebPage webPage(&controller, recording.path());
    QObject::connect(&controller, &OQAppDelegate::preferencesWindowCreated, &webPage, [&webPage](LivoraPreferencesWindow* prefs) {
        prefs->webBox()->setStatus(webPage.status());
        QObject::connect(&webPage, &WebPage::statusChanged, prefs->webBox(), &WebPageBox::setStatus);
    });
    // The shell quits; a last window closed (the main window kept running in the tray, a dialog
    // over it) does not.
    QApplication::setQuitOnLastWindowClosed(false);
    LevelAlerts alerts(&controller);
    TrayIcon tray(&controller, &window);
    QObject::connect(&alerts, &LevelAlerts::showWindowRequested, &tray, &TrayIcon::showWindow);
    // Without a tray, a notification is the way back to the hidden window.
    QObject::connect(&window, &MainWindow::keptRunning, &alerts, [&] {
        if (!tray.systemTrayIcon())
            alerts.notifier()->notify({oq::localized(QStringLiteral("alerts.kept_running")),
                oq::localized(QStringLiteral("alerts.kept_running.body")), false});
    });
    LGLogInfo("Window system: %@", QGuiApplication::platformName());
    if (!instance.problem().isEmpty())
        LGLogWarn("Running without the single instance: %@", instance.problem());
    if (config.hidden && oq::settings::alertOption(oq::settings::KeepRunningWhenClosed)) {
        LGLogInfo("Started with the window closed; keeping on running");
        emit window.keptRunning();
    } else {
        window.show();
    }
    for (const QString& file : config.files)
        window.deviceMenu()->openProtocolFile(file);
    instance.setHandler([&](const LaunchRequest& later) {
        const LaunchReply reply{!request.refuses(later), request};
        if (!reply.accepted) {
            LGLogWarn("Refused a later launch with %@", later.counterOptions());
            return reply;
        }
        LGLogInfo("A later launch handed over to this one");
        // After the answer: a dump that fails to open shows a dialog, which must not keep the
        // later launch waiting.
        QMetaObject::invokeMethod(&window, [&, later] { serveLaterLaunch(later, window, tray); }, Qt::QueuedConnection);
        return reply;
    });
    if (simulation && config.simulatedCounters > 0)
        simulation->plugSoon();

    if (config.quitAfterSeconds > 0) {
        QTimer::singleShot(int(config.quitAfterSeconds * 1000), &shell, [&] {
            if (!config.screenshotPath.isEmpty())
                window.grab().save(config.screenshotPath);
            shell.requestQuit();
        });
    }
    const int rc = app.exec();
    // Quitting: a later launch waits for this one to end and then runs by itself.
    instance.setHandler(nullptr);
    // A closing sequence takes a second or two; a counter that never falls quiet is given up on.
    finishDeviceWork(controller, AppDelegate::kQuitWaitLimit);
    if (simulation)
        simulation->unplugAll();
    return rc;
}
