// oq-online as the user runs it, measured from outside over a window (60 s by default,
// OQ_BENCH_WINDOW): processor time per wall-clock time while idle (no counter attached) and while
// streaming (--simulate: the demo counter, served in the same process, one value a second), its
// resident memory at the start and end of the window, and its peak.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>

#include "BenchMain.h"

#ifndef OQ_ONLINE_PATH
#define OQ_ONLINE_PATH "oq-online"
#endif

namespace {

struct Sample {
    double cpuSeconds = 0;
    double rssMiB = 0;
    double peakMiB = 0;
    std::chrono::steady_clock::time_point at;
};

double statusKiB(const QByteArray& status, const char* field)
{
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toDouble();
    }
    return 0;
}

bool sample(qint64 pid, Sample& s)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!stat.open(QIODevice::ReadOnly) || !status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces: state is the 3rd field, utime the 14th.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return false;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    s.cpuSeconds = (fields[11].toDouble() + fields[12].toDouble()) / ticks;
    const QByteArray st = status.readAll();
    s.rssMiB = statusKiB(st, "VmRSS:") / 1024.0;
    s.peakMiB = statusKiB(st, "VmHWM:") / 1024.0;
    s.at = std::chrono::steady_clock::now();
    return true;
}

double envSeconds(const char* name, double fallback)
{
    bool ok = false;
    const double v = qEnvironmentVariable(name).toDouble(&ok);
    return ok && v > 0 ? v : fallback;
}

void measure(benchmark::State& state, const QStringList& arguments)
{
    const double warmUp = 10;
    const double window = envSeconds("OQ_BENCH_WINDOW", 60);
    for (auto _ : state) {
        QTemporaryDir home;
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // Settings and logs of the run stay out of the user's home.
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_STATE_HOME"), home.filePath(QStringLiteral("state")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("OQ_ONLINE_SEPARATE_INSTANCE"), QStringLiteral("1")); // beside a running one
        app.setProcessEnvironment(env);
        app.setStandardOutputFile(QProcess::nullDevice());
        app.setStandardErrorFile(QProcess::nullDevice());
        app.start(QStringLiteral(OQ_ONLINE_PATH), arguments);
        if (!app.waitForStarted(10000)) {
            state.SkipWithError("oq-online did not start");
            return;
        }
        QThread::msleep(qulonglong(warmUp * 1000));
        Sample first, last;
        const bool ok = sample(app.processId(), first);
        QThread::msleep(qulonglong(window * 1000));
        const bool ok2 = sample(app.processId(), last);
        app.terminate();
        if (!app.waitForFinished(15000))
            app.kill();
        if (!ok || !ok2) {
            state.SkipWithError("oq-online ended early");
            return;
        }
        const double wall = std::chrono::duration<double>(last.at - first.at).count();
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = 100.0 * (last.cpuSeconds - first.cpuSeconds) / wall;
        state.counters["rss_start_MiB"] = first.rssMiB;
        state.counters["rss_end_MiB"] = last.rssMiB;
        state.counters["peak_rss_MiB"] = last.peakMiB;
    }
}

void BM_OnlineIdle(benchmark::State& state) { measure(state, {}); }
void BM_OnlineStreaming(benchmark::State& state) { measure(state, {QStringLiteral("--simulate")}); }

} // namespace

BENCHMARK(BM_OnlineIdle)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_OnlineStreaming)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) { return oq::bench::runWithApplication<QCoreApplication>(argc, argv); }
