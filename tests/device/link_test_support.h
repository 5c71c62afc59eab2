#pragma once
// A device talking to a simulated counter, in process (sim backend) or over a pseudo-terminal
// (tty backend against the counter served by SimPty), with the driver calls counted.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/TestUtil.h"
#include "device/ft/FtBackend.h"
#include "sim/SimFtBackend.h"
#include "device/OQUSBDevice.h"
#include "device/link_forwarding_backend.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"
#include "sim/SimPty.h"

#include <algorithm>

namespace oq::test {

enum class Link { Sim, Pty };

inline const char* linkName(const ::testing::TestParamInfo<Link>& info)
{
    return info.param == Link::Sim ? "sim" : "pty";
}

// Counts the calls that touch the received data, and can make writes of one byte fail.
class CountingBackend final : public ForwardingBackend {
public:
    using ForwardingBackend::ForwardingBackend;

    std::atomic<int> queueStatusCalls{0};
    std::atomic<int> readCalls{0};
    std::atomic<int> driverCalls{0};
    // Of those, the ones made on the thread that built the backend (a test's own reads), which a
    // worker left over from an earlier test cannot add to.
    std::atomic<int> driverCallsHere{0};
    // Queue queries that found nothing since the last read that brought bytes.
    std::atomic<int> pollsSinceData{0};
    // Writes of this byte fail with FT_IO_ERROR; -1 for none.
    std::atomic<int> failWritesOf{-1};

    FT_STATUS getQueueStatus(FT_HANDLE h, DWORD* rx) override
    {
        ++queueStatusCalls;
        countDriverCall();
        const FT_STATUS status = ForwardingBackend::getQueueStatus(h, rx);
        if (status == FT_OK && *rx == 0)
            ++pollsSinceData;
        return status;
    }
    FT_STATUS read(FT_HANDLE h, void* buffer, DWORD count, DWORD* returned) override
    {
        ++readCalls;
        countDriverCall();
        const FT_STATUS status = ForwardingBackend::read(h, buffer, count, returned);
        if (*returned > 0)
            pollsSinceData = 0;
        return status;
    }
    FT_STATUS write(FT_HANDLE h, const void* buffer, DWORD count, DWORD* written) override
    {
        const QByteArray bytes(static_cast<const char*>(buffer), qsizetype(count));
        {
            std::lock_guard lock(m_writesMutex);
            m_writes.push_back(bytes);
        }
        if (count == 1 && failWritesOf.load() == static_cast<unsigned char>(bytes[0]))
            return FT_IO_ERROR;
        return ForwardingBackend::write(h, buffer, count, written);
    }

    // Every write call's bytes, in order.
    std::vector<QByteArray> writes() const
    {
        std::lock_guard lock(m_writesMutex);
        return m_writes;
    }

private:
    void countDriverCall()
    {
        ++driverCalls;
        if (std::this_thread::get_id() == m_owner)
            ++driverCallsHere;
    }
    const std::thread::id m_owner = std::this_thread::get_id();
    mutable std::mutex m_writesMutex;
    std::vector<QByteArray> m_writes;
};

// One simulated counter on the chosen link and the device that talks to it.
class LinkRig {
public:
    explicit LinkRig(Link link, sim::CounterConfig config = {}, double clockScale = 0.01)
        : m_link(link)
    {
        // A real terminal adds scheduling latency: on a busy machine the simulated counter's thread
        // can wait a few hundred milliseconds to run, which a tenfold speed-up already turned into
        // time-outs and cut lines.
        clock::setScale(link == Link::Pty ? std::max(clockScale, 0.25) : clockScale);
        sim::SimBus::instance().unplugAll();
        counter = std::make_shared<sim::SimCounter>(std::move(config));
        if (link == Link::Sim) {
            backend = std::make_shared<CountingBackend>(sim::makeFtBackend());
            entryId = sim::SimBus::instance().plug(counter);
        } else {
            pty = std::make_unique<sim::SimPty>(counter);
            QString error;
            ptyStarted = pty->start(&error);
            EXPECT_TRUE(ptyStarted) << error.toStdString();
            backend = std::make_shared<CountingBackend>(ft::makeTtyBackend(pty->path()));
        }
        ft::setBackend(backend);
    }

    ~LinkRig()
    {
        device.reset();
        // Let queued work run, then delete the device (its worker thread is joined).
        spin(0.05);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (pty)
            pty->stop();
        sim::SimBus::instance().unplugAll();
        clock::setScale(1.0);
    }

    // Makes the device; with `ready`, waits until its information exchange has ended.
    std::shared_ptr<OQUSBDevice> makeDevice(bool ready = true)
    {
        device = ::makeDevice<OQUSBDevice>();
        if (ready) {
            // The exchange ends with the progress at -1, after the counter has left PC mode.
            EXPECT_TRUE(waitUntil([this] { return device->failed() || (device->progress() && device->progress()->completedUnitCount() == -1); }, 20.0));
            EXPECT_FALSE(device->failed()) << device->error().toStdString();
        }
        return device;
    }

    // Pulls the counter out of the bus or hangs up its terminal.
    void unplug()
    {
        if (m_link == Link::Sim)
            sim::SimBus::instance().unplug(entryId);
        else
            counter->unplug();
    }

    // Makes the counter answer `command` with `text`.
    void answer(unsigned char command, const QByteArray& text)
    {
        counter->setCommand(command, [text](sim::SimCounter::Context& c) { c.send(text); });
    }

    std::shared_ptr<sim::SimCounter> counter;
    std::shared_ptr<CountingBackend> backend;
    std::unique_ptr<sim::SimPty> pty;
    std::shared_ptr<OQUSBDevice> device;
    quint64 entryId = 0;
    bool ptyStarted = false;

private:
    Link m_link;
};

} // namespace oq::test
