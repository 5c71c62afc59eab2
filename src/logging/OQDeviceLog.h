#pragma once
// The device log: counter traffic (context 80) in "device.log".
#include "logging/LGFormatters.h"
#include "logging/LGLog.h"
#include "logging/LGLogFileManager.h"

// Every file whose name begins with "device" belongs to it; new files are always "device.log", so
// each one replaces the last.
class OQDeviceLogFileManager : public LGLogFileManagerDefault {
public:
    using LGLogFileManagerDefault::LGLogFileManagerDefault;
    QString newLogFileName() const override;
    bool isLogFile(const QString& fileName) const override;
    bool newFileReplacesOld() const override { return true; }
};

// The message's own text for context 80; nothing for any other.
class OQDeviceFileFormatter : public LGLogFileFormatterDefault {
public:
    static std::shared_ptr<OQDeviceFileFormatter> deviceLogFormatter();
    std::optional<QString> formatLogMessage(const LGLogMessage& message) const override;
};
