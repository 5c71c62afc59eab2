#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <atomic>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>

#include "common/ForeignDatabase.h"
#include "common/OtherUser.h"
#include "common/TestUtil.h"
#include "history/HistoryDatabase.h"
#include "history/HistoryExport.h"
#include "history/HistoryReader.h"
#include "history/HistoryWriter.h"
#include "platform/CLocale.h"
#include "platform/Clock.h"

using namespace oq::history;

namespace {

constexpr qint64 kDay = 24LL * 3600 * 1000;
constexpr qint64 kT0 = 1767225600000LL; // 2026-01-01T00:00:00Z

struct FastClock {
    FastClock() { oq::clock::setScale(0.01); }
    ~FastClock() { oq::clock::setScale(1.0); }
};

struct Expected {
    qint64 count = 0;
    double min = 0, max = 0, sum = 0;
    void add(double v)
    {
        min = count ? std::min(min, v) : v;
        max = count ? std::max(max, v) : v;
        sum += v;
        ++count;
    }
};

// A dose rate that wanders, the same for the same second.
double rateAt(qint64 t) { return 0.1 + 0.05 * std::sin(double(t) / 7.3e5) + double((t / 1000) % 7) * 0.01; }

class HistoryTest : public ::testing::Test {
protected:
    QString path() const { return dir.filePath(QStringLiteral("history.sqlite3")); }
    Writer::Options options()
    {
        Writer::Options o;
        o.path = path();
        o.nowMs = [this] { return now.load(); };
        o.retrySeconds = 5.0;
        return o;
    }
    QTemporaryDir dir;
    FastClock fast;
    std::atomic<qint64> now{kT0 + 91 * kDay};
};

} // namespace

// Readings of two counters go in one per second, beyond and within the raw retention, with a gap
// and a repeat; what comes out per bucket, from the aggregates or the raw readings, is what went in.
TEST_F(HistoryTest, RecordedReadingsComeBackPerBucketFromAggregatesAndRawReadings)
{
    const qint64 old = kT0;                // beyond the 90 days: aggregates only
    const qint64 recent = kT0 + 90 * kDay; // within them
    std::map<qint64, Expected> oldHours, recentMinutes;
    {
        Writer writer(options());
        for (const QString& serial : {QStringLiteral("A-1"), QStringLiteral("B-2")}) {
            for (qint64 t = old; t < old + 2 * 3600000; t += 1000) {
                writer.record({serial, t, Rate, rateAt(t), QStringLiteral("Sv"), 0});
                if (serial == QLatin1String("A-1"))
                    oldHours[(t - old) / 3600000].add(rateAt(t));
            }
            for (qint64 t = recent; t < recent + 3600000; t += 1000) {
                if (t >= recent + 600000 && t < recent + 1200000)
                    continue; // unplugged for ten minutes
                writer.record({serial, t, Rate, rateAt(t), QStringLiteral("rem"), 1});
                writer.record({serial, t + 500, Dose, double(t - recent) / 1e6, QStringLiteral("rem"), 0});
                if (serial == QLatin1String("A-1"))
                    recentMinutes[(t - recent) / 60000].add(rateAt(t));
            }
        }
        ASSERT_TRUE(writer.flush());
        // Readings that share a millisecond, one of them already stored (lines read at once, a
        // clock set back): each kept, in order, at the next free millisecond, and counted only so.
        for (int i = 1; i <= 20; ++i) {
            writer.record({QStringLiteral("A-1"), recent + 1000, Rate, double(i), QStringLiteral("rem"), 1});
            recentMinutes[0].add(double(i));
        }
        ASSERT_TRUE(writer.flush());
        EXPECT_FALSE(writer.paused());
        EXPECT_EQ(writer.notStored(), 0);
    }

    QString problem;
    const auto reader = Reader::open(path(), &problem);
    ASSERT_TRUE(reader) << problem.toStdString();
    EXPECT_EQ(reader->counters(), (QStringList{QStringLiteral("A-1"), QStringLiteral("B-2")}));
    const auto span = reader->span(QStringLiteral("A-1"));
    ASSERT_TRUE(span);
    EXPECT_EQ(span->first, old);

    const auto hours = reader->liveBuckets(QStringLiteral("A-1"), Rate, old, old + 2 * 3600000, 3600000);
    ASSERT_EQ(hours.size(), 2u);
    for (const Bucket& b : hours) {
        const Expected& e = oldHours[(b.startMs - old) / 3600000];
        EXPECT_EQ(b.count, e.count);
        EXPECT_DOUBLE_EQ(b.min, e.min);
        EXPECT_DOUBLE_EQ(b.max, e.max);
        EXPECT_NEAR(b.mean, e.sum / double(e.count), 1e-12);
    }
    EXPECT_TRUE(reader->readings(QStringLiteral("A-1"), old, old + kDay).empty());

    // Ten-second buckets come from the raw readings; the unplugged minutes stay a gap.
    const auto fine = reader->liveBuckets(QStringLiteral("A-1"), Rate, recent, recent + 3600000, 10000);
    EXPECT_EQ(reader->effectiveBucket(QStringLiteral("A-1"), Rate, recent, 10000), 10000);
    ASSERT_EQ(fine.size(), 300u);
    for (const Bucket& b : fine) {
        EXPECT_EQ(b.count, b.startMs == recent ? 30 : 10);
        EXPECT_FALSE(b.startMs >= recent + 600000 && b.startMs < recent + 1200000);
    }
    const auto minutes = reader->liveBuckets(QStringLiteral("A-1"), Rate, recent, recent + 3600000, 60000);
    ASSERT_EQ(minutes.size(), recentMinutes.size());
    for (const Bucket& b : minutes) {
        const Expected& e = recentMinutes[(b.startMs - recent) / 60000];
        EXPECT_EQ(b.count, e.count);
        EXPECT_DOUBLE_EQ(b.max, e.max);
    }
    const auto raw = reader->readings(QStringLiteral("A-1"), recent, recent + 3600000);
    ASSERT_EQ(raw.size(), 2u * 3000u + 20u);
    for (int i = 0; i <= 20; ++i) {
        const auto& r = raw[size_t(2 + i)]; // after the rate and dose of the first second
        EXPECT_EQ(r.timeMs, recent + 1000 + i);
        EXPECT_EQ(r.value, i == 0 ? rateAt(recent + 1000) : double(i));
    }
    EXPECT_EQ(raw[0].mode, Rate);
    EXPECT_EQ(raw[1].mode, Dose);
    EXPECT_EQ(raw[0].counterUnit, QStringLiteral("rem"));
    EXPECT_EQ(raw[0].level, 1);

    // Time passes beyond the retention: the raw readings go, their aggregates stay.
    now = recent + 91 * kDay;
    {
        Writer writer(options());
        writer.record({QStringLiteral("A-1"), now.load(), Rate, 0.2, QStringLiteral("Sv"), 0});
        ASSERT_TRUE(writer.flush());
    }
    const auto later = Reader::open(path(), &problem);
    ASSERT_TRUE(later);
    EXPECT_TRUE(later->readings(QStringLiteral("A-1"), recent, recent + 3600000).empty());
    EXPECT_EQ(later->liveBuckets(QStringLiteral("A-1"), Rate, recent, recent + 3600000, 60000).size(), recentMinutes.size());
    // Sub-minute buckets where no raw readings are left fall back to whole minutes.
    EXPECT_EQ(later->effectiveBucket(QStringLiteral("A-1"), Rate, recent, 10000), 60000);
}

// A protocol downloaded again, or one overlapping an earlier download, adds only what is new.
TEST_F(HistoryTest, ProtocolIntervalsAreStoredOnceHoweverOftenTheyAreImported)
{
    std::vector<Interval> first, second;
    for (int i = 0; i < 100; ++i)
        first.push_back({kT0 + i * 600000LL, 600, quint64(20 + i), i == 7 ? std::nan("") : 0.08 + i * 0.001, i == 0 ? 2u : 0u});
    for (int i = 50; i < 150; ++i)
        second.push_back({kT0 + i * 600000LL, 600, quint64(20 + i), 0.08 + i * 0.001, 0});
    std::vector<std::pair<int, int>> results;
    std::mutex m;
    const auto done = [&](int stored, int total) {
        std::lock_guard lock(m);
        results.emplace_back(stored, total);
    };
    {
        Writer writer(options());
        writer.storeIntervals(QStringLiteral("A-1"), first, done);
        ASSERT_TRUE(writer.flush());
        writer.storeIntervals(QStringLiteral("A-1"), first, done);
        writer.storeIntervals(QStringLiteral("A-1"), second, done);
        writer.storeIntervals(QStringLiteral("B-2"), first, done); // another counter's own timeline
        ASSERT_TRUE(writer.flush());
    }
    EXPECT_EQ(results, (std::vector<std::pair<int, int>>{{100, 100}, {0, 100}, {50, 100}, {100, 100}}));
    QString problem;
    const auto reader = Reader::open(path(), &problem);
    ASSERT_TRUE(reader);
    const auto stored = reader->intervals(QStringLiteral("A-1"), kT0, kT0 + 2 * kDay);
    ASSERT_EQ(stored.size(), 150u);
    EXPECT_TRUE(std::isnan(stored[7].doseRate));
    EXPECT_EQ(stored[0].flags, 2u);
    EXPECT_EQ(stored[149].pulses, 169u);
    EXPECT_EQ(reader->missingIntervals(QStringLiteral("A-1"), second), 0);
    EXPECT_EQ(reader->missingIntervals(QStringLiteral("C-3"), second), 100);
    // Dose rates per hour: six intervals each, the one without a rate left out.
    const auto hours = reader->intervalBuckets(QStringLiteral("A-1"), kT0, kT0 + 2 * 3600000, 3600000);
    ASSERT_EQ(hours.size(), 2u);
    EXPECT_EQ(hours[0].count, 6);
    EXPECT_EQ(hours[1].count, 5);
}

// A file that is not a database is kept aside and a new one started; readers leave it alone.
TEST_F(HistoryTest, DamagedFileIsMovedAsideAndRecordingStartsAfresh)
{
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("SQLite format 3\0", 16) + QByteArray(8000, '\x5a'));
    }
    QString problem;
    EXPECT_FALSE(Reader::open(path(), &problem));
    EXPECT_FALSE(problem.isEmpty());
    EXPECT_EQ(QFile(path()).size(), 8016);

    Writer writer(options());
    writer.record({QStringLiteral("A-1"), kT0 + 90 * kDay, Rate, 0.1, QStringLiteral("Sv"), 0});
    ASSERT_TRUE(writer.flush());
    ASSERT_FALSE(writer.movedAside().isEmpty());
    QFile kept(writer.movedAside());
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_TRUE(kept.readAll().contains("ZZZZ"));
    const auto reader = Reader::open(path(), &problem);
    ASSERT_TRUE(reader) << problem.toStdString();
    EXPECT_EQ(reader->readings(QStringLiteral("A-1"), 0, kT0 + 100 * kDay).size(), 1u);
}

// In a shared sticky folder another user's link, as the history or as its -wal, and another user's
// file are not written through; the user's own link is followed.
TEST_F(HistoryTest, AnotherUsersLinkOrFileIsNotWrittenThrough)
{
    OQ_REQUIRE_OTHER_USER();
    const QString shared = oq::test::sharedFolder(dir.path()) + QLatin1Char('/'), victim = dir.filePath(QStringLiteral("x"));
    const QByteArray s = QFile::encodeName(shared), v = QFile::encodeName(victim);
    ASSERT_TRUE(oq::test::asOtherUser([&] {
        return ::symlink(v.constData(), s + "h.db") == 0 && ::symlink(v.constData(), s + "w.db-wal") == 0
            && ::close(::open(s + "theirs.db", O_CREAT | O_WRONLY, 0666)) == 0;
    }));
    for (const char* name : {"h.db", "w.db", "theirs.db"})
        EXPECT_FALSE(Database::open(shared + QLatin1String(name), Access::Write, nullptr, nullptr)) << name;
    EXPECT_FALSE(QFileInfo::exists(victim));
    ASSERT_EQ(::symlink(v.constData(), QFile::encodeName(dir.filePath(QStringLiteral("own.db"))).constData()), 0);
    EXPECT_TRUE(Database::open(dir.filePath(QStringLiteral("own.db")), Access::Write, nullptr, nullptr));
    EXPECT_TRUE(QFileInfo::exists(victim));
}

// A full disk pauses the recording; nothing handed in meanwhile is lost when room comes back. The
// pause is told at once, then once a minute with the readings waiting, and its end once.
TEST_F(HistoryTest, FullDiskPausesAndRecordingResumesByItself)
{
    {
        Writer writer(options()); // the schema, so the limit below leaves little room
        ASSERT_TRUE(writer.flush());
    }
    auto o = options();
    o.maxPageCount = 12;
    std::mutex toldMutex;
    std::vector<Writer::Trouble> told;
    o.onTrouble = [&](const Writer::Trouble& t) {
        std::lock_guard lock(toldMutex);
        told.push_back(t);
    };
    Writer writer(o);
    const qint64 start = kT0 + 90 * kDay;
    for (qint64 i = 0; i < 5000; ++i)
        writer.record({QStringLiteral("A-1"), start + i * 1000, Rate, rateAt(i * 1000), QStringLiteral("Sv"), 0});
    EXPECT_FALSE(writer.flush());
    EXPECT_TRUE(writer.paused()) << writer.problem().toStdString();
    EXPECT_FALSE(writer.problem().isEmpty());
    std::unique_lock toldLock(toldMutex);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].ongoing && told[0].notStored > 0);
    toldLock.unlock();
    for (qint64 i = 5000; i < 6000; ++i)
        writer.record({QStringLiteral("A-1"), start + i * 1000, Rate, rateAt(i * 1000), QStringLiteral("Sv"), 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(1300)); // 130 s modelled, 26 retries

    writer.setMaxPageCount(0);
    ASSERT_TRUE(writer.flush()) << writer.problem().toStdString();
    EXPECT_FALSE(writer.paused());
    EXPECT_EQ(writer.dropped(), 0);
    toldLock.lock();
    ASSERT_TRUE(told.size() == 3u || told.size() == 4u) << told.size();
    EXPECT_EQ(told[told.size() - 2].notStored, 6000);
    EXPECT_FALSE(told.back().ongoing);
    toldLock.unlock();
    QString problem;
    const auto reader = Reader::open(path(), &problem);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->readings(QStringLiteral("A-1"), start, start + kDay).size(), 6000u);
    EXPECT_EQ(reader->liveBuckets(QStringLiteral("A-1"), Rate, start, start + kDay, kDay).at(0).count, 6000);
}

// Old firmware names no serial: its readings get a counter of their own (the empty serial) and are
// stored. A reading the database refuses for its content is left out, counted, and neither it nor
// anything else holds up the readings behind it.
TEST_F(HistoryTest, ACounterWithoutSerialAndARefusedReadingHoldUpNothing)
{
    {
        Writer writer(options());
        ASSERT_TRUE(writer.flush());
    }
    {
        // Stands for anything the file's rules refuse.
        QString problem;
        auto db = Database::open(path(), Access::Write, &problem);
        ASSERT_TRUE(db) << problem.toStdString();
        ASSERT_TRUE(db->exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON readings WHEN NEW.value > 1000"
                                            " BEGIN SELECT RAISE(ABORT, 'refused'); END")));
    }
    const qint64 start = kT0 + 90 * kDay;
    Writer writer(options());
    for (qint64 i = 0; i < 100; ++i) {
        writer.record({QString(), start + i * 1000, Rate, 0.1, QStringLiteral("Sv"), 0});
        writer.record({QStringLiteral("A-1"), start + i * 1000, Rate, i % 10 == 3 ? 5000.0 : 0.2, QString(), 0});
    }
    writer.record({QStringLiteral("A-1"), start + 500, Rate, std::nan(""), QStringLiteral("Sv"), 0});
    ASSERT_TRUE(writer.flush()) << writer.problem().toStdString();
    EXPECT_FALSE(writer.paused());
    EXPECT_EQ(writer.refused(), 11);
    EXPECT_EQ(writer.notStored(), 11);
    for (qint64 i = 100; i < 110; ++i)
        writer.record({QStringLiteral("A-1"), start + i * 1000, Rate, 0.3, QStringLiteral("Sv"), 0});
    ASSERT_TRUE(writer.flush());
    writer.stop();
    EXPECT_EQ(writer.notStored(), 11);

    QString problem;
    const auto reader = Reader::open(path(), &problem);
    ASSERT_TRUE(reader) << problem.toStdString();
    EXPECT_EQ(reader->counters(), (QStringList{QString(), QStringLiteral("A-1")}));
    EXPECT_EQ(reader->readings(QString(), start, start + kDay).size(), 100u);
    EXPECT_EQ(reader->readings(QStringLiteral(""), start, start + kDay).size(), 100u);
    const auto a = reader->readings(QStringLiteral("A-1"), start, start + kDay);
    EXPECT_EQ(a.size(), 100u);
    EXPECT_EQ(reader->liveTotal(QStringLiteral("A-1"), Rate, start, start + kDay)->count, 100);
    EXPECT_TRUE(reader->error().isEmpty()) << reader->error().toStdString();
}

// A reader never changes the file it reads, sees what a running writer has committed, and tells
// a file that is not a history (empty, damaged, another program's) or a failed query from an
// empty history. A writer leaves another program's database exactly as it is.
TEST_F(HistoryTest, ReadersAreReadOnlyAndTellFailuresFromEmptiness)
{
    const qint64 start = kT0 + 90 * kDay;
    {
        Writer writer(options());
        writer.record({QStringLiteral("A-1"), start, Rate, 0.1, QStringLiteral("Sv"), 0});
        ASSERT_TRUE(writer.flush());
        QString problem;
        const auto reader = Reader::open(path(), &problem);
        ASSERT_TRUE(reader) << problem.toStdString();
        EXPECT_EQ(reader->readings(QStringLiteral("A-1"), start, start + kDay).size(), 1u);
        writer.record({QStringLiteral("A-1"), start + 1000, Rate, 0.1, QStringLiteral("Sv"), 0});
        ASSERT_TRUE(writer.flush());
        EXPECT_EQ(reader->readings(QStringLiteral("A-1"), start, start + kDay).size(), 2u);

        // Another connection takes a table away: the reader's query fails, and says so.
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(path());
        ASSERT_TRUE(other.open());
        ASSERT_TRUE(QSqlQuery(other).exec(QStringLiteral("DROP TABLE intervals")));
        EXPECT_TRUE(reader->intervals(QStringLiteral("A-1"), start, start + kDay).empty());
        EXPECT_FALSE(reader->error().isEmpty());
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        EXPECT_FALSE(exportRaw(*reader, {QStringLiteral("A-1")}, start, start + kDay, ExportFormat::Csv, {}, sink));
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));

    const QString foreign = dir.filePath(QStringLiteral("foreign.sqlite3"));
    const QByteArray foreignBytes = writeForeignDatabase(foreign);
    ASSERT_FALSE(foreignBytes.isEmpty());
    const QString empty = dir.filePath(QStringLiteral("empty.sqlite3"));
    QFile(empty).open(QIODevice::WriteOnly);
    const QString damaged = dir.filePath(QStringLiteral("damaged.sqlite3"));
    {
        QFile f(damaged);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, '\x11'));
    }
    for (const QString& file : {foreign, empty, damaged}) {
        QString problem;
        EXPECT_FALSE(Reader::open(file, &problem)) << file.toStdString();
        EXPECT_FALSE(problem.isEmpty());
    }
    EXPECT_EQ(QFile(empty).size(), 0);
    EXPECT_FALSE(QFile::exists(empty + QStringLiteral("-wal")));

    auto o = options();
    o.path = foreign;
    {
        Writer writer(o);
        writer.record({QStringLiteral("A-1"), start, Rate, 0.1, QStringLiteral("Sv"), 0});
        EXPECT_FALSE(writer.flush(5.0));
        EXPECT_TRUE(writer.problem().contains(QStringLiteral("not a history database"))) << writer.problem().toStdString();
        EXPECT_TRUE(writer.movedAside().isEmpty());
        writer.stop();
        EXPECT_EQ(writer.notStored(), 1);
    }
    QFile f(foreign);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), foreignBytes);
    EXPECT_FALSE(QFile::exists(foreign + QStringLiteral("-wal")));
}

// Readers refuse, and say why, what they cannot read truly: a newer schema, and readings still in
// the write-ahead log where no -shm can be made (a read-only mount; a dangling link stands in for it
// here, as the tests may run as root). Programs creating one new file at once all succeed.
TEST_F(HistoryTest, ReadersRefuseWhatTheyCannotReadTrulyAndCreatorsDoNotCollide)
{
    const qint64 start = kT0 + 90 * kDay;
    const QString newer = dir.filePath(QStringLiteral("newer.sqlite3")), walOnly = dir.filePath(QStringLiteral("ro/history.sqlite3"));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("ro")));
    for (const qint64 t : {start, start + 1000}) {
        Writer writer(options());
        writer.record({QStringLiteral("A-1"), t, Rate, 0.1, QStringLiteral("Sv"), 0});
        ASSERT_TRUE(writer.flush());
        if (t == start)
            continue; // closed: in the main file
        // Copied while the writer holds its log open: the newest reading is in the -wal alone.
        for (const char* suffix : {"", "-wal"})
            ASSERT_TRUE(QFile::copy(path() + QLatin1String(suffix), walOnly + QLatin1String(suffix)));
        ASSERT_TRUE(QFile::link(QStringLiteral("/proc/no-such-folder/shm"), walOnly + QStringLiteral("-shm")));
    }
    ASSERT_TRUE(QFile::copy(path(), newer));
    ASSERT_TRUE(Database::open(newer, Access::Write, nullptr)->exec(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion() + 1)));
    for (const auto& [file, why] : {std::pair{newer, "newer version"}, std::pair{walOnly, "-wal"}}) {
        QString problem;
        const auto reader = Reader::open(file, &problem);
        EXPECT_FALSE(reader) << reader->readings(QStringLiteral("A-1"), start, start + kDay).size() << " readings";
        EXPECT_TRUE(problem.contains(QLatin1String(why))) << problem.toStdString();
    }

    for (int trial = 0; trial < 8; ++trial) {
        const QString fresh = dir.filePath(QStringLiteral("fresh-%1.sqlite3").arg(trial));
        QStringList problems(4);
        std::vector<std::thread> creators;
        for (QString& problem : problems)
            creators.emplace_back([&fresh, &problem] { Database::open(fresh, Access::Write, &problem); });
        for (auto& t : creators)
            t.join();
        EXPECT_EQ(problems.join(QString()).toStdString(), "") << "trial " << trial;
    }
}

// Per-bucket exports over random ranges: every reading in the range is counted once, none outside
// it; each bucket starts in the range, the first where the range does, the others at a whole
// minute or hour of UTC or at a local midnight, also on the days the clocks change (23 and 25 hours).
TEST_F(HistoryTest, BucketsCountExactlyTheRangeAndDaysAreLocal)
{
    oq::test::ScopedTimeZone berlin("Europe/Berlin");
    const qint64 springStart = 1774479600000LL; // 2026-03-26T00:00+01:00
    const qint64 autumnStart = 1792620000000LL; // 2026-10-22T00:00+02:00
    std::vector<qint64> times;
    for (const qint64 base : {springStart, autumnStart}) {
        for (qint64 t = base; t < base + 6 * kDay; t += 7000)
            times.push_back(t);
    }
    {
        auto o = options();
        o.retentionDays = 400; // every raw reading kept, so a range may end anywhere in a minute
        Writer writer(o);
        for (const qint64 t : times)
            writer.record({QStringLiteral("A-1"), t, Rate, rateAt(t), QStringLiteral("Sv"), 0});
        ASSERT_TRUE(writer.flush());
    }
    QString problem;
    const auto reader = Reader::open(path(), &problem);
    ASSERT_TRUE(reader) << problem.toStdString();

    const auto rows = [&](qint64 from, qint64 to, BucketSize size) {
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        EXPECT_TRUE(exportBuckets(*reader, {QStringLiteral("A-1")}, from, to, size, ExportFormat::Csv, out));
        QList<QByteArray> lines = out.data().split('\n');
        lines.removeFirst();
        lines.removeAll(QByteArray());
        std::vector<std::pair<qint64, qint64>> result; // start, count
        for (const QByteArray& line : lines) {
            const auto fields = line.split(',');
            result.emplace_back(QDateTime::fromString(QString::fromLatin1(fields[2]), Qt::ISODateWithMs).toMSecsSinceEpoch(),
                fields[4].toLongLong());
        }
        return result;
    };
    const auto isLocalMidnight = [](qint64 t) { return QDateTime::fromMSecsSinceEpoch(t).time() == QTime(0, 0); };

    // Days across both changes: whole local days of 23, 24 and 25 hours.
    for (const qint64 base : {springStart, autumnStart}) {
        const auto days = rows(base, QDateTime::fromMSecsSinceEpoch(base).date().addDays(6).startOfDay().toMSecsSinceEpoch(), BucketSize::Day);
        ASSERT_EQ(days.size(), 6u);
        std::set<qint64> lengths;
        for (size_t i = 0; i < days.size(); ++i) {
            EXPECT_TRUE(isLocalMidnight(days[i].first)) << days[i].first;
            if (i)
                lengths.insert(days[i].first - days[i - 1].first);
        }
        EXPECT_EQ(lengths.size(), 2u) << "a 24-hour day and the day of the change";
    }

    auto* random = QRandomGenerator::global();
    const qint64 lo = springStart - kDay, hi = autumnStart + 7 * kDay;
    for (int round = 0; round < 60; ++round) {
        const qint64 a = lo + qint64(random->bounded(double(hi - lo)));
        const qint64 length = round % 3 == 0 ? 86400000LL * 3 : qint64(random->bounded(double(2 * kDay)));
        const qint64 from = round % 2 ? (a / 1000) * 1000 + 137 : a, to = std::min(from + length, hi);
        const BucketSize size = BucketSize(round % 3);
        const qint64 expected = std::count_if(times.begin(), times.end(), [&](qint64 t) { return t >= from && t < to; });
        qint64 counted = 0;
        const auto got = rows(from, to, size);
        for (size_t i = 0; i < got.size(); ++i) {
            counted += got[i].second;
            EXPECT_GE(got[i].first, from);
            EXPECT_LT(got[i].first, to);
            if (i == 0 || got[i].first == from)
                continue;
            if (size == BucketSize::Day)
                EXPECT_TRUE(isLocalMidnight(got[i].first)) << got[i].first;
            else
                EXPECT_EQ(got[i].first % (size == BucketSize::Minute ? 60000 : 3600000), 0) << got[i].first;
        }
        EXPECT_EQ(counted, expected) << "round " << round << " from " << from << " to " << to;
    }
}

// The raw export writes times and values as Qt's date text and singlePrecisionText() do, for any
// time and value a row may hold, and JSON strings as Qt's writer escapes them.
TEST_F(HistoryTest, RawExportWritesEveryTimeAndValueAsTheReferenceDoes)
{
    const QString serial = QStringLiteral("P-1 \"\u00e4\""), oddUnit = QStringLiteral("r\u00e9m\t");
    const qint64 edges[] = {0, 951782400000, 951868799999, 4107542400000, 253402300799999, -1, 253402300800000};
    QRandomGenerator random(35);
    std::map<qint64, std::pair<double, QString>> rows;
    auto db = Database::open(path(), Access::Write, nullptr);
    QSqlQuery insert(db->sql());
    insert.prepare(QStringLiteral("INSERT OR REPLACE INTO readings VALUES(?, 1, ?, ?, ?, 0)"));
    for (int i = 0; i < 3000; ++i) {
        const qint64 t = i < 7 ? edges[i] : qint64(random.bounded(253402300800000.0));
        rows[t] = {i == 7 ? 1e39 : i % 50 == 0 ? 0.0 : (random.bounded(2) ? 1 : -1) * random.generateDouble() * std::pow(10.0, random.bounded(-12, 13)),
            i % 3 ? QStringLiteral("Sv") : oddUnit};
        for (const QVariant& v : {QVariant(*db->counterId(serial, true)), QVariant(t), QVariant(rows[t].first), QVariant(rows[t].second)})
            insert.addBindValue(v);
        ASSERT_TRUE(insert.exec());
    }
    QByteArray expected = "counter,source,time,value,unit,counter_unit,level,duration,pulses\n";
    for (const auto& [t, row] : rows)
        expected += "P-1  \xc3\xa4 ,live," + QDateTime::fromMSecsSinceEpoch(t, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1() + ','
            + oq::singlePrecisionText(row.first) + ",\xce\xbcSv/h," + row.second.toUtf8() + ",normal,,\n";
    const auto reader = Reader::open(path(), nullptr);
    QBuffer csv, json;
    csv.open(QIODevice::WriteOnly);
    json.open(QIODevice::WriteOnly);
    ASSERT_TRUE(exportRaw(*reader, {serial}, LLONG_MIN, LLONG_MAX, ExportFormat::Csv, {}, csv));
    ASSERT_TRUE(exportRaw(*reader, {serial}, LLONG_MIN, LLONG_MAX, ExportFormat::Json, {}, json));
    EXPECT_EQ(csv.data().toStdString(), expected.toStdString());
    EXPECT_EQ(QJsonDocument::fromJson(json.data()).array().size(), qsizetype(rows.size()));
    for (const auto& [key, text] : {std::pair{"counter_unit", oddUnit}, std::pair{"counter", serial}})
        EXPECT_TRUE(json.data().contains(QJsonDocument(QJsonObject{{key, text}}).toJson(QJsonDocument::Compact).mid(1).chopped(1))) << key;
}
