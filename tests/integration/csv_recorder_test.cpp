// CSV recording of oqtool watch: row format, the append-only file, and recording across the
// simulated counter being unplugged and plugged in again.
#include <QAbstractEventDispatcher>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sys/resource.h>

#include "oqtool/Command.h"
#include "oqtool/CsvRecorder.h"
#include "oqtool/DeviceSession.h"
#include "platform/Clock.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"

// oqtool's output, captured (its main() is not part of this test).
namespace {
QString g_err;
}
namespace oqtool {
std::vector<Command>& registry()
{
    static std::vector<Command> commands;
    return commands;
}
bool out(const QString&) { return true; }
bool outFailed() { return false; }
void err(const QString& text) { g_err += text; }
} // namespace oqtool

using oqtool::CsvFile;

namespace {

class CsvTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        oq::SettingsStore::useFile(m_dir.filePath(QStringLiteral("settings.conf")));
        oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
        oq::setLanguage(QStringLiteral("en"));
        g_err.clear();
    }
    void TearDown() override { oq::setLanguage({}); }

    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    static QByteArray read(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void write(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    static QByteArray row(double value) { return oqtool::csvRow(reading(QDateTime::currentDateTimeUtc(), value, 1, QStringLiteral("Sv"))); }
    // A reading as a stream makes it: its level by the thresholds in force now.
    static oq::Reading reading(const QDateTime& time, double value, int mode, const QString& unit)
    {
        oq::Reading r;
        r.timeMs = time.toMSecsSinceEpoch();
        r.value = value;
        r.mode = mode;
        r.counterUnit = unit;
        r.level = oq::levelForValue(value, mode);
        return r;
    }

    QTemporaryDir m_dir;
};

// ---- Rows

TEST_F(CsvTest, RowCarriesUtcTimeValueUnitsAndLevel)
{
    const QDateTime local(QDate(2026, 3, 1), QTime(12, 30, 5, 250), QTimeZone(3600));
    EXPECT_EQ(oqtool::csvRow(reading(local, 0.123, 1, QStringLiteral("Sv"))), QByteArray("2026-03-01T11:30:05.250Z,0.123,μSv/h,Sv,normal\n"));
    // Thresholds by default: warning from 2.2 μSv/h, danger from 11.8 μSv/h; dose in mSv.
    EXPECT_TRUE(oqtool::csvRow(reading(local, 2.2, 1, QStringLiteral("Sv"))).endsWith(",2.2,μSv/h,Sv,warning\n"));
    EXPECT_TRUE(oqtool::csvRow(reading(local, 11.8, 1, QStringLiteral("rem"))).endsWith(",11.8,μSv/h,rem,danger\n"));
    EXPECT_TRUE(oqtool::csvRow(reading(local, 10000.0, 2, QStringLiteral("Sv"))).endsWith(",10000,μSv,Sv,warning\n"));
    // The thresholds are read at every row.
    oq::SettingsStore::shared().setDouble(oq::settings::WarningRateValue, 1.0);
    EXPECT_TRUE(oqtool::csvRow(reading(local, 1.5, 1, QStringLiteral("Sv"))).endsWith(",warning\n"));
    // Whatever the device reports as its unit, nothing but the two words enters the file; the
    // counter's name is one plain field, never a formula.
    EXPECT_TRUE(oqtool::csvRow(reading(local, 0.5, 1, QStringLiteral("Sv\n,x"))).endsWith(",0.5,μSv/h,,normal\n"));
    EXPECT_TRUE(oqtool::csvRow(reading(local, 0.5, 1, QStringLiteral("Sv")), QStringLiteral("=A1,\"x\"\n")).endsWith(",normal,_=A1__x__\n"));
}

TEST_F(CsvTest, NumbersKeepTheReadingsPrecisionWithoutExponent)
{
    // 12,5 mrem arrives as 124.99999720603228 μSv through the single-precision rem factor.
    EXPECT_EQ(oqtool::csvNumber(12500.0 * double(0.01f)), QByteArray("125"));
    EXPECT_EQ(oqtool::csvNumber(0.0), QByteArray("0"));
    EXPECT_EQ(oqtool::csvNumber(0.0000012), QByteArray("0.0000012"));
    EXPECT_EQ(oqtool::csvNumber(123456.7), QByteArray("123456.7"));
    EXPECT_EQ(oqtool::csvNumber(3e12), QByteArray("3000000000000"));
    EXPECT_EQ(oqtool::csvNumber(123456789.0), QByteArray("123456790"));
    EXPECT_EQ(oqtool::csvNumber(-0.5), QByteArray("-0.5"));
    // Past the float range: still a number a CSV reader takes.
    bool ok = false;
    EXPECT_EQ(oqtool::csvNumber(1e47).toDouble(&ok), 1e47);
    EXPECT_TRUE(ok);
    // Decimal point whatever the locale.
    QLocale::setDefault(QLocale(QLocale::German));
    EXPECT_EQ(oqtool::csvNumber(0.75), QByteArray("0.75"));
    QLocale::setDefault(QLocale::c());
}

// ---- The file

TEST_F(CsvTest, NewFileGetsHeaderAndReopeningContinuesIt)
{
    const QString file = path("r.csv");
    QString error;
    {
        CsvFile csv;
        ASSERT_TRUE(csv.open(file, error)) << error.toStdString();
        ASSERT_TRUE(csv.append(row(1), error));
    }
    {
        CsvFile csv;
        ASSERT_TRUE(csv.open(file, error)) << error.toStdString();
        ASSERT_TRUE(csv.append(row(2), error));
    }
    const auto lines = read(file).split('\n');
    ASSERT_EQ(lines.size(), 4); // header, two rows, nothing after the last line end
    EXPECT_EQ(lines[0] + '\n', CsvFile::kHeader);
    EXPECT_TRUE(lines[1].contains(",1,"));
    EXPECT_TRUE(lines[2].contains(",2,"));
    EXPECT_TRUE(lines[3].isEmpty());
}

TEST_F(CsvTest, RowCutShortByACrashIsRemovedBeforeTheNext)
{
    const QString file = path("r.csv");
    const QByteArray whole = CsvFile::kHeader + "2026-01-01T00:00:00.000Z,0.1,μSv/h,Sv,normal\n";
    write(file, whole + "2026-01-01T00:00:01.0");
    QString error;
    CsvFile csv;
    ASSERT_TRUE(csv.open(file, error)) << error.toStdString();
    EXPECT_EQ(read(file), whole);
    ASSERT_TRUE(csv.append(row(3), error));
    EXPECT_TRUE(read(file).startsWith(whole));
    EXPECT_EQ(read(file).count('\n'), 3);
}

TEST_F(CsvTest, HalfWrittenHeaderStartsAfresh)
{
    for (const QByteArray& start : {QByteArray(), QByteArray("time,val")}) {
        const QString file = path("h.csv");
        write(file, start);
        QString error;
        CsvFile csv;
        ASSERT_TRUE(csv.open(file, error)) << error.toStdString();
        EXPECT_EQ(read(file), CsvFile::kHeader);
    }
}

TEST_F(CsvTest, ShortWriteIsTakenBack)
{
    // A file size limit makes the kernel take only part of a row, as a full disk does.
    const QString file = path("r.csv");
    QString error;
    CsvFile csv;
    ASSERT_TRUE(csv.open(file, error));
    const QByteArray first = row(1);
    ASSERT_TRUE(csv.append(first, error));
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved = {};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(CsvFile::kHeader.size() + first.size() + 10);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool appended = csv.append(row(2), error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(appended);
    EXPECT_TRUE(error.contains(file)) << error.toStdString();
    EXPECT_EQ(read(file), CsvFile::kHeader + first);
}

TEST_F(CsvTest, OtherFilesAreLeftAlone)
{
    const QString file = path("notes.txt");
    for (const QByteArray& content : {QByteArray("shopping list\nmilk\n"), QByteArray("time,value\n1,2\n"),
             QByteArray("\x00\x01\x02garbage", 10), QByteArray("time,value,unit,counter_unit,level;extra\n")}) {
        write(file, content);
        QString error;
        CsvFile csv;
        EXPECT_FALSE(csv.open(file, error));
        EXPECT_TRUE(error.contains(file)) << error.toStdString();
        EXPECT_EQ(read(file), content);
    }
    QString error;
    CsvFile csv;
    EXPECT_FALSE(csv.open(path("no/such/folder/r.csv"), error));
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(CsvTest, OneRecorderPerFile)
{
    const QString file = path("r.csv");
    QString error;
    auto first = std::make_unique<CsvFile>();
    ASSERT_TRUE(first->open(file, error));
    CsvFile second;
    EXPECT_FALSE(second.open(file, error));
    EXPECT_TRUE(error.contains(QStringLiteral("another program"))) << error.toStdString();
    first.reset();
    CsvFile third;
    EXPECT_TRUE(third.open(file, error)) << error.toStdString();
    EXPECT_EQ(read(file), CsvFile::kHeader);
}

TEST_F(CsvTest, FormatAndOutputOptions)
{
    QStringList args = {QStringLiteral("--dose"), QStringLiteral("--format"), QStringLiteral("csv"), QStringLiteral("--output"),
        QStringLiteral("a b.csv"), QStringLiteral("--count"), QStringLiteral("3")};
    oqtool::CsvOptions options;
    QString error;
    ASSERT_TRUE(oqtool::takeCsvOptions(args, options, error));
    EXPECT_TRUE(options.csv);
    EXPECT_EQ(options.output, QStringLiteral("a b.csv"));
    EXPECT_EQ(args, (QStringList{QStringLiteral("--dose"), QStringLiteral("--count"), QStringLiteral("3")}));

    const QList<QStringList> bad = {{QStringLiteral("--format"), QStringLiteral("xml")}, {QStringLiteral("--format")},
        {QStringLiteral("--output=x.csv")}, {QStringLiteral("--format=text"), QStringLiteral("-o"), QStringLiteral("x")}};
    for (QStringList b : bad) {
        oqtool::CsvOptions o;
        error.clear();
        EXPECT_FALSE(oqtool::takeCsvOptions(b, o, error)) << b.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

// ---- Recording against the simulated counter

class CsvRecordingTest : public CsvTest {
protected:
    void SetUp() override
    {
        CsvTest::SetUp();
        oq::clock::setScale(0.01);
    }
    void TearDown() override
    {
        m_poll.stop();
        oq::sim::SimBus::instance().unplugAll();
        oq::clock::setScale(1.0);
        CsvTest::TearDown();
    }

    // Runs `action` once, as soon as the recorder says it waits for a counter.
    void whenWaiting(std::function<void()> action)
    {
        m_poll.disconnect();
        QObject::connect(&m_poll, &QTimer::timeout, [this, action] {
            if (g_err.contains(QStringLiteral("Waiting"))) {
                m_poll.stop();
                action();
            }
        });
        m_poll.start(1);
    }

    // A session with its simulated counter plugged in.
    static std::unique_ptr<oqtool::DeviceSession> simulatedSession()
    {
        oqtool::DeviceOptions options;
        options.simulate = true;
        return std::make_unique<oqtool::DeviceSession>(options);
    }

    // A counter whose n-th value line (from 1) reads n μSv/h, up to `values`; after that it
    // sends lines without a value.
    static void countUp(oq::sim::SimCounter& counter, int values = 200)
    {
        counter.updateConfig([values](oq::sim::CounterConfig& c) {
            c.profile.kind = oq::sim::ProfileSpec::Script;
            c.profile.script.clear();
            for (int i = 1; i <= values; ++i)
                c.profile.script << QStringLiteral("%1.0").arg(i);
            for (int i = 0; i < 200; ++i)
                c.profile.script << QStringLiteral("no value");
            c.valueInterval = 2.0;
        });
    }

    // Pulls the counter out once `rowsBefore` readings are on file and plugs it back in once the
    // recorder noticed; ends the recording with Ctrl-C if that never happens.
    void unplugAndReplug(const QString& file, const std::shared_ptr<oq::sim::SimCounter>& counter, int rowsBefore)
    {
        m_phase = Recording;
        m_poll.disconnect();
        QObject::connect(&m_poll, &QTimer::timeout, [this, file, counter, rowsBefore, started = QDateTime::currentDateTimeUtc()] {
            const int rows = int(read(file).count('\n')) - 1;
            if (m_phase == Recording && rows >= rowsBefore) {
                m_rowsAtUnplug = rows;
                counter->unplug();
                m_phase = Unplugged;
            } else if (m_phase == Unplugged && g_err.contains(QStringLiteral("unplugged"))) {
                oq::sim::SimBus::instance().plug(counter);
                m_phase = Replugged;
            } else if (started.msecsTo(QDateTime::currentDateTimeUtc()) > 30000) {
                m_poll.stop();
                std::raise(SIGINT);
            }
        });
        m_poll.start(1);
    }

    struct Row {
        QString time;
        double value;
        QString rest;
        QString counter;
    };
    // Every row of a well-formed recording; fails the test on anything else.
    static std::vector<Row> rows(const QByteArray& content)
    {
        std::vector<Row> result;
        EXPECT_TRUE(content.startsWith(CsvFile::kHeader));
        EXPECT_TRUE(content.endsWith('\n'));
        static const QRegularExpression shape(QStringLiteral(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z),(\d+(?:\.\d+)?),(μSv/h,Sv,(?:normal|warning|danger)),(12345|12346|777)$)"));
        const auto lines = QString::fromUtf8(content.mid(CsvFile::kHeader.size())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            const auto m = shape.match(line);
            EXPECT_TRUE(m.hasMatch()) << line.toStdString();
            if (m.hasMatch())
                result.push_back({m.captured(1), m.captured(2).toDouble(), m.captured(3), m.captured(4)});
        }
        return result;
    }

    // Splits the readings into runs that each count up from 1, and checks that none skips one.
    static std::vector<std::vector<int>> runsOf(const std::vector<Row>& rows)
    {
        std::vector<std::vector<int>> runs;
        for (const Row& r : rows) {
            const int v = int(r.value);
            if (v == 1)
                runs.emplace_back();
            if (runs.empty()) {
                ADD_FAILURE() << "recording starts with reading " << v;
                runs.emplace_back();
            }
            if (!runs.back().empty()) {
                EXPECT_EQ(v, runs.back().back() + 1) << "a reading went missing";
            }
            runs.back().push_back(v);
        }
        return runs;
    }

    QTimer m_poll;
    enum { Recording, Unplugged, Replugged } m_phase = Recording;
    int m_rowsAtUnplug = 0;
};

TEST_F(CsvRecordingTest, UnplugAndReplugMidStreamLosesNoReading)
{
    const QString file = path("r.csv");
    auto session = simulatedSession();
    const auto counter = session->simulatedCounter();
    ASSERT_TRUE(counter);
    countUp(*counter);
    unplugAndReplug(file, counter, 4);

    EXPECT_EQ(oqtool::runCsvWatch(*session, {true, file}, 1, 9), 0) << g_err.toStdString();
    EXPECT_EQ(m_phase, Replugged);
    EXPECT_TRUE(g_err.contains(QStringLiteral("is back"))) << g_err.toStdString();

    const auto recorded = rows(read(file));
    ASSERT_EQ(recorded.size(), 9u);
    const auto runs = runsOf(recorded);
    ASSERT_EQ(runs.size(), 2u) << "the recording did not go on after the replug";
    EXPECT_GE(int(runs[0].size()), m_rowsAtUnplug);
    for (size_t i = 1; i < recorded.size(); ++i)
        EXPECT_LE(recorded[i - 1].time, recorded[i].time);
}

TEST_F(CsvRecordingTest, LastReadingBeforeTheUnplugIsKept)
{
    // Each attachment sends exactly four readings, then goes on streaming lines without one.
    const QString file = path("r.csv");
    auto session = simulatedSession();
    const auto counter = session->simulatedCounter();
    countUp(*counter, 4);
    unplugAndReplug(file, counter, 4);

    EXPECT_EQ(oqtool::runCsvWatch(*session, {true, file}, 1, 8), 0) << g_err.toStdString();
    EXPECT_EQ(runsOf(rows(read(file))), (std::vector<std::vector<int>>{{1, 2, 3, 4}, {1, 2, 3, 4}}));
}

// A recording all day sleeps until something happens: its event loop wakes for the readings and
// the device's changes, never on a timer of its own (one of 10 ms woke it 100 times a second).
TEST_F(CsvRecordingTest, SleepsBetweenReadings)
{
    oq::clock::setScale(0.15); // readings 2 s apart: 0.3 s of real time for a timer to tick in
    const QString file = path("r.csv");
    auto session = simulatedSession();
    countUp(*session->simulatedCounter());
    int wakeUps = 0;
    const auto counting = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, [&] { ++wakeUps; });
    constexpr int kReadings = 4;
    EXPECT_EQ(oqtool::runCsvWatch(*session, {true, file}, 1, kReadings), 0) << g_err.toStdString();
    QObject::disconnect(counting);
    EXPECT_EQ(rows(read(file)).size(), size_t(kReadings));
    EXPECT_LT(wakeUps, 12 * kReadings);
}

TEST_F(CsvRecordingTest, WaitsForACounterAndRestartContinuesTheFile)
{
    const QString file = path("r.csv");
    {
        auto first = simulatedSession();
        countUp(*first->simulatedCounter());
        ASSERT_EQ(oqtool::runCsvWatch(*first, {true, file}, 1, 2), 0) << g_err.toStdString();
    }
    // Second run: no counter at first.
    oq::sim::SimBus::instance().unplugAll();
    auto session = simulatedSession();
    const auto counter = session->simulatedCounter();
    countUp(*counter);
    oq::sim::SimBus::instance().unplugAll();
    whenWaiting([&] { oq::sim::SimBus::instance().plug(counter); });
    ASSERT_EQ(oqtool::runCsvWatch(*session, {true, file}, 1, 2), 0) << g_err.toStdString();
    EXPECT_TRUE(g_err.contains(QStringLiteral("Counter found"))) << g_err.toStdString();

    const auto content = read(file);
    EXPECT_EQ(content.count(CsvFile::kHeader.trimmed()), 1);
    const auto runs = runsOf(rows(content));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1], (std::vector<int>{1, 2}));
}

// The recording service's case: counters on the bus come and go while the others are recorded.
// One is pulled out and plugged in again, a third arrives late; each counter's rows count up
// without a gap, carry its serial number, and --count is per counter, across the replug.
TEST_F(CsvRecordingTest, CountersComeAndGoWhileTheOthersAreRecorded)
{
    const QString file = path("r.csv");
    oqtool::DeviceOptions options;
    options.simulate = 2;
    oqtool::DeviceSession session(options);
    auto& bus = oq::sim::SimBus::instance();
    const auto plugged = bus.entries();
    ASSERT_EQ(plugged.size(), 2u);
    oq::sim::CounterConfig late;
    late.serial = QStringLiteral("777");
    const auto third = std::make_shared<oq::sim::SimCounter>(late);
    for (const auto& counter : {plugged[0].counter, plugged[1].counter, third})
        countUp(*counter);
    int phase = 0;
    QObject::connect(&m_poll, &QTimer::timeout, [&] {
        const QByteArray rows = read(file);
        if (phase == 0 && rows.count(",12346\n") >= 2 && ++phase)
            plugged[1].counter->unplug();
        else if (phase == 1 && g_err.contains(QStringLiteral("unplugged")) && ++phase)
            bus.plug(third);
        else if (phase == 2 && rows.count(",777\n") >= 2 && ++phase)
            bus.plug(plugged[1].counter);
    });
    m_poll.start(1);
    EXPECT_EQ(oqtool::runCsvWatch(session, {true, file}, 1, 6), 0) << g_err.toStdString();
    EXPECT_EQ(phase, 3) << g_err.toStdString();
    std::map<QString, std::vector<Row>> byCounter;
    for (const Row& r : rows(read(file)))
        byCounter[r.counter].push_back(r);
    ASSERT_EQ(byCounter.size(), 3u) << g_err.toStdString();
    for (const auto& [counter, rowsOfCounter] : byCounter) {
        EXPECT_EQ(rowsOfCounter.size(), 6u) << counter.toStdString() << read(file).constData();
        EXPECT_EQ(runsOf(rowsOfCounter).size(), counter == QLatin1String("12346") ? 2u : 1u) << counter.toStdString();
    }
}

TEST_F(CsvRecordingTest, InterruptWhileWaitingEndsCleanly)
{
    const QString file = path("r.csv");
    auto session = simulatedSession();
    oq::sim::SimBus::instance().unplugAll();
    whenWaiting([] { std::raise(SIGINT); });
    EXPECT_EQ(oqtool::runCsvWatch(*session, {true, file}, 1, -1), 0);
    EXPECT_EQ(read(file), CsvFile::kHeader);
}

} // namespace
