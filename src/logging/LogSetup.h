#pragma once
// The logging set-up of the application: system log, its capture, the application log and the
// device log.
#include <QString>

#include <memory>

#include "logging/LGFileLogger.h"

namespace oq {

struct LogSetup {
    std::shared_ptr<LGFileLogger> fileLogger;       // every message but the counter traffic
    std::shared_ptr<LGFileLogger> deviceFileLogger; // the counter traffic only
};

// Installs the system-log logger (warnings and errors), starts the system-log capture, and makes and
// installs both file loggers in `logsDirectory` (empty: the default folder). Call once, before the
// first message that should reach the files.
LogSetup setupLogging(const QString& logsDirectory = {});

// At the end of the process: flushes both loggers and takes them out of the dispatcher without
// archiving their files, so that the next start continues them unless they are due by then.
void endLogging(const LogSetup& loggers);

} // namespace oq
