// Many counters at once in one process, as the window records them: N simulated counters on the
// simulated USB bus, each read by its own OQUSBDevice bound to its bridge by bus location, their
// readings into one history file and one local mosquitto through the recording. Reports processor
// time and resident memory per counter, and readings lost (must be 0): each counter sends the
// numbers 1, 2, 3, ... (as 0.001 μSv/h steps), so a gap in what the devices read is a line lost on
// the way in, and every reading the devices handed on must be a row of the history and a message
// a subscriber of the broker received.
//   OQ_BENCH_COUNTERS_SECONDS (default 30): modelled seconds of streaming per run
//   OQ_CLOCK_SCALE (default 1, real time): below 1 the counters run that much faster
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <sys/resource.h>

#include "BenchBroker.h"
#include "BenchMain.h"
#include "ProcessStats.h"
#include "common/TestUtil.h"
#include "device/OQUSBDevice.h"
#include "history/HistoryReader.h"
#include "parser/OQDeviceInfo.h"
#include "platform/Clock.h"
#include "recording/Recording.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"
#include "sim/SimFtBackend.h"

namespace {

double g_scale = 1.0;

double processCpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Numbers for `lines` value lines and no more: each counter keeps a copy of its script, which
// would count as its memory.
std::shared_ptr<oq::sim::SimCounter> numberedCounter(int index, int lines)
{
    oq::sim::CounterConfig c;
    c.version = QStringLiteral("7.14Lb07");
    c.serial = QString::number(30000 + index);
    c.profile.kind = oq::sim::ProfileSpec::Script;
    for (int k = 1; k <= lines; ++k)
        c.profile.script << QString::number(k * 0.001, 'f', 3);
    c.format.prefix = oq::sim::Prefix::Micro;
    c.format.decimals = 3;
    return std::make_shared<oq::sim::SimCounter>(c);
}

qint64 sequenceNumber(double microSievertPerHour) { return std::llround(microSievertPerHour * 1000); }

void BM_ManyCounters(benchmark::State& state)
{
    const int n = int(state.range(0));
    bool ok = false;
    const int seconds = std::max(1, qEnvironmentVariableIntValue("OQ_BENCH_COUNTERS_SECONDS", &ok));
    const int modelled = ok ? seconds : 30;
    for (auto _ : state) {
        QTemporaryDir dir;
        oq::bench::BenchBroker mosquitto(dir.path());
        if (!mosquitto.start(state))
            return;
        const oq::test::TestBroker& broker = mosquitto.broker;
        const oq::test::Subscriber& subscriber = *mosquitto.subscriber;

        oq::recording::Options options;
        options.historyPath = dir.filePath(QStringLiteral("history.sqlite"));
        options.mqtt.url = broker.url();
        options.mqtt.discovery = false;
        auto recording = std::make_unique<oq::recording::Recording>(options);
        recording->history(); // opened now: the shared writer is no counter's cost
        const double rssBefore = oq::bench::residentMiB();

        std::vector<quint64> entries;
        std::vector<std::shared_ptr<OQUSBDevice>> devices;
        // What each counter's device handed on: its sequence numbers, and the readings by time.
        std::map<QString, std::vector<qint64>> read;
        std::map<QString, std::set<qint64>> handedOn;
        std::map<QString, std::unique_ptr<oq::recording::Recorder>> recorders; // each counter's, as its object holds it
        QObject guard;
        for (int i = 0; i < n; ++i) {
            auto counter = numberedCounter(i, 2 * modelled + 60);
            const QString serial = counter->serialNumber();
            entries.push_back(oq::sim::SimBus::instance().plug(counter, {}, 0, serial));
            auto device = makeDevice<OQUSBDevice>(std::optional<DWORD>(oq::sim::SimBus::instance().entry(entries.back())->locationId));
            OQUSBDevice* d = device.get();
            QObject::connect(d, &OQDevice::readingArrived, &guard, [&](const oq::Reading& r) {
                read[r.serial].push_back(sequenceNumber(r.value));
                handedOn[r.serial].insert(r.timeMs);
                auto& recorder = recorders[r.serial];
                if (!recorder)
                    recorder = recording->recorder({r.serial, r.firmware});
                recorder->record(r);
            });
            devices.push_back(std::move(device));
        }
        const auto allIdle = [&] {
            return std::all_of(devices.begin(), devices.end(), [](auto& d) { return d->failed() || !d->busy(); });
        };
        if (!oq::test::waitUntil(allIdle, 60 * g_scale + 30)
            || std::any_of(devices.begin(), devices.end(), [](auto& d) { return d->failed(); })) {
            state.SkipWithError("not every counter was read");
            return;
        }

        const double cpuBefore = processCpuSeconds();
        const double brokerBefore = oq::bench::cpuSeconds(QStringLiteral("/proc/%1/stat").arg(broker.pid()));
        const auto wallStart = std::chrono::steady_clock::now();
        for (auto& d : devices)
            d->startRateMode();
        {
            // Idle in the event loop, as a program would; a polling wait would cost its own CPU.
            QEventLoop loop;
            QTimer::singleShot(int(modelled * g_scale * 1000), &loop, &QEventLoop::quit);
            loop.exec();
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const double cpu = processCpuSeconds() - cpuBefore;
        const double brokerCpu = oq::bench::cpuSeconds(QStringLiteral("/proc/%1/stat").arg(broker.pid())) - brokerBefore;
        const double rss = oq::bench::residentMiB() - rssBefore;

        int stopped = 0;
        for (auto& d : devices)
            d->stopOnlineMode([&] { ++stopped; });
        oq::test::waitUntil([&] { return stopped == n; }, 30);
        const oq::recording::Lost lost = recording->finish(30);
        recording.reset();
        devices.clear();
        for (const quint64 e : entries)
            oq::sim::SimBus::instance().unplug(e);

        const auto states = [&] {
            const auto messages = subscriber.messages();
            return qint64(std::count_if(messages.begin(), messages.end(),
                [](const auto& m) { return m.topic.endsWith(QLatin1String("/state")); }));
        };
        qint64 handed = 0;
        for (const auto& [serial, times] : handedOn)
            handed += qint64(times.size());
        oq::test::waitUntil([&] { return states() >= handed; }, 30);

        // Lost on the way in: gaps in each counter's numbers, which start at 1 with the stream.
        qint64 readings = 0;
        qint64 gaps = 0;
        for (const auto& [serial, numbers] : read) {
            readings += qint64(numbers.size());
            gaps += numbers.front() - 1;
            for (std::size_t i = 1; i < numbers.size(); ++i)
                gaps += std::max<qint64>(0, numbers[i] - numbers[i - 1] - 1) + (numbers[i] <= numbers[i - 1] ? 1 : 0);
        }
        gaps += qint64(n) - qint64(read.size());

        // Lost on the way out: readings handed on that the history or the subscriber lacks.
        QString problem;
        const auto reader = oq::history::Reader::open(options.historyPath, &problem);
        qint64 notStored = reader ? 0 : readings;
        std::map<QString, std::set<qint64>> delivered;
        for (const auto& m : subscriber.messages()) {
            if (!m.topic.endsWith(QLatin1String("/state")))
                continue;
            const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
            delivered[o.value(QStringLiteral("serial")).toString()].insert(
                QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs).toMSecsSinceEpoch());
        }
        qint64 notDelivered = 0;
        for (const auto& [serial, times] : handedOn) {
            std::set<qint64> stored;
            if (reader)
                for (const auto& r : reader->readings(serial, 0, std::numeric_limits<qint64>::max()))
                    stored.insert(r.timeMs);
            for (const qint64 t : times) {
                notStored += !stored.count(t);
                notDelivered += !delivered[serial].count(t);
            }
        }
        const double modelledSeconds = wall / g_scale;
        state.counters["counters"] = n;
        state.counters["readings"] = double(readings);
        state.counters["readings_per_counter_s"] = double(readings) / n / modelledSeconds;
        state.counters["lost_in"] = double(gaps);
        state.counters["not_stored"] = double(notStored + lost.notStored);
        state.counters["not_delivered"] = double(notDelivered);
        // The whole process: devices, simulated counters, history writer, publishers, event loop.
        state.counters["cpu_per_counter_pct"] = 100.0 * cpu / wall / n;
        state.counters["broker_cpu_pct"] = 100.0 * brokerCpu / wall;
        state.counters["rss_per_counter_KiB"] = rss * 1024.0 / n;
        if (!problem.isEmpty())
            state.SkipWithError(qPrintable(problem));
    }
}
BENCHMARK(BM_ManyCounters)->Arg(1)->Arg(8)->Arg(64)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    g_scale = oq::bench::clockScaleFromEnvironment(1.0);
    oq::clock::setScale(g_scale);
    oq::sim::useFtBackend();
    return oq::bench::runWithApplication<QCoreApplication>(argc, argv);
}
