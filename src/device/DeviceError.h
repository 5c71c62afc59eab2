#pragma once
// Errors the device link hands to completions and error out-parameters. One domain for all of
// them; error presentation recognises it.
#include <QString>

#include "device/ft/ftd2xx.h"
#include "platform/ErrorRecord.h"

namespace oq::device {

inline const QString OQDeviceErrorDomain = QStringLiteral("de.orbel-quist.online.device");

enum DeviceErrorCode : int {
    // An answer ran far past the longest one a counter can give (a counter that never stops).
    DeviceErrorEndlessAnswer = -4,
    DeviceErrorReadTimeout = -3,
    DeviceErrorUnexpectedInformation = -2,
    DeviceErrorDateTimeout = -1,
    DeviceErrorIncompleteProtocol = 0,
    // Positive codes are the driver status numbers.
};

// An error of the device domain with `description` as its localised description.
ErrorRecord deviceError(int code, const QString& description);

// Code = status, description "Driver return code: %i".
ErrorRecord errorWithFTStatus(FT_STATUS status);

// The read time-out: code -3, "Timeout".
ErrorRecord timeoutError();

// The English message for a failing driver status (never localised).
QString ftStatusMessage(FT_STATUS status);

} // namespace oq::device
