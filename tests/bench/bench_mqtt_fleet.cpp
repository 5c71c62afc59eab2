// A fleet on one machine: 200 publishers (one per simulated station, one reading a second each)
// into one local mosquitto for 60 s, in this one process. Reports readings lost (must be 0), the
// latency from handing a reading in to a subscriber receiving it, and CPU time and memory per
// publisher (their "OQMqtt" threads, and the process's resident memory grown by them).
//   OQ_BENCH_MQTT_STATIONS (default 200), OQ_BENCH_MQTT_SECONDS (default 60)
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>
#include <unistd.h>

#include "BenchBroker.h"
#include "BenchMain.h"
#include "ProcessStats.h"
#include "mqtt/Publisher.h"

namespace {

using oq::bench::cpuSeconds;
using oq::bench::residentMiB;
using oq::bench::threadsCpuSeconds;

int setting(const char* name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

double percentile(std::vector<qint64> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return double(v[std::min(v.size() - 1, std::size_t(p * double(v.size())))]);
}

void BM_MqttFleet(benchmark::State& state)
{
    const int stations = setting("OQ_BENCH_MQTT_STATIONS", 200);
    const int seconds = setting("OQ_BENCH_MQTT_SECONDS", 60);
    for (auto _ : state) {
        QTemporaryDir dir;
        oq::bench::BenchBroker mosquitto(dir.path());
        if (!mosquitto.start(state))
            return;
        const oq::test::TestBroker& broker = mosquitto.broker;
        const oq::test::Subscriber& subscriber = *mosquitto.subscriber;

        const double rssBefore = residentMiB();
        std::vector<std::unique_ptr<oq::mqtt::Publisher>> fleet;
        for (int i = 0; i < stations; ++i) {
            oq::mqtt::PublisherOptions o;
            o.broker = *oq::mqtt::parseBroker(broker.url());
            o.station = {QStringLiteral("F%1").arg(i, 3, 10, QLatin1Char('0')), QStringLiteral("6.10")};
            fleet.push_back(std::make_unique<oq::mqtt::Publisher>(o));
        }
        const auto connected = [&] {
            return std::all_of(fleet.begin(), fleet.end(), [](auto& p) { return p->status().state == oq::mqtt::State::Connected; });
        };
        for (int i = 0; i < 1000 && !connected(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const double cpuBefore = threadsCpuSeconds("OQMqtt");
        const double brokerBefore = cpuSeconds(QStringLiteral("/proc/%1/stat").arg(broker.pid()));

        // Each station reads once a second, the stations spread evenly over the second.
        const auto start = std::chrono::steady_clock::now();
        const auto step = std::chrono::microseconds(1'000'000 / stations);
        for (int s = 0; s < seconds; ++s) {
            for (int i = 0; i < stations; ++i) {
                std::this_thread::sleep_until(start + std::chrono::seconds(s) + step * i);
                const double value = 0.1 + 0.02 * std::sin(s * 0.1 + i);
                fleet[std::size_t(i)]->publish({fleet[std::size_t(i)]->options().station.serial, QDateTime::currentMSecsSinceEpoch(),
                    1, value, QStringLiteral("Sv"), 0});
            }
        }
        const double cpu = threadsCpuSeconds("OQMqtt") - cpuBefore;
        const double brokerCpu = cpuSeconds(QStringLiteral("/proc/%1/stat").arg(broker.pid())) - brokerBefore;
        const double rss = residentMiB() - rssBefore;
        for (auto& p : fleet)
            p->flush(30);
        const std::size_t expected = std::size_t(stations) * std::size_t(seconds);
        for (int i = 0; i < 3000; ++i) {
            std::size_t states = 0;
            for (const auto& m : subscriber.messages())
                states += m.topic.endsWith(QLatin1String("/state"));
            if (states >= expected)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fleet.clear();

        std::map<std::pair<QString, QString>, qint64> firstArrival;
        for (const auto& m : subscriber.messages()) {
            if (!m.topic.endsWith(QLatin1String("/state")))
                continue;
            const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
            const QString time = o.value(QStringLiteral("time")).toString();
            const qint64 sent = QDateTime::fromString(time, Qt::ISODateWithMs).toMSecsSinceEpoch();
            firstArrival.emplace(std::pair{m.topic, time}, m.receivedMs - sent);
        }
        std::vector<qint64> latencies;
        for (const auto& [key, latency] : firstArrival)
            latencies.push_back(latency);
        state.counters["stations"] = stations;
        state.counters["readings"] = double(expected);
        state.counters["lost"] = double(expected) - double(firstArrival.size());
        state.counters["latency_p50_ms"] = percentile(latencies, 0.50);
        state.counters["latency_p95_ms"] = percentile(latencies, 0.95);
        state.counters["latency_p99_ms"] = percentile(latencies, 0.99);
        state.counters["latency_max_ms"] = percentile(latencies, 1.0);
        state.counters["cpu_per_station_pct"] = 100.0 * cpu / seconds / stations;
        state.counters["broker_cpu_pct"] = 100.0 * brokerCpu / seconds;
        state.counters["rss_per_station_KiB"] = rss * 1024.0 / stations;
    }
}
BENCHMARK(BM_MqttFleet)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) { return oq::bench::runWithApplication<QCoreApplication>(argc, argv); }
