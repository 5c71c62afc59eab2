#include "FtBackend.h"

#include <atomic>
#include <mutex>

#include "FtHandles.h"

namespace oq::ft {
namespace {
std::mutex g_mutex;
std::shared_ptr<Backend> g_backend;
} // namespace

FT_HANDLE nextHandleValue()
{
    static std::atomic<uintptr_t> next{0x0F710000};
    return reinterpret_cast<FT_HANDLE>(next.fetch_add(1));
}

void setBackend(std::shared_ptr<Backend> b)
{
    std::lock_guard lock(g_mutex);
    g_backend = std::move(b);
}

std::shared_ptr<Backend> backend()
{
    std::lock_guard lock(g_mutex);
    if (!g_backend)
        g_backend = makeTtyBackend();
    return g_backend;
}

QString portName(DWORD location)
{
    const QString port = backend()->portOf(location);
    return port.isEmpty() ? QStringLiteral("usb:%1").arg(location, 8, 16, QLatin1Char('0')) : port;
}

} // namespace oq::ft

using oq::ft::backend;

FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid) { return backend()->setVidPid(vid, pid); }
FT_STATUS FT_CreateDeviceInfoList(LPDWORD numDevs)
{
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    return backend()->createDeviceInfoList(numDevs);
}
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, LPDWORD numDevs)
{
    if (!dest || !numDevs)
        return FT_INVALID_PARAMETER;
    return backend()->getDeviceInfoList(dest, numDevs);
}
FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle)
{
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (deviceNumber < 0)
        return FT_DEVICE_NOT_FOUND;
    return backend()->open(deviceNumber, handle);
}
FT_STATUS FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle)
{
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (flags != FT_OPEN_BY_LOCATION)
        return FT_INVALID_PARAMETER;
    return backend()->openByLocation(DWORD(reinterpret_cast<uintptr_t>(arg)), handle);
}
FT_STATUS FT_Close(FT_HANDLE handle) { return backend()->close(handle); }
FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) { return backend()->purge(handle, mask); }
FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff)
{
    return backend()->setFlowControl(handle, flowControl, xon, xoff);
}
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timerMs) { return backend()->setLatencyTimer(handle, timerMs); }
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) { return backend()->setBaudRate(handle, baudRate); }
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeoutMs, ULONG writeTimeoutMs)
{
    return backend()->setTimeouts(handle, readTimeoutMs, writeTimeoutMs);
}
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity)
{
    return backend()->setDataCharacteristics(handle, wordLength, stopBits, parity);
}
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes)
{
    if (!rxBytes)
        return FT_INVALID_PARAMETER;
    *rxBytes = 0;
    return backend()->getQueueStatus(handle, rxBytes);
}
FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, LPDWORD bytesReturned)
{
    if (!bytesReturned || (!buffer && bytesToRead > 0))
        return FT_INVALID_PARAMETER;
    *bytesReturned = 0;
    return backend()->read(handle, buffer, bytesToRead, bytesReturned);
}
FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, LPDWORD bytesWritten)
{
    if (!bytesWritten || (!buffer && bytesToWrite > 0))
        return FT_INVALID_PARAMETER;
    *bytesWritten = 0;
    return backend()->write(handle, buffer, bytesToWrite, bytesWritten);
}
