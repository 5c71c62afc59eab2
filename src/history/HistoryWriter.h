#pragma once
// Records readings and protocol intervals into the history database on a thread of its own. The
// caller hands them in and never waits: they are written together at most once a second (modelled
// time, the time seam), so a crash loses at most the readings of the last second.
//
// A damaged file is moved aside at opening and a new one started, with one warning. A write that
// fails (disk full, file gone read-only) pauses the recording with one warning; what was handed in
// meanwhile waits in memory (the newest two days at most) and is written when a retry succeeds.
// What the database refuses for its content (a constraint, a value out of range) is left out,
// counted and logged, and the rest of its batch is written: it never holds up what follows.
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "history/HistoryTypes.h"
#include "platform/RepeatedFailure.h"

namespace oq::history {

class Database;

class Writer {
public:
    // A failure to write, or the end of one.
    struct Trouble {
        bool ongoing = false; // false: writing works again
        QString why;
        qint64 notStored = 0; // readings handed in and not in the file (while ongoing), or lost by it (at its end)
    };
    // Called on the writer's thread when writing first fails, then at most once a minute
    // (modelled) while it goes on, and once when it works again.
    using TroubleCallback = std::function<void(const Trouble&)>;

    struct Options {
        QString path;                   // empty: defaultPath()
        int retentionDays = 90;         // raw readings older than this are dropped; aggregates stay
        double batchSeconds = 1.0;      // modelled seconds between transactions at the most
        double retrySeconds = 10.0;     // modelled seconds after a failed write or opening
        std::function<qint64()> nowMs;  // UTC milliseconds; empty: the system clock
        qint64 maxPageCount = 0;        // the most pages the file may grow to; 0: no limit
        qsizetype maxPending = 2 * 86400; // readings kept while paused; the oldest go first
        TroubleCallback onTrouble;
    };
    // Called on the writer's thread once the intervals are committed: how many were new, of how
    // many. Not called when they could not be written before the writer ended.
    using IntervalsStored = std::function<void(int stored, int total)>;

    explicit Writer(Options options);
    // Writes what was handed in (one last attempt), then ends the thread.
    ~Writer();
    // The same, leaving the counts readable: notStored() is then final. Nothing is taken after it.
    void stop();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void record(Reading reading);
    void storeIntervals(const QString& serial, std::vector<Interval> intervals, IntervalsStored done = {});

    // Waits until everything handed in so far is committed, at most `timeoutSeconds` of real time.
    // False when it is not (the recording is paused, or the time ran out).
    bool flush(double timeoutSeconds = 30.0);

    bool paused() const;
    // Why the recording is paused; empty while it runs.
    QString problem() const;
    // Where a damaged file was moved at opening; empty when none was.
    QString movedAside() const;
    QString path() const { return m_options.path; }
    // Readings dropped because the pause outlasted what memory keeps.
    qint64 dropped() const;
    // Readings and intervals the database refused for their content, and why the last were.
    qint64 refused() const;
    QString lastRefusal() const;
    // Readings handed in that are not committed (pending, dropped or refused); exact after flush().
    qint64 notStored() const;

    // Limits the file's size from the next write on (0: no limit).
    void setMaxPageCount(qint64 pages);

private:
    struct IntervalJob {
        QString serial;
        std::vector<Interval> intervals;
        IntervalsStored done;
    };
    struct Batch {
        std::vector<Reading> readings;
        std::vector<IntervalJob> jobs;
        quint64 through = 0; // the count of hand-ins this batch completes
    };

    void run();
    // True when committed; false with `why` set.
    // `itemByItem`: each reading and protocol in a savepoint of its own, so that what the database
    // refuses for its content is left out rather than failing the batch.
    bool write(Batch& batch, QString& why, bool& damaged, bool& refusal, bool itemByItem);
    bool writeOnce(Batch& batch, QString& why, bool& damaged);
    bool ensureOpen(QString& why);
    void prune(qint64 now);
    void setPaused(bool paused, const QString& why);
    qint64 now() const;

    Options m_options;
    std::unique_ptr<Database> m_db;
    std::vector<std::pair<QString, qint64>> m_counterIds;
    qint64 m_nextPrune = 0;
    qint64 m_appliedPageLimit = -1;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_committed;
    std::deque<Reading> m_readings;
    std::vector<IntervalJob> m_jobs;
    quint64 m_handedIn = 0;
    quint64 m_done = 0;
    quint64 m_started = 0;  // write attempts begun
    quint64 m_finished = 0; // the last attempt ended
    bool m_stop = false;
    bool m_flushing = false;
    bool m_paused = false;
    QString m_problem;
    QString m_movedAside;
    QString m_lastRefusal;
    qint64 m_dropped = 0;
    qint64 m_refused = 0;
    qint64 m_batchRefused = 0;
    qint64 m_readingsIn = 0;
    qint64 m_readingsStored = 0;
    qint64 m_droppedSaid = 0;
    qint64 m_pageLimit = 0;
    RepeatedFailure m_trouble; // the writer's thread's
    std::thread m_thread;
};

} // namespace oq::history
