#include "app/Launch.h"

#include <QActionGroup>
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTimer>

#include "alerts/DesktopNotifier.h"
#include "app/AppDelegate.h"
#include "app/ApplicationShell.h"
#include "app/HistoryRecorder.h"
#include "app/LevelAlerts.h"
#include "app/MainWindow.h"
#include "app/MqttRecorder.h"
#include "app/QuitWait.h"
#include "app/SimulationMenu.h"
#include "app/TrayIcon.h"
#include "device/FtBackend.h"
#include "device/OQUSBDevice.h"
#include "platform/Clock.h"
#include "platform/StringTable.h"
#include "sim/SimFtBackend.h"
#include "units/ColorManager.h"
#include "units/LivoraPreferencesWindow.h"
#include "units/MqttOptionsBox.h"

int runApplication(QApplication& app, const LaunchConfig& config)
{
    oq::clock::setScale(config.timeScale > 0 ? config.timeScale : 1.0);
    if (config.simulate)
        oq::sim::useFtBackend();
    else
        oq::ft::useTtyBackend(config.portPath);

    AppDelegate controller;
    controller.setDeviceFactory([] { return makeDevice<OQUSBDevice>(); });
    ColorManager colorManager;
    controller.setColorManager(&colorManager);
    MainWindow window(&controller);
    colorManager.setBackgroundView(window.backgroundView());
    ApplicationShell shell(&controller, &window);
    shell.installSignalHandlers();
    HistoryRecorder history(&controller);
    history.watch(window.deviceMenu());
    MqttRecorder mqtt(&history);
    QObject::connect(&controller, &OQAppDelegate::preferencesWindowCreated, &mqtt, [&mqtt](LivoraPreferencesWindow* prefs) {
        prefs->mqttBox()->setStatus(mqtt.status());
        QObject::connect(&mqtt, &MqttRecorder::statusChanged, prefs->mqttBox(), &MqttOptionsBox::setStatus);
    });

    OQAppDelegate::LaunchOptions options;
    options.useSimulatedBus = config.simulate;
    options.portPath = config.portPath;
    controller.setLaunchOptions(options);

    std::unique_ptr<SimulationMenu> simulation;
    if (config.simulate)
        simulation = std::make_unique<SimulationMenu>(&window);

    controller.applicationDidFinishLaunching();
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
    window.show();
    if (simulation)
        simulation->plugSoon();

    if (config.quitAfterSeconds > 0) {
        QTimer::singleShot(int(config.quitAfterSeconds * 1000), &shell, [&] {
            if (!config.screenshotPath.isEmpty())
                window.grab().save(config.screenshotPath);
            shell.requestQuit();
        });
    }
    const int rc = app.exec();
    // A closing sequence takes a second or two; a counter that never falls quiet is given up on.
    finishDeviceWork(controller, AppDelegate::kQuitWaitLimit);
    if (simulation)
        simulation->unplugAll();
    return rc;
}
