#pragma once
// A driver backend that passes every call on to another one; tests and benchmarks derive from it
// to watch the calls they care about.
#include <memory>

#include "device/ft/FtBackend.h"

namespace oq::test {

class ForwardingBackend : public ft::Backend {
public:
    explicit ForwardingBackend(std::shared_ptr<ft::Backend> inner) : m_inner(std::move(inner)) {}
    const char* name() const override { return m_inner->name(); }

    FT_STATUS setVidPid(DWORD v, DWORD p) override { return m_inner->setVidPid(v, p); }
    FT_STATUS createDeviceInfoList(DWORD* n) override { return m_inner->createDeviceInfoList(n); }
    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* n) override { return m_inner->getDeviceInfoList(nodes, n); }
    FT_STATUS open(int index, FT_HANDLE* h) override { return m_inner->open(index, h); }
    FT_STATUS openByLocation(DWORD location, FT_HANDLE* h) override { return m_inner->openByLocation(location, h); }
    FT_STATUS close(FT_HANDLE h) override { return m_inner->close(h); }
    FT_STATUS purge(FT_HANDLE h, ULONG mask) override { return m_inner->purge(h, mask); }
    FT_STATUS setFlowControl(FT_HANDLE h, USHORT f, UCHAR on, UCHAR off) override { return m_inner->setFlowControl(h, f, on, off); }
    FT_STATUS setLatencyTimer(FT_HANDLE h, UCHAR ms) override { return m_inner->setLatencyTimer(h, ms); }
    FT_STATUS setBaudRate(FT_HANDLE h, ULONG baud) override { return m_inner->setBaudRate(h, baud); }
    FT_STATUS setTimeouts(FT_HANDLE h, ULONG r, ULONG w) override { return m_inner->setTimeouts(h, r, w); }
    FT_STATUS setDataCharacteristics(FT_HANDLE h, UCHAR b, UCHAR s, UCHAR p) override { return m_inner->setDataCharacteristics(h, b, s, p); }
    FT_STATUS getQueueStatus(FT_HANDLE h, DWORD* rx) override { return m_inner->getQueueStatus(h, rx); }
    FT_STATUS read(FT_HANDLE h, void* buffer, DWORD count, DWORD* returned) override { return m_inner->read(h, buffer, count, returned); }
    FT_STATUS write(FT_HANDLE h, const void* buffer, DWORD count, DWORD* written) override { return m_inner->write(h, buffer, count, written); }

private:
    std::shared_ptr<ft::Backend> m_inner;
};

} // namespace oq::test
