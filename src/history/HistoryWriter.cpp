#include "history/HistoryWriter.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <chrono>
#include <cmath>
#include <map>
#include <pthread.h>
#include <tuple>

#include "history/HistoryDatabase.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/MoveAside.h"

namespace oq::history {
namespace {

constexpr qint64 kDayMs = 24LL * 3600 * 1000;
constexpr qint64 kPruneEveryMs = 3600LL * 1000;
// How far a reading may be moved to a free millisecond.
constexpr int kMaxNudgeMs = 1000;

struct Aggregate {
    qint64 count = 0;
    double min = 0, sum = 0, max = 0;
    void add(double v)
    {
        min = count ? std::min(min, v) : v;
        max = count ? std::max(max, v) : v;
        sum += v;
        ++count;
    }
};

using SteadyClock = std::chrono::steady_clock;

} // namespace

Writer::Writer(Options options)
    : m_options(std::move(options))
{
    if (m_options.path.isEmpty())
        m_options.path = defaultPath();
    m_pageLimit = m_options.maxPageCount;
    m_thread = std::thread([this] { run(); });
}

Writer::~Writer() { stop(); }

void Writer::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

qint64 Writer::now() const { return m_options.nowMs ? m_options.nowMs() : QDateTime::currentMSecsSinceEpoch(); }

void Writer::record(Reading reading)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stop)
            return;
        m_readings.push_back(std::move(reading));
        ++m_handedIn;
        ++m_readingsIn;
        if (qsizetype(m_readings.size()) > m_options.maxPending) {
            m_readings.pop_front();
            ++m_dropped;
        }
    }
    m_wake.notify_one();
}

void Writer::storeIntervals(const QString& serial, std::vector<Interval> intervals, IntervalsStored done)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back({serial, std::move(intervals), std::move(done)});
        ++m_handedIn;
    }
    m_wake.notify_one();
}

bool Writer::flush(double timeoutSeconds)
{
    std::unique_lock lock(m_mutex);
    const quint64 target = m_handedIn;
    const quint64 started = m_started;
    m_flushing = true;
    m_wake.notify_one();
    // A paused writer tries once more at once; the answer of an attempt begun after this call is
    // the flush's.
    const bool done = m_committed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
        [&] { return m_done >= target || (m_paused && m_finished > started); });
    m_flushing = false;
    return done && m_done >= target;
}

bool Writer::paused() const
{
    std::lock_guard lock(m_mutex);
    return m_paused;
}

QString Writer::problem() const
{
    std::lock_guard lock(m_mutex);
    return m_problem;
}

QString Writer::movedAside() const
{
    std::lock_guard lock(m_mutex);
    return m_movedAside;
}

qint64 Writer::dropped() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

qint64 Writer::refused() const
{
    std::lock_guard lock(m_mutex);
    return m_refused;
}

QString Writer::lastRefusal() const
{
    std::lock_guard lock(m_mutex);
    return m_lastRefusal;
}

qint64 Writer::notStored() const
{
    std::lock_guard lock(m_mutex);
    return m_readingsIn - m_readingsStored;
}

void Writer::setMaxPageCount(qint64 pages)
{
    {
        std::lock_guard lock(m_mutex);
        m_pageLimit = pages;
    }
    m_wake.notify_one();
}

void Writer::setPaused(bool paused, const QString& why)
{
    bool changed = false;
    qint64 lost = 0, waiting = 0;
    {
        std::lock_guard lock(m_mutex);
        changed = m_paused != paused;
        m_paused = paused;
        m_problem = paused ? why : QString();
        if (changed && !paused) {
            lost = m_dropped - m_droppedSaid;
            m_droppedSaid = m_dropped;
        }
        waiting = m_readingsIn - m_readingsStored;
    }
    // A pause may last for weeks under the recording service: said while it lasts, not only at the end.
    if (paused && m_trouble.happened(clock::now()) > 0) {
        if (changed)
            LGLogWarn("History recording paused, retrying by itself: %@", why);
        else
            LGLogWarn("History recording still paused (%@); %lld readings not stored yet", why, static_cast<long long>(waiting));
        if (m_options.onTrouble)
            m_options.onTrouble({true, why, waiting});
    } else if (!paused && m_trouble.ended()) {
        LGLogInfo("History recording resumed into %@; %lld readings of the pause did not fit in memory", m_options.path,
            static_cast<long long>(lost));
        if (m_options.onTrouble)
            m_options.onTrouble({false, {}, lost});
    }
    m_committed.notify_all();
}

bool Writer::ensureOpen(QString& why)
{
    if (m_db)
        return true;
    QString aside;
    m_db = Database::open(m_options.path, Access::Write, &why, &aside);
    m_counterIds.clear();
    m_appliedPageLimit = -1;
    m_nextPrune = 0;
    if (!aside.isEmpty()) {
        std::lock_guard lock(m_mutex);
        m_movedAside = aside;
    }
    return m_db != nullptr;
}

void Writer::run()
{
    pthread_setname_np(pthread_self(), "OQHistory");
    auto nextWrite = SteadyClock::now();
    {
        QString why;
        if (!ensureOpen(why)) {
            setPaused(true, why);
            nextWrite += std::chrono::duration_cast<SteadyClock::duration>(clock::scaled(m_options.retrySeconds));
        }
    }
    std::unique_lock lock(m_mutex);
    while (true) {
        const bool pending = !m_readings.empty() || !m_jobs.empty();
        if (!pending) {
            if (m_stop)
                break;
            m_wake.wait(lock, [&] { return m_stop || !m_readings.empty() || !m_jobs.empty(); });
            continue;
        }
        if (!m_stop && !m_flushing && SteadyClock::now() < nextWrite) {
            m_wake.wait_until(lock, nextWrite, [&] { return m_stop || m_flushing; });
            continue;
        }
        Batch batch;
        batch.readings.assign(std::make_move_iterator(m_readings.begin()), std::make_move_iterator(m_readings.end()));
        m_readings.clear();
        batch.jobs.swap(m_jobs);
        batch.through = m_handedIn;
        const quint64 attempt = ++m_started;
        const bool last = m_stop;
        lock.unlock();

        QString why;
        bool damaged = false;
        bool ok = ensureOpen(why) && writeOnce(batch, why, damaged);
        if (!ok && damaged) {
            // Damage that opening did not see: kept aside like a file that does not open, and
            // the batch goes into a new one.
            m_db.reset();
            const QString aside = moveAside(m_options.path, "history", {QStringLiteral("-wal"), QStringLiteral("-shm")});
            LGLogWarn("History database %@ found damaged while writing (%@); kept as %@, a new one is started",
                m_options.path, why, aside);
            {
                std::lock_guard guard(m_mutex);
                m_movedAside = aside;
            }
            damaged = false;
            ok = !aside.isEmpty() && ensureOpen(why) && writeOnce(batch, why, damaged);
        }
        setPaused(!ok, why);
        nextWrite = SteadyClock::now()
            + std::chrono::duration_cast<SteadyClock::duration>(clock::scaled(ok ? m_options.batchSeconds : m_options.retrySeconds));

        lock.lock();
        m_finished = attempt;
        if (ok) {
            m_done = std::max(m_done, batch.through);
            m_readingsStored += qint64(batch.readings.size()) - m_batchRefused;
            m_batchRefused = 0;
        } else if (!last) {
            // Kept for the retry, before what came meanwhile; the oldest go when memory is full.
            m_readings.insert(m_readings.begin(), std::make_move_iterator(batch.readings.begin()),
                std::make_move_iterator(batch.readings.end()));
            while (qsizetype(m_readings.size()) > m_options.maxPending) {
                m_readings.pop_front();
                ++m_dropped;
            }
            m_jobs.insert(m_jobs.begin(), std::make_move_iterator(batch.jobs.begin()), std::make_move_iterator(batch.jobs.end()));
        }
        m_committed.notify_all();
        if (last)
            break;
    }
}

bool Writer::writeOnce(Batch& batch, QString& why, bool& damaged)
{
    bool refusal = false;
    if (write(batch, why, damaged, refusal, false))
        return true;
    if (!refusal)
        return false;
    // Something in the batch was refused for what it holds: the batch again, item by item, so
    // the rest goes in.
    why.clear();
    return write(batch, why, damaged, refusal, true);
}

bool Writer::write(Batch& batch, QString& why, bool& damaged, bool& refusal, bool itemByItem)
{
    QSqlDatabase& db = m_db->sql();
    QSqlError error;
    const auto fail = [&](const QSqlError& e) {
        why = Database::describe(e);
        damaged = Database::isDamage(e);
        refusal = Database::isRefusal(e);
        m_db->exec(QStringLiteral("ROLLBACK"));
        m_counterIds.clear(); // a counter made in this transaction is gone with it
        return false;
    };
    qint64 refusedReadings = 0, refusedIntervals = 0;
    QString refusedWhy;
    // In item-by-item mode: true when `e` was a refusal of this item, which is then undone.
    const auto refuse = [&](const QSqlError& e) {
        if (!itemByItem || !Database::isRefusal(e))
            return false;
        refusedWhy = Database::describe(e);
        m_counterIds.clear();
        return m_db->exec(QStringLiteral("ROLLBACK TO item")) && m_db->exec(QStringLiteral("RELEASE item"));
    };
    const auto savepoint = [&] { return !itemByItem || m_db->exec(QStringLiteral("SAVEPOINT item"), &error); };
    const auto release = [&] { return !itemByItem || m_db->exec(QStringLiteral("RELEASE item"), &error); };
    {
        std::lock_guard lock(m_mutex);
        if (m_pageLimit != m_appliedPageLimit) {
            // SQLite's own largest page count when unlimited.
            m_db->exec(QStringLiteral("PRAGMA max_page_count=%1").arg(m_pageLimit > 0 ? m_pageLimit : 4294967294LL));
            m_appliedPageLimit = m_pageLimit;
        }
    }
    if (!m_db->exec(QStringLiteral("BEGIN IMMEDIATE"), &error))
        return fail(error);

    const auto idOf = [&](const QString& serial) -> std::optional<qint64> {
        for (const auto& [s, id] : m_counterIds)
            if (s == serial)
                return id;
        const auto id = m_db->counterId(serial, true, &error);
        if (id)
            m_counterIds.emplace_back(serial, *id);
        return id;
    };

    const qint64 current = now();
    const qint64 horizon = current - qint64(m_options.retentionDays) * kDayMs;
    std::map<std::tuple<qint64, int, qint64>, Aggregate> minutes, hours;
    QSqlQuery raw(db);
    raw.prepare(QStringLiteral("INSERT OR IGNORE INTO readings VALUES(?, ?, ?, ?, ?, ?)"));
    for (const Reading& r : batch.readings) {
        if (!std::isfinite(r.value) || (r.mode != Rate && r.mode != Dose)) {
            ++refusedReadings;
            refusedWhy = QStringLiteral("not a finite dose rate or dose");
            continue;
        }
        if (!savepoint())
            return fail(error);
        const auto id = idOf(r.serial);
        if (!id) {
            if (refuse(error)) {
                ++refusedReadings;
                continue;
            }
            return fail(error);
        }
        // A reading already beyond the retention (an old clock, a bulk import) goes into the
        // aggregates only.
        qint64 time = r.timeMs;
        if (time >= horizon) {
            raw.bindValue(0, *id);
            raw.bindValue(1, r.mode);
            raw.bindValue(3, r.value);
            raw.bindValue(4, r.counterUnit.isNull() ? QStringLiteral("") : r.counterUnit);
            raw.bindValue(5, r.level);
            // The key is a counter's mode and millisecond: a reading whose millisecond is taken
            // (lines read at once, another run of the same counter) goes to the next free one, so
            // it is kept in the file's layout that every reader knows; none replaces another.
            bool executed = true;
            for (int nudge = 0;; ++nudge, ++time) {
                raw.bindValue(2, time);
                executed = raw.exec();
                if (!executed || raw.numRowsAffected() == 1 || nudge == kMaxNudgeMs)
                    break;
            }
            if (!executed) {
                if (refuse(raw.lastError())) {
                    ++refusedReadings;
                    continue;
                }
                return fail(raw.lastError());
            }
            if (!release())
                return fail(error);
            if (raw.numRowsAffected() != 1) {
                // Left out, and never counted as stored.
                ++refusedReadings;
                refusedWhy = QStringLiteral("no free millisecond near the reading's time");
                continue;
            }
        } else if (!release()) {
            return fail(error);
        }
        const qint64 minute = time >= 0 ? time / 60000 : (time - 59999) / 60000;
        minutes[{*id, r.mode, minute}].add(r.value);
        hours[{*id, r.mode, minute >= 0 ? minute / 60 : (minute - 59) / 60}].add(r.value);
    }
    for (const auto& [table, aggregates] : {std::pair{"minutes", &minutes}, std::pair{"hours", &hours}}) {
        const QString key = QLatin1String(table) == QLatin1String("minutes") ? QStringLiteral("minute") : QStringLiteral("hour");
        QSqlQuery upsert(db);
        upsert.prepare(QStringLiteral("INSERT INTO %1 VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT(counter, mode, %2) DO UPDATE SET"
                                      " count = count + excluded.count, min = MIN(min, excluded.min), sum = sum + excluded.sum,"
                                      " max = MAX(max, excluded.max)")
                           .arg(QLatin1String(table), key));
        for (const auto& [k, a] : *aggregates) {
            upsert.bindValue(0, std::get<0>(k));
            upsert.bindValue(1, std::get<1>(k));
            upsert.bindValue(2, std::get<2>(k));
            upsert.bindValue(3, a.count);
            upsert.bindValue(4, a.min);
            upsert.bindValue(5, a.sum);
            upsert.bindValue(6, a.max);
            if (!upsert.exec())
                return fail(upsert.lastError());
        }
    }

    std::vector<int> stored(batch.jobs.size(), 0);
    QSqlQuery interval(db);
    interval.prepare(QStringLiteral("INSERT OR IGNORE INTO intervals VALUES(?, ?, ?, ?, ?, ?)"));
    for (size_t j = 0; j < batch.jobs.size(); ++j) {
        // A protocol goes in whole or not at all.
        if (!savepoint())
            return fail(error);
        const auto job = [&]() -> bool {
            const auto id = idOf(batch.jobs[j].serial);
            if (!id)
                return false;
            for (const Interval& i : batch.jobs[j].intervals) {
                interval.bindValue(0, *id);
                interval.bindValue(1, i.startMs);
                interval.bindValue(2, i.durationS);
                interval.bindValue(3, qint64(std::min<quint64>(i.pulses, quint64(INT64_MAX))));
                interval.bindValue(4, std::isfinite(i.doseRate) ? QVariant(i.doseRate) : QVariant());
                interval.bindValue(5, i.flags);
                if (!interval.exec()) {
                    error = interval.lastError();
                    return false;
                }
                stored[j] += interval.numRowsAffected() == 1 ? 1 : 0;
            }
            return true;
        };
        if (!job()) {
            if (!refuse(error))
                return fail(error);
            refusedIntervals += qint64(batch.jobs[j].intervals.size());
            stored[j] = -1;
            continue;
        }
        if (!release())
            return fail(error);
    }
    if (current >= m_nextPrune) {
        prune(horizon);
        m_nextPrune = current + kPruneEveryMs;
    }
    if (!m_db->exec(QStringLiteral("COMMIT"), &error))
        return fail(error);
    if (refusedReadings || refusedIntervals) {
        LGLogWarn("History database %@ refused %lld readings and %lld protocol intervals, the rest is stored: %@",
            m_options.path, static_cast<long long>(refusedReadings), static_cast<long long>(refusedIntervals), refusedWhy);
        std::lock_guard lock(m_mutex);
        m_refused += refusedReadings + refusedIntervals;
        m_lastRefusal = refusedWhy;
        m_batchRefused += refusedReadings;
    }
    for (size_t j = 0; j < batch.jobs.size(); ++j) {
        if (batch.jobs[j].done && stored[j] >= 0)
            batch.jobs[j].done(stored[j], int(batch.jobs[j].intervals.size()));
    }
    return true;
}

void Writer::prune(qint64 horizon)
{
    // By counter and mode, so the deletion walks the key rather than the whole table.
    QSqlQuery pairs(m_db->sql());
    if (!pairs.exec(QStringLiteral("SELECT id FROM counters")))
        return;
    std::vector<qint64> ids;
    while (pairs.next())
        ids.push_back(pairs.value(0).toLongLong());
    QSqlQuery del(m_db->sql());
    del.prepare(QStringLiteral("DELETE FROM readings WHERE counter = ? AND mode = ? AND time < ?"));
    for (const qint64 id : ids) {
        for (const int mode : {int(Rate), int(Dose)}) {
            del.bindValue(0, id);
            del.bindValue(1, mode);
            del.bindValue(2, horizon);
            del.exec();
        }
    }
}

} // namespace oq::history
