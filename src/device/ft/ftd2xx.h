#pragma once
// Our own declarations of the D2XX calls the device link uses. They dispatch to the backend chosen
// at start (see FtBackend.h): the kernel's FTDI serial driver (tty) or the simulated counter (sim).
#include <cstdint>

using FT_HANDLE = void*;
using FT_STATUS = unsigned long;
using DWORD = uint32_t;
using ULONG = unsigned long;
using UCHAR = unsigned char;
using USHORT = unsigned short;
using WORD = uint16_t;
using LPDWORD = DWORD*;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_OTHER_ERROR = 18,
};

enum : UCHAR { FT_BITS_7 = 7, FT_BITS_8 = 8, FT_STOP_BITS_1 = 0, FT_STOP_BITS_2 = 2 };
enum : UCHAR { FT_PARITY_NONE = 0, FT_PARITY_ODD = 1, FT_PARITY_EVEN = 2 };
enum : USHORT { FT_FLOW_NONE = 0x0000 };
enum : ULONG { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };

struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid);
FT_STATUS FT_CreateDeviceInfoList(LPDWORD numDevs);
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, LPDWORD numDevs);
FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle);
// Only FT_OPEN_BY_LOCATION: `arg` is the bridge's LocId, as listed.
enum : DWORD { FT_OPEN_BY_LOCATION = 4 };
FT_STATUS FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle);
FT_STATUS FT_Close(FT_HANDLE handle);
FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask);
FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timerMs);
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate);
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeoutMs, ULONG writeTimeoutMs);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity);
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes);
FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, LPDWORD bytesReturned);
FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, LPDWORD bytesWritten);
