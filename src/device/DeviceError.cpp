#include "DeviceError.h"

namespace oq::device {

ErrorRecord deviceError(int code, const QString& description)
{
    return ErrorRecord(OQDeviceErrorDomain, code, {{QString::fromLatin1(NSLocalizedDescriptionKey), description}});
}

ErrorRecord errorWithFTStatus(FT_STATUS status)
{
    return deviceError(static_cast<int>(status), QStringLiteral("Driver return code: %1").arg(static_cast<int>(status)));
}

ErrorRecord timeoutError() { return deviceError(DeviceErrorReadTimeout, QStringLiteral("Timeout")); }

QString ftStatusMessage(FT_STATUS status)
{
    switch (status) {
    case FT_INVALID_HANDLE:
        return QStringLiteral("Driver Error: invalid handle");
    case FT_DEVICE_NOT_FOUND:
    case FT_DEVICE_NOT_OPENED:
        return QStringLiteral("Driver Error: device not found");
    case FT_IO_ERROR:
        return QStringLiteral("Driver Error: I/O Error");
    case FT_INSUFFICIENT_RESOURCES:
        return QStringLiteral("Driver Error: insufficient resources");
    case FT_INVALID_PARAMETER:
        return QStringLiteral("Driver Error: invalid parameter");
    case FT_INVALID_BAUD_RATE:
        return QStringLiteral("Driver Error: invalid baud rate");
    default:
        return QStringLiteral("Driver Error: unknown status");
    }
}

} // namespace oq::device
