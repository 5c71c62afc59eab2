// libFuzzer target: the serial link's line assembly over whatever a counter sends, in whatever
// pieces the driver hands it out. The first byte shapes the pieces; the rest is the counter's output.
#include <QByteArray>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "device/ft/FtBackend.h"
#include "device/OQUSBDevice.h"
#include "platform/Clock.h"

namespace {

class ScriptedDriver final : public oq::ft::Backend {
public:
    QByteArray pending;
    uint32_t shape = 0;
    uint32_t calls = 0;

    const char* name() const override { return "fuzz"; }
    FT_STATUS setVidPid(DWORD, DWORD) override { return FT_OK; }
    FT_STATUS createDeviceInfoList(DWORD* n) override { *n = 0; return FT_OK; }
    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE*, DWORD* n) override { *n = 0; return FT_OK; }
    FT_STATUS open(int, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS openByLocation(DWORD, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS close(FT_HANDLE) override { return FT_OK; }
    FT_STATUS purge(FT_HANDLE, ULONG) override { return FT_OK; }
    FT_STATUS setFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) override { return FT_OK; }
    FT_STATUS setLatencyTimer(FT_HANDLE, UCHAR) override { return FT_OK; }
    FT_STATUS setBaudRate(FT_HANDLE, ULONG) override { return FT_OK; }
    FT_STATUS setTimeouts(FT_HANDLE, ULONG, ULONG) override { return FT_OK; }
    FT_STATUS setDataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) override { return FT_OK; }
    FT_STATUS write(FT_HANDLE, const void*, DWORD count, DWORD* written) override { *written = count; return FT_OK; }

    // Reports a piece of what is pending: sometimes nothing, sometimes more than will be handed out.
    FT_STATUS getQueueStatus(FT_HANDLE, DWORD* rx) override
    {
        const uint32_t step = (shape >> (++calls % 24)) & 0xFF;
        if (pending.isEmpty() || step % 7 == 0) {
            *rx = 0;
            return FT_OK;
        }
        *rx = DWORD(step % 5 == 0 ? pending.size() + 17 : std::min<qsizetype>(pending.size(), 1 + step));
        return FT_OK;
    }
    FT_STATUS read(FT_HANDLE, void* buffer, DWORD count, DWORD* returned) override
    {
        const qsizetype n = std::min<qsizetype>(pending.size(), qsizetype(count));
        std::copy_n(pending.constData(), n, static_cast<char*>(buffer));
        pending.remove(0, n);
        *returned = DWORD(n);
        return FT_OK;
    }
};

struct Fixture {
    std::shared_ptr<ScriptedDriver> driver = std::make_shared<ScriptedDriver>();
    // Made without makeDevice: its worker waits and never touches the driver.
    OQUSBDevice device;
    Fixture()
    {
        oq::clock::setScale(1e-12); // the link's polls do not sleep: the driver has no clock
        oq::ft::setBackend(driver);
    }
};

QByteArray asReceived(QByteArray bytes)
{
    for (char& c : bytes) {
        if (static_cast<unsigned char>(c) > 0x7F)
            c = '?';
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture f;
    if (size < 4)
        return 0;
    f.driver->shape = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
    f.driver->calls = 0;
    f.driver->pending = QByteArray(reinterpret_cast<const char*>(data + 4), qsizetype(size - 4));
    const QByteArray sent = asReceived(f.driver->pending);
    f.device.clearInput();

    qsizetype handedOut = 0;
    int silences = 0;
    // Until all has been read and the line has been quiet once, or quiet three times in a row.
    for (size_t i = 0; i < 3 * size + 64 && silences < 3 && !(silences > 0 && f.driver->pending.isEmpty()); ++i) {
        std::optional<oq::ErrorRecord> error;
        const auto line = f.device.readLineFromHandle(nullptr, &error);
        if (!line)
            std::abort(); // the driver never fails here
        if (line->isEmpty()) {
            if (!error)
                std::abort();
            ++silences;
            continue;
        }
        silences = 0;
        const QByteArray bytes = line->toLatin1();
        // One whole line, as the counter sent it, after the lines before it.
        if (!bytes.endsWith("\r\n") || bytes.indexOf("\r\n") != bytes.size() - 2)
            std::abort();
        const qsizetype at = sent.indexOf(bytes, handedOut);
        if (at < 0)
            std::abort();
        handedOut = at + bytes.size();
        if (f.device.rxBuffer().size() > OQUSBDevice::kMaxPartialLine + (1 << 16))
            std::abort();
    }
    if (handedOut > sent.size() || silences == 0)
        std::abort();
    return 0;
}
