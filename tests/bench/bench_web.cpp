// The web server's figures: /metrics and the latest readings of 64 counters under 100 concurrent
// keep-alive clients (requests per second, p99 latency), its memory idle and under that load, and
// the year's plot request over a generated year of one reading a minute (made once into
// $TMPDIR/oq-bench-web-year.sqlite3 and kept; the plot reads the per-hour aggregates, whatever the
// raw rate was).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchMain.h"
#include "history/HistoryWriter.h"
#include "web/WebServer.h"

namespace {

using Clock = std::chrono::steady_clock;

double rssMiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    }
    return 0;
}

oq::web::Snapshot fleet(int counters)
{
    oq::web::Snapshot s;
    for (int i = 0; i < counters; ++i) {
        const QString serial = QStringLiteral("OQ-%1").arg(i, 4, 10, QLatin1Char('0'));
        s.counters.push_back({serial, serial, serial, QStringLiteral("reading"), true, 1796000000000 + i, 0.1 + i * 0.01, 1,
            QStringLiteral("Sv"), QStringLiteral("normal")});
    }
    return s;
}

// One keep-alive connection from loopback address `source` (as from a machine of its own, so the
// per-address cap does not apply): each request's latency in µs; false once the server failed it.
bool fetch(quint16 port, const std::string& path, int requests, std::vector<double>& latencies, int source = 1)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl((127u << 24) | (1u << 8) | unsigned(source));
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    std::string buffer;
    char chunk[65536];
    for (int i = 0; ok && i < requests; ++i) {
        const auto start = Clock::now();
        ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
        size_t end = std::string::npos, length = 0;
        while (ok) {
            if ((end = buffer.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = buffer.find("Content-Length: ");
                length = at < end ? std::stoul(buffer.substr(at + 16)) : 0;
                if (buffer.size() >= end + 4 + length)
                    break;
            }
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            ok = n > 0;
            if (ok)
                buffer.append(chunk, size_t(n));
        }
        if (ok) {
            ok = buffer.compare(0, 12, "HTTP/1.1 200") == 0;
            buffer.erase(0, end + 4 + length);
            latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    ::close(fd);
    return ok;
}

void underLoad(benchmark::State& state, const char* path)
{
    oq::web::WebServer server;
    oq::web::ServerOptions o;
    o.port = 0;
    if (const QString why = server.start(o); !why.isEmpty()) {
        state.SkipWithError(qPrintable(why));
        return;
    }
    server.publish(fleet(64));
    const double idle = rssMiB();
    constexpr int kClients = 100, kRequests = 200;
    std::vector<double> all;
    double busy = 0, seconds = 0;
    std::atomic<int> failed{0};
    for (auto _ : state) {
        std::vector<std::vector<double>> latencies(kClients);
        std::vector<std::thread> clients;
        const auto start = Clock::now();
        for (int c = 0; c < kClients; ++c)
            clients.emplace_back([&, c] { failed += !fetch(server.port(), path, kRequests, latencies[size_t(c)], c + 1); });
        for (auto& t : clients)
            t.join();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        busy = std::max(busy, rssMiB());
        for (const auto& l : latencies)
            all.insert(all.end(), l.begin(), l.end());
    }
    std::sort(all.begin(), all.end());
    state.counters["requests_per_s"] = double(all.size()) / seconds;
    state.counters["p99_ms"] = all.empty() ? 0 : all[all.size() * 99 / 100] / 1000;
    state.counters["failed_clients"] = double(failed.load());
    state.counters["rss_idle_MiB"] = idle;
    state.counters["rss_load_MiB"] = busy;
}

void BM_MetricsUnderLoad(benchmark::State& state) { underLoad(state, "/metrics"); }
BENCHMARK(BM_MetricsUnderLoad)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_CountersUnderLoad(benchmark::State& state) { underLoad(state, "/api/counters"); }
BENCHMARK(BM_CountersUnderLoad)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

QString year()
{
    const QString path = QDir::tempPath() + QStringLiteral("/oq-bench-web-year.sqlite3");
    if (!QFile::exists(path + QStringLiteral(".complete"))) {
        QFile::remove(path);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        oq::history::Writer::Options options{path, 90, 1.0, 10.0, [now] { return now; }};
        options.maxPending = 600000; // all of it handed in at once
        oq::history::Writer writer(options);
        for (qint64 t = now - 365 * 86400000LL; t < now; t += 60000)
            writer.record({QStringLiteral("OQ-YEAR"), t, 1, 0.1 + 0.01 * double((t / 60000) % 11), QStringLiteral("Sv"), 0});
        writer.flush(600);
        QFile(path + QStringLiteral(".complete")).open(QIODevice::WriteOnly);
    }
    return path;
}

// The year's plot as the page asks for it, through HTTP.
void BM_YearPlotRequest(benchmark::State& state)
{
    oq::web::WebServer server;
    oq::web::ServerOptions o;
    o.port = 0;
    o.historyPath = year();
    server.start(o);
    std::vector<double> latencies;
    for (auto _ : state) {
        if (!fetch(server.port(), "/api/history?counter=OQ-YEAR&range=year&width=390", 1, latencies))
            state.SkipWithError("the plot request failed");
    }
}
BENCHMARK(BM_YearPlotRequest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

} // namespace

int main(int argc, char** argv) { return oq::bench::runWithApplication<QCoreApplication>(argc, argv); }
