// The full protocol download of the largest dump from a simulated counter at 460800 baud, over
// the modelled real line (a pseudo-terminal with the bridge's FIFO and the kernel's throttling)
// and the tty backend, against the line-rate floor: characters of the "b" answer × 10 bits ÷ 460800.
//
//   dump_ratio      from the "b" command to the last dump byte read, over the floor
//   transfer_ratio  the whole transfer (PC mode, c/h/s answers with their time-outs, the second
//                   of silence that ends the dump), over the floor
//   lost            characters the line dropped (0, or the download is worthless)
//
// Runs at real time: the terminal and its buffers are real.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <atomic>

#include "BenchMain.h"
#include "common/TestUtil.h"
#include "device/ft/FtBackend.h"
#include "sim/SimFtBackend.h"
#include "device/OQUSBDevice.h"
#include "device/link_forwarding_backend.h"
#include "parser/OQProtocol.h"
#include "platform/Clock.h"
#include "sim/SimCounter.h"
#include "sim/SimPty.h"
#include "sim/dump/DumpWriter.h"

namespace {

// Notes when "b" was sent and when the last bytes came.
class TimingBackend final : public oq::test::ForwardingBackend {
public:
    using ForwardingBackend::ForwardingBackend;
    std::atomic<double> dumpRequested{-1};
    std::atomic<double> lastBytes{-1};

    FT_STATUS read(FT_HANDLE h, void* buffer, DWORD count, DWORD* returned) override
    {
        const FT_STATUS status = ForwardingBackend::read(h, buffer, count, returned);
        if (*returned > 0)
            lastBytes = oq::clock::now();
        return status;
    }
    FT_STATUS write(FT_HANDLE h, const void* buffer, DWORD count, DWORD* written) override
    {
        if (count == 1 && *static_cast<const char*>(buffer) == 'b')
            dumpRequested = oq::clock::now();
        return ForwardingBackend::write(h, buffer, count, written);
    }
};

// The largest memory a counter holds: FFFF bytes of one-minute counts.
oq::sim::WrittenDump largestDump()
{
    oq::sim::DumpSpec spec;
    spec.events = {oq::sim::DumpEvent::interval(60), oq::sim::DumpEvent::timeMark({2024, 1, 1, 0, 0, 0})};
    while (spec.events.size() < 32764)
        spec.events.push_back(oq::sim::DumpEvent::count(uint64_t(10 + spec.events.size() % 13)));
    QString error;
    auto dump = oq::sim::writeDump(spec, &error);
    if (!dump)
        qFatal("dump writer: %s", qPrintable(error));
    return *dump;
}

void BM_FullProtocolDownload(benchmark::State& state)
{
    const oq::sim::WrittenDump dump = largestDump();
    const double floor = double(dump.protocolAnswer.size()) * 10.0 / 460800.0;
    for (auto _ : state) {
        oq::sim::CounterConfig config;
        config.deviceDump = QString::fromLatin1(dump.deviceDump);
        auto counter = std::make_shared<oq::sim::SimCounter>(config);
        oq::sim::SimPty pty(counter);
        if (!pty.start()) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        auto backend = std::make_shared<TimingBackend>(oq::ft::makeTtyBackend(pty.path()));
        oq::ft::setBackend(backend);

        auto device = makeDevice<OQUSBDevice>();
        if (!oq::test::waitUntil([&] { return device->failed() || (device->progress() && device->progress()->completedUnitCount() == -1); }, 60) || device->failed()) {
            state.SkipWithError("the counter did not become ready");
            return;
        }
        bool done = false;
        std::shared_ptr<OQProtocol> protocol;
        const double start = oq::clock::now();
        const auto realStart = std::chrono::steady_clock::now();
        device->getProtocol([&](std::shared_ptr<OQProtocol> p, std::optional<oq::ErrorRecord>) {
            protocol = std::move(p);
            done = true;
        });
        if (!oq::test::waitUntil([&] { return done; }, 600) || !protocol) {
            state.SkipWithError("the transfer failed");
            return;
        }
        const double end = oq::clock::now();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count());
        state.counters["chars"] = double(dump.protocolAnswer.size());
        state.counters["floor_s"] = floor;
        state.counters["dump_s"] = backend->lastBytes - backend->dumpRequested;
        state.counters["dump_ratio"] = (backend->lastBytes - backend->dumpRequested) / floor;
        state.counters["transfer_ratio"] = (end - start) / floor;
        state.counters["lost"] = double(pty.lostBytes());
        device.reset();
        oq::test::waitUntil([] { return false; }, 0.2);
        oq::sim::useFtBackend(); // closes the terminal's handle before the terminal goes
    }
}
BENCHMARK(BM_FullProtocolDownload)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    oq::clock::setScale(1.0);
    return oq::bench::runWithApplication<QCoreApplication>(argc, argv);
}
