#pragma once
// Handle bookkeeping for FT_* backends: the tty backend here, and backends plugged in from outside.
#include <QByteArray>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "device/ft/FtBackend.h"

namespace oq::ft {

// Process-wide unique handle values; never 0, never an address.
FT_HANDLE nextHandleValue();

template <class Port>
class HandleTable {
public:
    FT_HANDLE add(std::shared_ptr<Port> port)
    {
        const FT_HANDLE h = nextHandleValue();
        std::lock_guard lock(m_mutex);
        m_ports[key(h)] = std::move(port);
        return h;
    }
    std::shared_ptr<Port> get(FT_HANDLE h) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_ports.find(key(h));
        return it == m_ports.end() ? nullptr : it->second;
    }
    std::shared_ptr<Port> take(FT_HANDLE h)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_ports.find(key(h));
        if (it == m_ports.end())
            return nullptr;
        auto port = std::move(it->second);
        m_ports.erase(it);
        return port;
    }
    // The first open handle whose port satisfies `match`, or null.
    template <class Match>
    FT_HANDLE find(Match match) const
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [k, port] : m_ports)
            if (match(*port))
                return reinterpret_cast<FT_HANDLE>(k);
        return nullptr;
    }

private:
    static uintptr_t key(FT_HANDLE h) { return reinterpret_cast<uintptr_t>(h); }
    mutable std::mutex m_mutex;
    std::map<uintptr_t, std::shared_ptr<Port>> m_ports;
};

// The bridges FT_CreateDeviceInfoList found, kept for FT_GetDeviceInfoList.
template <class Entry>
class DeviceList {
public:
    DWORD refresh(std::vector<Entry> entries)
    {
        std::lock_guard lock(m_mutex);
        m_entries = std::move(entries);
        return DWORD(m_entries.size());
    }
    // Fills up to `*count` nodes, one `fill(node, entry)` each; `*count` becomes how many.
    template <class Fill>
    void fill(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* count, Fill fillOne) const
    {
        std::lock_guard lock(m_mutex);
        const DWORD n = std::min<DWORD>(*count, DWORD(m_entries.size()));
        for (DWORD i = 0; i < n; ++i)
            fillOne(nodes[i], m_entries[i]);
        *count = n;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

// Copies `text` into a fixed node field, always terminated.
template <size_t N>
void copyField(char (&field)[N], const QByteArray& text)
{
    const size_t n = std::min(N - 1, size_t(text.size()));
    std::memcpy(field, text.constData(), n);
    field[n] = 0;
}

// One listed bridge as FT_GetDeviceInfoList reports it; `open` is the handle it is open under.
inline void fillNode(FT_DEVICE_LIST_INFO_NODE& node, ULONG id, DWORD location, const QString& serial,
    const QString& description, FT_HANDLE open)
{
    node = {};
    node.ID = id;
    node.LocId = location;
    copyField(node.SerialNumber, serial.toLatin1());
    copyField(node.Description, description.toLatin1());
    node.ftHandle = open;
    node.Flags = open ? 1 : 0; // opened
}

// Read and write time-outs of a handle, in modelled milliseconds; 0 stands for the default.
struct Timeouts {
    std::atomic<ULONG> readMs{kDefaultReadTimeoutMs};
    std::atomic<ULONG> writeMs{kDefaultWriteTimeoutMs};
    void set(ULONG read, ULONG write)
    {
        readMs = read ? read : kDefaultReadTimeoutMs;
        writeMs = write ? write : kDefaultWriteTimeoutMs;
    }
};

} // namespace oq::ft
