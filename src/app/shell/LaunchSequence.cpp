// The controller's launch sequence, shutdown and logging set-up.
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "app/shell/CrashReporter.h"
#include "app/controller/OQAppDelegate.h"
#include "app/shell/SystemInformation.h"
#include "logging/Log.h"
#include "logging/LogSetup.h"
#include "app/windows/ColorManager.h"
#include "logging/LGASLLogger.h"
#include "sim/SimRegistry.h"
#include "usb/USBMonitor.h"

void OQAppDelegate::applicationDidFinishLaunching()
{
    if (m_appCenterSecret)
        CrashReporter::start(*m_appCenterSecret, CrashReporter::defaultFolder(), SystemInformation::appVersion());
    if (m_launchOptions.setUpLogging)
        setupLogging();
    LGLogInfo("Application started Version: %@ on Linux: %@", SystemInformation::appVersion(), SystemInformation::osVersion());
    if (CrashReporter::isStarted()) {
        for (const QString& report : CrashReporter::pendingReports(CrashReporter::defaultFolder())) {
            LGLogWarn("Crash report pending: %@", report);
            QFile::rename(report, report + QStringLiteral(".seen")); // each report is announced once
        }
    }
    LGLogInfo("Initializing USB Monitor");
    if (m_launchOptions.startMonitor && m_launchOptions.portPath.isEmpty()) {
        m_monitor = m_launchOptions.useSimulatedBus ? USBMonitor::init(std::make_unique<SimRegistry>()) : USBMonitor::init();
        if (m_monitor)
            m_monitor->setDelegate(this);
    }
    // The colour manager's value follows "device.onlineValue", through device changes too.
    connect(this, &OQAppDelegate::deviceOnlineValueChanged, this, [this] {
        if (!m_colorManager)
            return;
        // A reading is judged in the mode of the stream that read it.
        if (const auto reading = m_device ? m_device->reading() : std::nullopt)
            m_colorManager->setMode(reading->mode);
        m_colorManager->setValue(m_device ? m_device->onlineValue() : std::nullopt);
    });
    if (!m_launchOptions.portPath.isEmpty()) {
        // A fixed serial device has no USB events of its own: it arrives once, now.
        QMetaObject::invokeMethod(this, [this] { monitorFoundNewDevice(m_monitor.get()); }, Qt::QueuedConnection);
    }
}

void OQAppDelegate::applicationWillTerminate()
{
    LGLogInfo("Application will Terminate");
    LGASLLogCapture::stop();
    LGLog::flushLog();
}

void OQAppDelegate::setupLogging()
{
    auto loggers = oq::setupLogging(m_launchOptions.logsDirectory);
    m_fileLogger = loggers.fileLogger;
    m_deviceFileLogger = loggers.deviceFileLogger;
}

void OQAppDelegate::rollDeviceLog()
{
    if (m_deviceFileLogger)
        m_deviceFileLogger->rollLogFileWithCompletionBlock(nullptr);
}
