#pragma once
// The whole application in one process, wired the way the program entry wires it: the sim backend
// and the simulated bus, the controller, the colour manager and the main window, with settings
// and logs kept in `folder`. Shown at 640 × 300 by default.
#include <QLocale>
#include <QString>

#include <memory>

#include "app/controller/AppDelegate.h"
#include "app/windows/MainWindow.h"
#include "common/TestUtil.h"
#include "device/ft/FtBackend.h"
#include "sim/SimFtBackend.h"
#include "device/OQUSBDevice.h"
#include "platform/Clock.h"
#include "platform/SettingsStore.h"
#include "sim/SimBus.h"
#include "app/windows/ColorManager.h"

class SimulatedApplication {
public:
    SimulatedApplication(const QString& folder, double timeScale)
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        oq::clock::setScale(timeScale);
        oq::SettingsStore::useFile(folder + QStringLiteral("/oq.conf"));
        oq::sim::useFtBackend();
        controller = std::make_unique<AppDelegate>();
        controller->setDeviceFactory(OQAppDelegate::usbDeviceFactory());
        colorManager = std::make_unique<ColorManager>();
        controller->setColorManager(colorManager.get());
        window = std::make_unique<MainWindow>(controller.get());
        colorManager->setBackgroundView(window->backgroundView());
        OQAppDelegate::LaunchOptions o;
        o.useSimulatedBus = true;
        o.logsDirectory = folder + QStringLiteral("/Logs");
        controller->setLaunchOptions(o);
        controller->setAppCenterSecret(std::nullopt);
        controller->applicationDidFinishLaunching();
        window->show();
        window->resize(640, 300);
    }
    ~SimulatedApplication()
    {
        if (unplugOnExit)
            oq::sim::SimBus::instance().unplugAll();
        oq::test::spin(0.2);
        window.reset();
        controller.reset();
        colorManager.reset();
        oq::clock::setScale(1.0);
    }
    SimulatedApplication(const SimulatedApplication&) = delete;
    SimulatedApplication& operator=(const SimulatedApplication&) = delete;

    std::unique_ptr<AppDelegate> controller;
    std::unique_ptr<ColorManager> colorManager;
    std::unique_ptr<MainWindow> window;
    // False leaves the counters plugged in for the next application, as after a restart.
    bool unplugOnExit = true;
};
