#include "LogSetup.h"

#include "logging/LGASLLogger.h"
#include "logging/Log.h"
#include "logging/OQDeviceLog.h"

namespace oq {

LogSetup setupLogging(const QString& logsDirectory)
{
    auto filter = std::make_shared<LGContextDenylistFilterLogFormatter>();
    filter->addToDenylist(OQDeviceLogContext);

    LGLog::addLogger(LGASLLogger::sharedInstance(), LGLogLevelWarning);

    LGASLLogCapture::start();
    LGASLLogCapture::setCaptureLevel(LGLogLevelAll);

    LogSetup setup;
    auto appManager = std::make_shared<LGLogFileManagerDefault>(logsDirectory);
    setup.fileLogger = LGFileLogger::initWithLogFileManager(appManager);
    setup.fileLogger->setRollingFrequency(86400);
    appManager->setMaximumNumberOfLogFiles(7);
    setup.fileLogger->setLogFormatter(filter);
    LGLog::addLogger(setup.fileLogger, LGLogLevelAll);

    auto deviceManager = std::make_shared<OQDeviceLogFileManager>(logsDirectory);
    setup.deviceFileLogger = LGFileLogger::initWithLogFileManager(deviceManager);
    deviceManager->setMaximumNumberOfLogFiles(5);
    setup.deviceFileLogger->setAutomaticallyAppendNewlineForCustomFormatters(false);
    setup.deviceFileLogger->setLogFormatter(OQDeviceFileFormatter::deviceLogFormatter());
    LGLog::addLogger(setup.deviceFileLogger, LGLogLevelAll);
    // Changes nothing while no file is open; a device log left open by the last run goes on.
    setup.deviceFileLogger->rollLogFileWithCompletionBlock();
    return setup;
}

void endLogging(const LogSetup& loggers)
{
    for (const auto& logger : {loggers.fileLogger, loggers.deviceFileLogger}) {
        if (!logger)
            continue;
        logger->keepFileAtRemoval();
        LGLog::removeLogger(logger); // after every message queued before it, then flushed and closed
    }
}

} // namespace oq
