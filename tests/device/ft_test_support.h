#pragma once
// Talking to a counter through the FT_* calls, as the device link does, for the layer's own tests.
#include <QByteArray>

#include "device/ft/ftd2xx.h"
#include "platform/Clock.h"

namespace oq::ft::test {

// Configures an open handle as the device link does.
inline void configureLine(FT_HANDLE h, ULONG baud = 460800)
{
    FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX);
    FT_SetFlowControl(h, FT_FLOW_NONE, 0, 0);
    FT_SetLatencyTimer(h, 2);
    FT_SetBaudRate(h, baud);
    FT_SetTimeouts(h, 2000, 1000);
    FT_SetDataCharacteristics(h, FT_BITS_7, FT_STOP_BITS_1, FT_PARITY_EVEN);
}

inline FT_STATUS writeText(FT_HANDLE h, const QByteArray& text)
{
    for (char c : text) {
        DWORD written = 0;
        if (const FT_STATUS s = FT_Write(h, &c, 1, &written))
            return s;
    }
    return FT_OK;
}

// Polls and reads until `lines` line ends came, `seconds` of modelled time passed, or the driver
// failed (status returned through `status`).
inline QByteArray readLines(FT_HANDLE h, int lines, double seconds = 10, FT_STATUS* status = nullptr)
{
    QByteArray got;
    const double end = oq::clock::now() + seconds;
    FT_STATUS s = FT_OK;
    while (got.count("\r\n") < lines && oq::clock::now() < end) {
        DWORD waiting = 0;
        if ((s = FT_GetQueueStatus(h, &waiting)) != FT_OK)
            break;
        if (waiting == 0) {
            oq::clock::sleepFor(0.01);
            continue;
        }
        QByteArray buf(qsizetype(waiting), 0);
        DWORD n = 0;
        s = FT_Read(h, buf.data(), waiting, &n);
        got += buf.left(qsizetype(n));
        if (s != FT_OK)
            break;
    }
    if (status)
        *status = s;
    return got;
}

} // namespace oq::ft::test
