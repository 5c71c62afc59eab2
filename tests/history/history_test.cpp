#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <map>

#include "history/HistoryDatabase.h"
#include "history/HistoryReader.h"
#include "history/HistoryWriter.h"
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
        // The same readings again (a restarted recorder): stored once.
        for (qint64 t = recent; t < recent + 60000; t += 1000)
            writer.record({QStringLiteral("A-1"), t, Rate, rateAt(t), QStringLiteral("rem"), 1});
        ASSERT_TRUE(writer.flush());
        EXPECT_FALSE(writer.paused());
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
        EXPECT_EQ(b.count, 10);
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
    ASSERT_EQ(raw.size(), 2u * 3000u);
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

// A full disk pauses the recording; nothing handed in meanwhile is lost when room comes back.
TEST_F(HistoryTest, FullDiskPausesAndRecordingResumesByItself)
{
    {
        Writer writer(options()); // the schema, so the limit below leaves little room
        ASSERT_TRUE(writer.flush());
    }
    auto o = options();
    o.maxPageCount = 12;
    Writer writer(o);
    const qint64 start = kT0 + 90 * kDay;
    for (qint64 i = 0; i < 5000; ++i)
        writer.record({QStringLiteral("A-1"), start + i * 1000, Rate, rateAt(i * 1000), QStringLiteral("Sv"), 0});
    EXPECT_FALSE(writer.flush());
    EXPECT_TRUE(writer.paused()) << writer.problem().toStdString();
    EXPECT_FALSE(writer.problem().isEmpty());
    for (qint64 i = 5000; i < 6000; ++i)
        writer.record({QStringLiteral("A-1"), start + i * 1000, Rate, rateAt(i * 1000), QStringLiteral("Sv"), 0});

    writer.setMaxPageCount(0);
    ASSERT_TRUE(writer.flush()) << writer.problem().toStdString();
    EXPECT_FALSE(writer.paused());
    EXPECT_EQ(writer.dropped(), 0);
    QString problem;
    const auto reader = Reader::open(path(), &problem);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->readings(QStringLiteral("A-1"), start, start + kDay).size(), 6000u);
    EXPECT_EQ(reader->liveBuckets(QStringLiteral("A-1"), Rate, start, start + kDay, kDay).at(0).count, 6000);
}
