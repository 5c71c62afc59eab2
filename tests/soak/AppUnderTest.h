#pragma once
// The whole application in one process on the simulated bus, and the process's own resource use.
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>

#include "app/SimulatedApplication.h"
#include "common/TestUtil.h"
#include "logging/LGLog.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"

namespace oq::soak {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// What the process holds: open descriptors, threads, device worker threads, resident memory.
struct Resources {
    int fds = 0;
    int threads = 0;
    int deviceThreads = 0;
    double rssMiB = 0;

    static Resources now()
    {
        malloc_trim(0); // freed memory back to the system, so the resident size means what is in use
        Resources r;
        r.fds = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
        r.threads = int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
        r.deviceThreads = countDeviceThreads();
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (statm.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> fields = statm.readAll().split(' ');
            if (fields.size() > 1)
                r.rssMiB = double(fields[1].toLongLong()) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
        }
        return r;
    }

    // What the open descriptors point at, so a leak names itself.
    static QString openFiles()
    {
        QStringList targets;
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            targets << fd + QLatin1Char('=') + QFileInfo(fds.filePath(fd)).symLinkTarget();
        return targets.join(QLatin1Char(' '));
    }

    // Worker threads of device objects ("OQDevice").
    static int countDeviceThreads()
    {
        int n = 0;
        for (const QString& t : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(t));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "OQDevice")
                ++n;
        }
        return n;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Resources& r)
{
    return os << r.fds << " descriptors, " << r.threads << " threads (" << r.deviceThreads << " device), " << r.rssMiB
              << " MiB resident";
}

// Longest wait of the main event loop between two turns, in real seconds.
class LoopWatch {
public:
    LoopWatch()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start();
        m_last = Clock::now();
    }
    double worstGap() const { return m_worst; }
    void reset()
    {
        m_worst = 0;
        m_last = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    void tick()
    {
        const auto t = Clock::now();
        m_worst = std::max(m_worst, std::chrono::duration<double>(t - m_last).count());
        m_last = t;
    }
    QTimer m_timer;
    Clock::time_point m_last;
    double m_worst = 0;
};

// The simulated application with the waits the soak tests use.
class AppUnderTest {
public:
    // Settings and logs go to `folder`, or to a folder of its own.
    explicit AppUnderTest(double scale, const QString& folder = {})
        : m_folder(folder.isEmpty() ? m_dir.path() : folder)
        , m_app(m_folder, scale)
        , controller(m_app.controller)
        , window(m_app.window)
    {
        window->resize(480, 240);
    }

    QString shownText() const { return window->valueLabel()->text(); }
    // False leaves the counters plugged in when the application goes, as for a restart.
    void setUnplugOnExit(bool unplug) { m_app.unplugOnExit = unplug; }
    bool showsValue() const
    {
        const QString t = shownText();
        return !t.isEmpty() && t != QLatin1String("---");
    }
    // Real seconds for `modelled` seconds, with room for a loaded machine.
    static double realFor(double modelled) { return std::max(2.0, modelled * clock::scale() * 4); }
    bool waitModelled(const std::function<bool()>& done, double modelled) { return runUntil(done, realFor(modelled)); }
    void spinModelled(double modelled) { runUntil([] { return false; }, modelled * clock::scale()); }

    // Runs a real event loop, as the application does, until `done` holds or `realSeconds` pass.
    // Unlike bare processEvents() calls, it deletes objects let go with deleteLater from other
    // threads (dropped devices), so memory is measured as the application holds it.
    static bool runUntil(const std::function<bool()>& done, double realSeconds)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer poll;
        const QDeadlineTimer deadline(qint64(realSeconds * 1000));
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done() || deadline.hasExpired())
                loop.quit();
        });
        poll.start(1);
        loop.exec();
        return done();
    }
    // The last lines of the application and device logs, for a failure message.
    QString logTail(int lines = 30) const
    {
        LGLog::flushLog();
        QString tail;
        for (const QFileInfo& f : QDir(m_folder + QStringLiteral("/Logs")).entryInfoList(QDir::Files, QDir::Time)) {
            QFile file(f.filePath());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QStringList all = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
            tail += QStringLiteral("== %1\n").arg(f.fileName()) + all.mid(std::max<qsizetype>(0, all.size() - lines)).join(QLatin1Char('\n'));
        }
        return tail;
    }

private:
    QTemporaryDir m_dir;
    QString m_folder;
    SimulatedApplication m_app;

public:
    std::unique_ptr<AppDelegate>& controller;
    std::unique_ptr<MainWindow>& window;
};

} // namespace oq::soak
