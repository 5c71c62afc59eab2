// The FT_* backend of the simulated counters: those plugged into the simulated USB bus, in process.
#include "SimFtBackend.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "device/ft/FtHandles.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"

namespace oq::sim {
namespace {

using namespace oq::ft;

using oq::sim::LineSettings;
using oq::sim::SimBus;
using oq::sim::SimBusEntry;

// Longest real wait inside a read, so an unplug or close is noticed soon.
constexpr double kSliceRealSeconds = 0.01;
constexpr double kMinRealSleep = 50e-6;

struct SimPort {
    SimBusEntry entry;
    LineSettings line; // the computer's side: 9600 8N1 until configured
    Timeouts timeouts;

    // Still plugged in under the same entry (a re-plugged counter is a new device).
    bool alive() const { return entry.counter->plugged() && SimBus::instance().entry(entry.entryId).has_value(); }
};

class SimBackend final : public Backend {
public:
    const char* name() const override { return "sim"; }

    FT_STATUS setVidPid(DWORD, DWORD) override { return FT_OK; }

    FT_STATUS createDeviceInfoList(DWORD* count) override
    {
        *count = m_listed.refresh(SimBus::instance().entries());
        return FT_OK;
    }

    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* count) override
    {
        m_listed.fill(nodes, count, [this](FT_DEVICE_LIST_INFO_NODE& node, const SimBusEntry& e) {
            fillNode(node, (ULONG(e.vendorId) << 16) | e.productId, e.locationId, e.serialNumber, e.name,
                m_ports.find([&e](const SimPort& p) { return p.entry.entryId == e.entryId; }));
        });
        return FT_OK;
    }

    FT_STATUS open(int index, FT_HANDLE* handle) override
    {
        const auto entries = SimBus::instance().entries();
        if (size_t(index) >= entries.size())
            return FT_DEVICE_NOT_FOUND;
        return openEntry(entries[size_t(index)], handle);
    }

    FT_STATUS openByLocation(DWORD location, FT_HANDLE* handle) override
    {
        for (const SimBusEntry& e : SimBus::instance().entries()) {
            if (e.locationId == location)
                return openEntry(e, handle);
        }
        return FT_DEVICE_NOT_FOUND;
    }

    FT_STATUS openEntry(const SimBusEntry& e, FT_HANDLE* handle)
    {
        if (m_ports.find([&e](const SimPort& p) { return p.entry.entryId == e.entryId; }))
            return FT_DEVICE_NOT_OPENED;
        auto port = std::make_shared<SimPort>();
        port->entry = e;
        e.counter->hostConfigure(port->line);
        *handle = m_ports.add(std::move(port));
        return FT_OK;
    }

    FT_STATUS close(FT_HANDLE handle) override { return m_ports.take(handle) ? FT_OK : FT_INVALID_HANDLE; }

    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override
    {
        return withPort(handle, [mask](SimPort& p) -> FT_STATUS {
            if (mask & FT_PURGE_RX)
                p.entry.counter->hostPurge();
            return FT_OK;
        });
    }

    FT_STATUS setFlowControl(FT_HANDLE handle, USHORT flow, UCHAR, UCHAR) override
    {
        return withPort(handle, [flow](SimPort&) -> FT_STATUS { return flow == FT_FLOW_NONE ? FT_OK : FT_INVALID_PARAMETER; });
    }

    FT_STATUS setLatencyTimer(FT_HANDLE handle, UCHAR ms) override
    {
        return withPort(handle, [ms](SimPort&) -> FT_STATUS { return ms >= 1 ? FT_OK : FT_INVALID_PARAMETER; });
    }

    FT_STATUS setBaudRate(FT_HANDLE handle, ULONG baud) override
    {
        return withPort(handle, [baud](SimPort& p) -> FT_STATUS {
            if (baud < 300 || baud > 3000000)
                return FT_INVALID_BAUD_RATE;
            p.line.baud = int(baud);
            p.entry.counter->hostConfigure(p.line);
            return FT_OK;
        });
    }

    FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) override
    {
        return withPort(handle, [readMs, writeMs](SimPort& p) -> FT_STATUS {
            p.timeouts.set(readMs, writeMs);
            return FT_OK;
        });
    }

    FT_STATUS setDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stopBits, UCHAR parity) override
    {
        return withPort(handle, [=](SimPort& p) -> FT_STATUS {
            if ((bits != FT_BITS_7 && bits != FT_BITS_8) || (stopBits != FT_STOP_BITS_1 && stopBits != FT_STOP_BITS_2)
                || parity > FT_PARITY_EVEN)
                return FT_INVALID_PARAMETER;
            p.line.dataBits = bits;
            p.line.stopBits = stopBits == FT_STOP_BITS_2 ? 2 : 1;
            p.line.parity = parity == FT_PARITY_EVEN ? 'E' : parity == FT_PARITY_ODD ? 'O' : 'N';
            p.entry.counter->hostConfigure(p.line);
            return FT_OK;
        });
    }

    FT_STATUS getQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override
    {
        return withPort(handle, [rxBytes](SimPort& p) -> FT_STATUS {
            const qsizetype n = p.entry.counter->hostAvailable();
            if (!p.alive())
                return FT_IO_ERROR;
            *rxBytes = DWORD(n);
            return FT_OK;
        });
    }

    FT_STATUS read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* returned) override
    {
        return withPort(handle, [&](SimPort& p) -> FT_STATUS {
            auto* out = static_cast<char*>(buffer);
            const double deadline = oq::clock::now() + p.timeouts.readMs / 1000.0;
            for (;;) {
                const QByteArray got = p.entry.counter->hostRead(qsizetype(count - *returned));
                std::memcpy(out + *returned, got.constData(), size_t(got.size()));
                *returned += DWORD(got.size());
                if (!p.alive())
                    return FT_IO_ERROR;
                if (*returned >= count)
                    return FT_OK;
                if (!m_ports.get(handle))
                    return FT_INVALID_HANDLE; // closed meanwhile
                const double now = oq::clock::now();
                if (now >= deadline)
                    return FT_OK; // time-out: fewer bytes than asked
                double wake = deadline;
                if (const auto next = p.entry.counter->nextEvent())
                    wake = std::min(wake, *next);
                const double scale = oq::clock::scale();
                oq::clock::sleepFor(std::clamp(wake - now, kMinRealSleep / scale, kSliceRealSeconds / scale));
            }
        });
    }

    FT_STATUS write(FT_HANDLE handle, const void* buffer, DWORD count, DWORD* written) override
    {
        return withPort(handle, [&](SimPort& p) -> FT_STATUS {
            p.entry.counter->hostWrite(QByteArray(static_cast<const char*>(buffer), qsizetype(count)));
            if (!p.alive())
                return FT_IO_ERROR;
            *written = count;
            return FT_OK;
        });
    }

private:
    template <class F>
    FT_STATUS withPort(FT_HANDLE handle, F f)
    {
        const auto port = m_ports.get(handle);
        if (!port)
            return FT_INVALID_HANDLE;
        if (!port->alive())
            return FT_IO_ERROR;
        return f(*port);
    }

    HandleTable<SimPort> m_ports;
    DeviceList<SimBusEntry> m_listed;
};

} // namespace

std::shared_ptr<oq::ft::Backend> makeFtBackend() { return std::make_shared<SimBackend>(); }

} // namespace oq::sim
