#include "OQDeviceLog.h"

#include "logging/Log.h"

QString OQDeviceLogFileManager::newLogFileName() const { return QStringLiteral("device.log"); }

bool OQDeviceLogFileManager::isLogFile(const QString& fileName) const
{
    return fileName.startsWith(QStringLiteral("device"));
}

std::shared_ptr<OQDeviceFileFormatter> OQDeviceFileFormatter::deviceLogFormatter()
{
    return std::make_shared<OQDeviceFileFormatter>();
}

std::optional<QString> OQDeviceFileFormatter::formatLogMessage(const LGLogMessage& message) const
{
    if (message.context != OQDeviceLogContext)
        return std::nullopt;
    return message.message;
}
