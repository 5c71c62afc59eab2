// The device commands of oqtool, run as separate processes against a simulated counter: in
// process (--simulate), served by oq-counter-sim on a pseudo-terminal, or served by this test.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <csignal>

#include "common/ForeignDatabase.h"
#include "common/OtherUser.h"
#include "common/SimCounters.h"
#include "history/HistoryDatabase.h"
#include "common/TestUtil.h"
#include "platform/Clock.h"
#include "refusing_port.h"
#include "sim/SimCounter.h"
#include "sim/SimPty.h"
#include "sim/dump/DumpWriter.h"

namespace {

// Both sides run their waits this much faster than real time.
const QString kScale = QStringLiteral("0.05");

QProcessEnvironment environment(const QString& locale = QStringLiteral("en_US.UTF-8"), const QString& scale = kScale)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OQ_CLOCK_SCALE"), scale);
    env.insert(QStringLiteral("LANG"), locale);
    env.insert(QStringLiteral("LC_ALL"), locale);
    // Thresholds and units from the defaults, not the user's settings; removed when the tests end.
    static const QTemporaryDir config;
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.insert(QStringLiteral("OQ_MQTT_PASSWORD"), QStringLiteral("secret"));
    return env;
}

struct ToolRun {
    int exitCode = -1;
    QByteArray out, err;
};

ToolRun oqtool(const QStringList& args, const QString& locale = QStringLiteral("en_US.UTF-8"), const QString& scale = kScale,
    const QString& outputFile = {})
{
    QProcess p;
    p.setProcessEnvironment(environment(locale, scale));
    if (!outputFile.isEmpty())
        p.setStandardOutputFile(outputFile);
    p.start(QStringLiteral(OQTOOL_PATH), args);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(60000)) << args.join(' ').toStdString();
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}

QStringList lines(const QByteArray& text) { return QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts); }

// oq-counter-sim serving one counter on a pseudo-terminal.
class CounterSimProcess {
public:
    explicit CounterSimProcess(QStringList args, const QString& scale = kScale)
    {
        args << QStringLiteral("--time-scale") << scale;
        m_process.start(QStringLiteral(COUNTER_SIM_PATH), args);
        // One path a line, one line per counter, all at once.
        if (m_process.waitForReadyRead(10000)) {
            while (m_process.canReadLine())
                m_paths << QString::fromUtf8(m_process.readLine()).trimmed();
        }
        m_path = m_paths.value(0);
    }
    ~CounterSimProcess() { stop(); }
    const QString& path() const { return m_path; }
    const QStringList& paths() const { return m_paths; }
    // Stops it; what it said on standard error.
    QByteArray stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
        }
        return m_process.readAllStandardError();
    }

private:
    QProcess m_process;
    QString m_path;
    QStringList m_paths;
};

TEST(OqtoolWatch, SimulatedCounterPrintsFiveReadings)
{
    const ToolRun r = oqtool({"watch", "--simulate", "--count", "5"});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QStringList shown = lines(r.out);
    ASSERT_EQ(shown.size(), 5) << r.out.constData();
    for (const QString& text : shown) {
        EXPECT_FALSE(text.contains(QChar(0x1b))) << "no colours outside a terminal";
        EXPECT_TRUE(text.endsWith(QStringLiteral("Sv/h"))) << text.toStdString();
    }
}

// Readings watched and a protocol downloaded twice land in the history database once, and
// `oqtool history` prints them with a decimal point in a decimal-comma locale. The counter is
// fast, so many lines arrive in one poll: each reading keeps the time its line was read, in the
// CSV rows and the history alike, and every one is stored.
TEST(OqtoolHistory, WatchedReadingsAndADownloadedProtocolArePrintedOnce)
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("history.sqlite3"));
    CounterSimProcess sim({"--interval", "0.002", "--profile", "walk:3"});
    const ToolRun watch = oqtool({"watch", "--port", sim.path(), "--count", "300", "--db", db, "--format", "csv"});
    ASSERT_EQ(watch.exitCode, 0) << watch.err.constData();
    QStringList csvTimes;
    for (const QString& row : lines(watch.out).mid(1))
        csvTimes << row.section(QLatin1Char(','), 0, 0);
    for (int i = 0; i < 2; ++i) {
        const ToolRun download = oqtool({"download", "--simulate", "--db", db, "-o", dir.filePath(QStringLiteral("p.dump"))});
        ASSERT_EQ(download.exitCode, 0) << download.err.constData();
    }
    // Another user's link in a shared folder, to a file of ours: refused, the file untouched.
    if (oq::test::canActAsOtherUser()) {
        const QByteArray link = QFile::encodeName(oq::test::sharedFolder(dir.path()) + QStringLiteral("/p.dump"));
        const QByteArray victim = QFile::encodeName(dir.filePath(QStringLiteral("history.sqlite3")));
        ASSERT_TRUE(oq::test::asOtherUser([&] { return ::symlink(victim.constData(), link.constData()) == 0; }));
        const ToolRun refused = oqtool({"download", "--simulate", "-o", QFile::decodeName(link)});
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_TRUE(refused.err.contains("symbolic link of another user")) << refused.err.constData();
    }
    const ToolRun all = oqtool({"history", "--db", db, "--format", "json"}, QStringLiteral("de_DE.UTF-8"));
    ASSERT_EQ(all.exitCode, 0) << all.err.constData();
    const QJsonArray rows = QJsonDocument::fromJson(all.out).array();
    QStringList live;
    int protocol = 0;
    for (const auto& row : rows) {
        const QJsonObject o = row.toObject();
        if (o.value("source").toString() == QLatin1String("live"))
            live << o.value("time").toString();
        else
            ++protocol;
        EXPECT_EQ(o.value("counter").toString(), QStringLiteral("12345"));
    }
    EXPECT_EQ(live, csvTimes);
    EXPECT_EQ(QSet<QString>(live.begin(), live.end()).size(), 300) << "readings read at once share a time";
    EXPECT_GT(protocol, 0);
    const ToolRun hours = oqtool({"history", "--db", db, "--bucket", "hour", "--from", "-1d"}, QStringLiteral("de_DE.UTF-8"));
    ASSERT_EQ(hours.exitCode, 0) << hours.err.constData();
    const QStringList csv = lines(hours.out);
    ASSERT_GE(csv.size(), 2) << hours.out.constData();
    EXPECT_EQ(csv[0], QStringLiteral("counter,source,start,unit,count,min,mean,max"));
    EXPECT_TRUE(csv.last().contains(QStringLiteral(",live,"))) << hours.out.constData();
    EXPECT_TRUE(csv.last().contains(QStringLiteral(",0."))) << hours.out.constData();

    // What the database refuses fails the run, with how much was lost.
    {
        QString problem;
        auto file = oq::history::Database::open(db, oq::history::Access::Write, &problem);
        ASSERT_TRUE(file) << problem.toStdString();
        for (const char* table : {"readings", "intervals"}) {
            ASSERT_TRUE(file->exec(QStringLiteral("CREATE TRIGGER refuse_%1 BEFORE INSERT ON %1"
                                                  " BEGIN SELECT RAISE(ABORT, 'refused'); END").arg(QLatin1String(table))));
        }
    }
    const struct {
        QStringList args;
        const char* said;
    } refusals[] = {
        {{"watch", "--simulate", "--count", "4", "--db", db}, "4 readings were not stored"},
        {{"watch", "--simulate", "--count", "4", "--format", "csv", "--db", db}, "4 readings were not stored"},
        {{"download", "--simulate", "--db", db}, "intervals of the protocol were not stored"},
    };
    for (const auto& r : refusals) {
        const ToolRun run = oqtool(r.args);
        EXPECT_EQ(run.exitCode, 1) << r.args.join(' ').toStdString() << run.err.constData();
        EXPECT_TRUE(run.err.contains(r.said)) << run.err.constData();
    }
}

TEST(OqtoolHistory, AnotherProgramsDatabaseIsRefusedAndLeftAlone)
{
    QTemporaryDir dir;
    const QString foreign = dir.filePath(QStringLiteral("notes.sqlite3"));
    const QByteArray before = writeForeignDatabase(foreign);
    ASSERT_FALSE(before.isEmpty());
    for (const QStringList& args : {QStringList{"watch", "--simulate", "--count", "2", "--db", foreign},
             QStringList{"download", "--simulate", "--db", foreign}, QStringList{"history", "--db", foreign}}) {
        const ToolRun run = oqtool(args);
        EXPECT_EQ(run.exitCode, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(run.out.isEmpty()) << run.out.constData();
        EXPECT_TRUE(run.err.contains("not a history database")) << run.err.constData();
    }
    QFile file(foreign);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("notes.sqlite3")});
}

// Several counters in one run: each reading names its counter (serial number) in the CSV file, the
// history and on standard output; a recording begun before there was a counter column goes on in
// its own layout; a counter pulled out ends only its own reading; the one-counter commands refuse
// to guess which counter is meant.
TEST(OqtoolWatch, EveryCounterIsReadAndEachReadingNamesItsCounter)
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("history.sqlite3")), csv = dir.filePath(QStringLiteral("r.csv"));
    const ToolRun three = oqtool({"watch", "--simulate", "3", "--format", "csv", "--db", db, "--count", "4", "-o", csv});
    ASSERT_EQ(three.exitCode, 0) << three.err.constData();
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList rows = lines(file.readAll());
    file.close();
    ASSERT_EQ(rows.value(0), QStringLiteral("time,value,unit,counter_unit,level,counter"));
    QMap<QString, int> csvRows, historyRows;
    for (const QString& row : rows.mid(1))
        ++csvRows[row.section(QLatin1Char(','), 5)];
    const ToolRun history = oqtool({"history", "--db", db, "--format", "json"});
    for (const auto& row : QJsonDocument::fromJson(history.out).array())
        ++historyRows[row.toObject().value("counter").toString()];
    const QMap<QString, int> fourEach{{"12345", 4}, {"12346", 4}, {"12347", 4}};
    EXPECT_EQ(csvRows, fourEach);
    EXPECT_EQ(historyRows, fourEach);

    // Continued by a later run: still six columns a row, and one header.
    const QByteArray oldHeader = "time,value,unit,counter_unit,level\n", oldRow = "2026-01-01T00:00:00.000Z,0.1,μSv/h,Sv,normal\n";
    const QString old = dir.filePath(QStringLiteral("old.csv"));
    QFile oldFile(old);
    ASSERT_TRUE(oldFile.open(QIODevice::WriteOnly) && oldFile.write(oldHeader + oldRow) > 0);
    oldFile.close();
    for (const QString& path : {csv, old}) {
        const ToolRun again = oqtool({"watch", "--simulate", "2", "--format", "csv", "--count", "2", "-o", path});
        ASSERT_EQ(again.exitCode, 0) << again.err.constData();
        EXPECT_EQ(again.err.count("without the counter column"), path == old ? 1 : 0) << again.err.constData();
        QFile continued(path);
        ASSERT_TRUE(continued.open(QIODevice::ReadOnly));
        const QStringList all = lines(continued.readAll());
        EXPECT_EQ(all.size(), path == old ? 6 : 17);
        for (const QString& row : all)
            EXPECT_EQ(row.count(QLatin1Char(',')), path == old ? 4 : 5) << row.toStdString();
    }

    // Two counters of one oq-counter-sim, and one of another that is pulled out after a few lines;
    // its serial would retitle and clear the terminal if printed as it came.
    CounterSimProcess two({"--counters", "2", "--serial", "A7", "--profile", "constant:1.5"});
    CounterSimProcess leaving({"--serial", "B1\x1b]0;PWNED\a\x1b[2J", "--unplug-after-lines", "6", "--profile", "constant:0.5"});
    ASSERT_EQ(two.paths().size(), 2);
    const ToolRun watch = oqtool({"watch", "--port", two.paths()[0], "--port", two.paths()[1], "--port", leaving.path(), "--count", "8"});
    EXPECT_EQ(watch.exitCode, 0) << watch.err.constData();
    QMap<QString, QStringList> shown;
    for (const QString& line : lines(watch.out))
        shown[line.section(QStringLiteral(": "), 0, 0)] << line.section(QStringLiteral(": "), 1);
    EXPECT_EQ(shown.take("A7"), QStringList(8, QStringLiteral("1.500 μSv/h")));
    EXPECT_EQ(shown.take("A8"), QStringList(8, QStringLiteral("1.500 μSv/h")));
    const QString b1Shown = QStringLiteral("B1\\x1b]0;PWNED\\x07\\x1b[2J");
    const QStringList b1 = shown.take(b1Shown);
    EXPECT_LT(b1.size(), 8);
    EXPECT_EQ(b1, QStringList(b1.size(), QStringLiteral("0.500 μSv/h")));
    EXPECT_TRUE(shown.isEmpty()) << watch.out.constData();
    EXPECT_TRUE(watch.err.contains((b1Shown + ": The counter was unplugged; the others are read on.").toUtf8())) << watch.err.constData();
    EXPECT_FALSE(watch.out.contains('\x1b') || watch.err.contains('\x1b'));

    const ToolRun info = oqtool({"info", "--port", two.paths()[0], "--port", two.paths()[1]});
    EXPECT_EQ(info.exitCode, 2);
    EXPECT_TRUE(info.err.contains("give --port once")) << info.err.constData();
}

TEST(OqtoolWatch, DoseInRemOverOqCounterSim)
{
    CounterSimProcess sim({"--unit", "rem", "--profile", "constant:1.5"});
    ASSERT_FALSE(sim.path().isEmpty());
    const ToolRun r = oqtool({"watch", "--port", sim.path(), "--count", "5", "--rate", "--unit", "rem"});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(lines(r.out), QStringList(5, QStringLiteral("150.0 μrem/h")));
}

// The simulated counter's walk passes danger, then warning, each time back to normal: the command
// runs once per change told, in both output forms and in a decimal-comma locale, with the reading
// in its environment, and what it prints stays off standard output. Commands may overlap and end
// in any order, so each keeps its environment in a file of its own and the changes are put in the
// order of their OQ_TIME.
TEST(OqtoolWatch, AlertCommandRunsOncePerLevelChange)
{
    QTemporaryDir dir;
    for (const bool csv : {false, true}) {
        const QString folder = dir.filePath(csv ? QStringLiteral("csv-alerts") : QStringLiteral("text-alerts"));
        ASSERT_TRUE(QDir().mkpath(folder));
        QStringList args{"watch", "--simulate", "--count", "200", "--alert-command",
            QStringLiteral("echo alert-said $OQ_LEVEL; env > \"$(mktemp '%1/alert.XXXXXX')\"").arg(folder)};
        if (csv)
            args << "--format" << "csv";
        const ToolRun r = oqtool(args, QStringLiteral("de_DE.UTF-8"), QStringLiteral("0.02"));
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        EXPECT_EQ(lines(r.out).size(), csv ? 201 : 200);
        EXPECT_FALSE(r.out.contains("alert-said"));
        EXPECT_EQ(r.err.count("alert-said"), 5) << r.err.constData();

        QMap<QString, QString> levelByTime;
        for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::Files)) {
            QFile f(entry.filePath());
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            QString level;
            QString time;
            for (const QString& line : lines(f.readAll())) {
                if (line.startsWith(QStringLiteral("OQ_LEVEL="))) {
                    level = line.mid(9);
                } else if (line.startsWith(QStringLiteral("OQ_TIME="))) {
                    time = line.mid(8);
                } else if (line.startsWith(QStringLiteral("OQ_VALUE="))) {
                    EXPECT_TRUE(QRegularExpression(QStringLiteral("^OQ_VALUE=[0-9]+\\.[0-9]+$")).match(line).hasMatch()) << line.toStdString();
                } else if (line.startsWith(QStringLiteral("OQ_UNIT="))) {
                    EXPECT_EQ(line, QStringLiteral("OQ_UNIT=μSv/h"));
                } else if (line.startsWith(QStringLiteral("OQ_COUNTER="))) {
                    EXPECT_EQ(line, QStringLiteral("OQ_COUNTER=12345"));
                }
                EXPECT_FALSE(line.startsWith(QStringLiteral("OQ_MQTT_PASSWORD="))) << "the broker's password is oqtool's alone";
            }
            EXPECT_FALSE(time.isEmpty());
            EXPECT_FALSE(levelByTime.contains(time)) << time.toStdString();
            levelByTime.insert(time, level);
        }
        EXPECT_EQ(levelByTime.values(), QStringList({"warning", "danger", "normal", "warning", "normal"})) << (csv ? "csv" : "text");
    }
}

// A process that is gone, or a zombie no one has reaped yet.
bool processAlive(const QByteArray& pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid.trimmed())));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray fields = stat.readAll();
    return !fields.mid(fields.lastIndexOf(')') + 2).startsWith('Z');
}

// 18 s of danger 40 s after the last danger alarm is told, although the first danger's command
// hangs in a grandchild that ignores SIGTERM and holds oqtool's standard error: that command is
// stopped at its time limit, group and all, the later changes are told, and the log says what
// happened in words.
TEST(OqtoolWatch, NewDangerIsToldWhileAnEarlierAlertCommandHangs)
{
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("rates")));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    const auto readings = [&](int count, const char* rate) {
        for (int i = 0; i < count; ++i)
            script.write(QByteArray(rate) + '\n');
    };
    readings(3, "20");   // danger, told at the third
    readings(37, "0.1"); // normal
    readings(18, "20");  // danger again, 40 s after the first was told
    readings(20, "0.1");
    script.close();
    CounterSimProcess sim({"--profile", "script:" + script.fileName()});
    ASSERT_FALSE(sim.path().isEmpty());

    const QString told = dir.filePath(QStringLiteral("told")), grandchild = dir.filePath(QStringLiteral("grandchild"));
    const QString command = QStringLiteral(
        "echo $OQ_LEVEL >> '%1'; if [ $OQ_LEVEL = danger ] && [ ! -e '%2' ]; then "
        "(trap '' TERM; exec sleep 300) & echo $! > '%2'; wait; fi").arg(told, grandchild);
    const ToolRun r = oqtool({"watch", "--port", sim.path(), "--count", "78", "--alert-timeout", "0.5", "--alert-command", command},
        QStringLiteral("C.UTF-8"));
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    QFile toldFile(told), pidFile(grandchild);
    ASSERT_TRUE(toldFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(lines(toldFile.readAll()).join(' ').toStdString(), "danger normal danger normal");
    EXPECT_EQ(r.err.count("The alert command timed out after 0.5 s and was stopped"), 1) << r.err.constData();
    EXPECT_FALSE(r.err.contains("crashed")) << r.err.constData();
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const QByteArray pid = pidFile.readAll();
    EXPECT_TRUE(oq::test::waitUntil([&] { return !processAlive(pid); }, 10)) << "the grandchild outlived oqtool";

    EXPECT_EQ(oqtool({"watch", "--alert-timeout", "0", "--alert-command", "true"}).exitCode, 2);
}

// The ends of an alert command: what it left in the background goes at its time limit, one that
// ignores SIGTERM is killed after a grace instead of holding oqtool's exit for its whole run, and a
// command that cannot be run fails the run and says so.
TEST(OqtoolWatch, AlertCommandsEndWithTheirGroupAndOnesThatCannotRunFailTheRun)
{
    QTemporaryDir dir;
    const QString pid = dir.filePath(QStringLiteral("pid")), rates = dir.filePath(QStringLiteral("rates"));
    QFile file(rates); // danger from the third reading on: one alert
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("20\n20\n20\n20\n20\n20\n") > 0);
    file.close();
    const struct {
        QString command;
        const char* timeout;
        int exitCode;
        const char* said;
    } cases[] = {
        {QStringLiteral("sleep 300 & echo $! > '%1'; exit 0").arg(pid), "0.5", 0, ""},
        {QStringLiteral("trap '' TERM; sleep 300 & echo $! > '%1'; wait").arg(pid), "1000", 0, "still running at the end"},
        {rates, "1000", 1, "could not be run"}, // not executable
    };
    for (const auto& c : cases) {
        QFile::remove(pid);
        CounterSimProcess sim({"--profile", "script:" + rates});
        const ToolRun r = oqtool({"watch", "--port", sim.path(), "--count", "6", "--alert-timeout", c.timeout, "--alert-command",
            c.command, "--format", "csv"});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.command.toStdString() << r.err.constData();
        EXPECT_TRUE(r.err.contains(c.said)) << r.err.constData();
        QFile pidFile(pid);
        const QByteArray child = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll() : QByteArray();
        EXPECT_TRUE(oq::test::waitUntil([&] { return child.isEmpty() || !processAlive(child); }, 2)) << c.command.toStdString();
    }
}

// A full disk under standard output is an error, whatever the command writes there.
TEST(OqtoolOutput, AFailedWriteToStandardOutputIsExitStatusOne)
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("history.sqlite3"));
    for (const QStringList& args : {QStringList{"info", "--simulate"}, QStringList{"watch", "--simulate", "--count", "3"},
             QStringList{"watch", "--simulate", "--count", "3", "--db", db}, QStringList{"download", "--simulate"},
             QStringList{"history", "--db", db}, QStringList{"--help"}}) {
        const ToolRun r = oqtool(args, QStringLiteral("en_US.UTF-8"), kScale, QStringLiteral("/dev/full"));
        EXPECT_EQ(r.exitCode, 1) << args.join(' ').toStdString() << r.err.constData();
        EXPECT_TRUE(r.err.contains("standard output: No space left on device")) << r.err.constData();
    }
}

// A wrong command line is a usage error (2); a web page that cannot be served safely ends the run
// (1) with its reason, before any counter is opened.
TEST(OqtoolWatch, BadArgumentsAreAUsageError)
{
    QTemporaryDir dir;
    const auto token = [&](const char* name, const QByteArray& text, QFile::Permissions mode) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
        f.setPermissions(mode);
        return f.fileName();
    };
    const QString good = token("good", "0f1e2d3c4b5a69788796a5b4\n", QFile::ReadOwner | QFile::WriteOwner);
    const QString loose = token("loose", "0f1e2d3c4b5a69788796a5b4", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    const QString shortToken = token("short", "short", QFile::ReadOwner | QFile::WriteOwner);
    const QString port = dir.filePath("no-such-tty");
    const struct {
        QStringList args;
        int exitCode;
        const char* says;
    } cases[] = {
        {{"--unit", "gray"}, 2, ""},
        {{"--count", "0"}, 2, ""},
        {{"--simulate", "--port", "/dev/null"}, 2, ""},
        {{"--simulate", "65"}, 2, "from 1 to 64"}, // the window's limit too
        {{"--http", "localhost:80"}, 2, "no [ADDRESS:]PORT"},
        {{"--http", "70000"}, 2, "no [ADDRESS:]PORT"},
        {{"--http-token-file", good}, 2, "need --http"},
        {{"--http", "0.0.0.0:0", "--port", port}, 1, "--http-token-file"},
        {{"--http", "0", "--http-token-file", loose, "--port", port}, 1, "chmod 600"},
        {{"--http", "0", "--http-token-file", shortToken, "--port", port}, 1, "at least"},
        {{"--http", "0", "--http-token-file", good, "--http-cert", good, "--port", port}, 1, "--http-key"},
    };
    for (const auto& c : cases) {
        const ToolRun r = oqtool(QStringList{"watch"} + c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.join(' ').toStdString() << r.err.constData();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.constData();
        EXPECT_FALSE(r.err.contains("no-such-tty")) << "a counter was opened: " << r.err.constData();
    }
    const ToolRun help = oqtool({"watch", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--simulate") && help.out.contains("--http-token-file"));
}

// In both output forms: a counter that falls silent is told once on standard error, and once
// more when its readings return; Ctrl-C then stops the counter before oqtool exits.
TEST(OqtoolWatch, SilenceIsToldOnceEachWayAndCtrlCStopsTheCounterBeforeExiting)
{
    oq::clock::setScale(kScale.toDouble());
    for (const char* format : {"text", "csv"}) {
        SCOPED_TRACE(format);
        auto counter = std::make_shared<oq::sim::SimCounter>();
        oq::sim::SimPty pty(counter);
        ASSERT_TRUE(pty.start());
        QProcess p;
        p.setProcessEnvironment(environment(QStringLiteral("de_DE.UTF-8")));
        p.start(QStringLiteral(OQTOOL_PATH), {"watch", "--port", pty.path(), "--format", format});
        ASSERT_TRUE(p.waitForStarted());
        QByteArray out, err;
        const auto until = [&](auto done) {
            return oq::test::waitUntil([&] { return (out += p.readAllStandardOutput(), err += p.readAllStandardError(), done()) || p.state() != QProcess::Running; }, 30);
        };
        ASSERT_TRUE(until([&] { return out.count('\n') >= 3; }));
        counter->updateConfig([](auto& c) { c.faults.silent = true; });
        ASSERT_TRUE(until([&] { return err.contains("counter silent"); }));
        counter->updateConfig([](auto& c) { c.faults.silent = false; });
        ASSERT_TRUE(until([&] { return err.contains("readings resumed"); }));
        ASSERT_EQ(p.state(), QProcess::Running) << err.constData();
        ::kill(pid_t(p.processId()), SIGINT);
        ASSERT_TRUE(p.waitForFinished(30000));
        err += p.readAllStandardError();
        EXPECT_EQ(p.exitCode(), 0) << err.constData();
        EXPECT_EQ(err.count("oqtool watch: counter silent: no reading for more than 5 s\n"), 1) << err.constData();
        EXPECT_EQ(err.count("oqtool watch: counter readings resumed\n"), 1) << err.constData();
        EXPECT_EQ(counter->commandLog().last(), "X");
        EXPECT_EQ(counter->mode(), oq::sim::Mode::Idle);
        pty.stop();
    }
    oq::clock::setScale(1.0);
}

// A recording on a --port path whose counter leaves and another one appears there: the newcomer is
// greeted as a new counter, not as the one that left, and its rows carry its own serial.
TEST(OqtoolWatch, AnotherCounterAtTheSamePortIsANewCounter)
{
    oq::clock::setScale(kScale.toDouble());
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("counter"));
    auto config = oq::test::steadyCounter(0.2);
    auto first = std::make_unique<oq::sim::SimPty>(std::make_shared<oq::sim::SimCounter>(config));
    ASSERT_TRUE(first->start());
    ASSERT_TRUE(QFile::link(first->path(), link));
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(QStringLiteral(OQTOOL_PATH), {"watch", "--port", link, "--format", "csv", "--count", "6"});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out, err;
    const auto until = [&](auto done) {
        return oq::test::waitUntil([&] { return (out += p.readAllStandardOutput(), err += p.readAllStandardError(), done()) || p.state() != QProcess::Running; }, 30);
    };
    ASSERT_TRUE(until([&] { return out.count(",10423\n") >= 2; })) << err.constData();
    first.reset();
    ASSERT_TRUE(until([&] { return err.contains("Waiting"); })) << err.constData();
    config.serial = QStringLiteral("55501");
    oq::sim::SimPty second(std::make_shared<oq::sim::SimCounter>(config));
    ASSERT_TRUE(second.start());
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(second.path(), link));
    ASSERT_TRUE(p.waitForFinished(30000));
    out += p.readAllStandardOutput();
    err += p.readAllStandardError();
    EXPECT_EQ(p.exitCode(), 0) << err.constData();
    EXPECT_TRUE(err.contains("Counter found")) << err.constData();
    EXPECT_FALSE(err.contains("is back")) << err.constData();
    EXPECT_EQ(out.count(",55501\n"), 6) << out.constData();
    oq::clock::setScale(1.0);
}

TEST(OqtoolInfo, PrintsTheRecordAndSetClockChangesIt)
{
    const ToolRun info = oqtool({"info", "--simulate"});
    ASSERT_EQ(info.exitCode, 0) << info.err.constData();
    const QJsonObject o = QJsonDocument::fromJson(info.out).object();
    EXPECT_EQ(o.value("firmwareVersion").toString(), "7.14Lb07");
    EXPECT_TRUE(o.value("protocolLength").isDouble());
    EXPECT_TRUE(o.value("hasOnline").toBool());

    const ToolRun clock = oqtool({"set-clock", "--simulate", "--date", "2025-01-01T08:05:09"});
    ASSERT_EQ(clock.exitCode, 0) << clock.err.constData();
    EXPECT_TRUE(clock.out.startsWith("2025-01-01T08:0")) << clock.out.constData();

    EXPECT_EQ(oqtool({"set-clock", "--simulate", "--date", "yesterday"}).exitCode, 2);
}

TEST(OqtoolInfo, NoCounterIsAFailure)
{
    const ToolRun r = oqtool({"info", "--port", "/nonexistent/tty"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("Driver Error")) << r.err.constData();
}

// A headless user not in the port's group: the driver's "device not found" is followed by the cause.
TEST(OqtoolInfo, PortThatRefusesAccessNamesTheCause)
{
    const oq::test::RefusingPort refusing;
    const QByteArray& port = refusing.path();
    ASSERT_FALSE(port.isEmpty());
    const bool root = refusing.root();
    QStringList command{QStringLiteral(OQTOOL_PATH), "info", "--port", QString::fromLatin1(port)};
    if (root) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            GTEST_SKIP() << "setpriv is needed to run oqtool without root";
        command = QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    }
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(command.takeFirst(), command);
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 1) << err.toStdString();
    EXPECT_TRUE(err.contains("Driver Error: device not found\nCannot open " + port + ": Permission denied"))
        << err.toStdString();
}

// One program per counter: a second one fails at once, names the holder, sends nothing, and the
// first one's readings go on.
TEST(OqtoolInfo, CounterInUseIsRefusedAndTheFirstProgramGoesOn)
{
    oq::clock::setScale(kScale.toDouble());
    auto counter = std::make_shared<oq::sim::SimCounter>(oq::test::steadyCounter(1.5));
    oq::sim::SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    QProcess watch;
    watch.setProcessEnvironment(environment());
    watch.start(QStringLiteral(OQTOOL_PATH), {"watch", "--port", pty.path()});
    ASSERT_TRUE(watch.waitForStarted());
    QByteArray shown;
    const auto readingsAtLeast = [&](int n) {
        return oq::test::waitUntil([&] {
            shown += watch.readAllStandardOutput();
            return shown.count('\n') >= n || watch.state() != QProcess::Running;
        }, 30) && watch.state() == QProcess::Running;
    };
    ASSERT_TRUE(readingsAtLeast(2)) << watch.readAllStandardError().constData();
    const QStringList commands = counter->commandLog();

    const ToolRun second = oqtool({"info", "--port", pty.path()});
    EXPECT_EQ(second.exitCode, 1);
    const QString expected = QStringLiteral("%1 is in use by oqtool (pid %2)").arg(pty.path()).arg(watch.processId());
    EXPECT_TRUE(QString::fromUtf8(second.err).contains(expected)) << second.err.constData();
    EXPECT_EQ(counter->commandLog(), commands) << "the second program sent something";

    const int before = int(shown.count('\n'));
    ASSERT_TRUE(readingsAtLeast(before + 3)) << watch.readAllStandardError().constData();
    EXPECT_EQ(lines(shown), QStringList(lines(shown).size(), QStringLiteral("1.500 μSv/h")));
    ::kill(pid_t(watch.processId()), SIGINT);
    ASSERT_TRUE(watch.waitForFinished(30000));
    EXPECT_EQ(watch.exitCode(), 0);
    pty.stop();
    oq::clock::setScale(1.0);
}

class OqtoolDownload : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    // A stored dump of `counts` one-minute counts for the counter to hold.
    QString writeCounterDump(int counts)
    {
        oq::sim::DumpSpec spec;
        spec.events = {oq::sim::DumpEvent::interval(60), oq::sim::DumpEvent::timeMark({2024, 5, 1, 12, 0, 0})};
        for (int i = 0; i < counts; ++i)
            spec.events.push_back(oq::sim::DumpEvent::count(uint64_t(20 + i % 11)));
        QString error;
        const auto dump = oq::sim::writeDump(spec, &error);
        EXPECT_TRUE(dump) << error.toStdString();
        const QString path = dir.filePath(QStringLiteral("counter-%1.dump").arg(counts));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        if (dump)
            file.write(dump->deviceDump);
        return path;
    }
    QTemporaryDir dir;
};

// The whole memory (65,535 bytes, about 139,000 characters) at 460800 baud and real speed, over a
// line that throttles and drops as the kernel and the bridge do: every character arrives, the
// download reads back to the counter's own events, and the line lost nothing.
TEST_F(OqtoolDownload, FullMemoryOverTheRealLineArrivesIntact)
{
    const int counts = 32762; // with the interval and the time mark: FFFF bytes
    const QString counterDump = writeCounterDump(counts);
    CounterSimProcess sim({"--dump", counterDump}, QStringLiteral("1"));
    ASSERT_FALSE(sim.path().isEmpty());
    const QString out = dir.filePath("downloaded.dump");
    const ToolRun r = oqtool({"download", "--port", sim.path(), "-o", out}, QStringLiteral("en_US.UTF-8"), QStringLiteral("1"));
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.err.contains("Downloading")) << "progress on standard error";
    const QByteArray said = sim.stop();
    EXPECT_TRUE(said.contains("oq-counter-sim: 0 characters lost on the line")) << said.constData();

    const ToolRun got = oqtool({"events", out, "--format", "csv"});
    const ToolRun given = oqtool({"events", counterDump, "--format", "csv"});
    ASSERT_EQ(got.exitCode, 0) << got.err.constData();
    EXPECT_EQ(lines(got.out).size(), counts + 1);
    EXPECT_TRUE(got.out == given.out) << "the downloaded dump differs from the counter's";

    // --events prints them straight away.
    const ToolRun direct = oqtool({"download", "--simulate", "--events", "json"});
    ASSERT_EQ(direct.exitCode, 0) << direct.err.constData();
    EXPECT_TRUE(QJsonDocument::fromJson(direct.out).isArray());
}

TEST_F(OqtoolDownload, SameBytesAndEventsInEveryLocale)
{
    // A decimal-comma locale once read firmware 7.14 as 7: "h" and "s" were never asked for and
    // the stored dump did not parse.
    oq::clock::setScale(kScale.toDouble());
    oq::sim::CounterConfig config;
    QFile dumpFile(writeCounterDump(300));
    ASSERT_TRUE(dumpFile.open(QIODevice::ReadOnly));
    config.deviceDump = QString::fromLatin1(dumpFile.readAll());
    auto counter = std::make_shared<oq::sim::SimCounter>(config);
    const QString record = counter->versionRecord(); // its clock stands still for both downloads
    counter->updateConfig([&](oq::sim::CounterConfig& c) { c.versionRecord = record; });
    oq::sim::SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    QList<QByteArray> outputs[2];
    const QString locales[2] = {QStringLiteral("C.UTF-8"), QStringLiteral("de_DE.UTF-8")};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(locales[i].toStdString());
        const QString out = dir.filePath(QStringLiteral("download-%1.dump").arg(i));
        const ToolRun r = oqtool({"download", "--port", pty.path(), "-o", out}, locales[i]);
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        QFile file(out);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray dump = file.readAll();
        for (const char* section : {"v", "h", "s", "c", "b"})
            EXPECT_TRUE(dump.startsWith(QByteArray(section) + "\r\n") || dump.contains("\n" + QByteArray(section) + "\r\n"))
                << section << " missing from\n" << dump.left(400).constData();
        outputs[i] << dump;
        for (const char* format : {"text", "csv", "json"}) {
            const ToolRun events = oqtool({"events", out, "--format", format}, locales[i]);
            EXPECT_EQ(events.exitCode, 0) << format << ": " << events.err.constData();
            EXPECT_GE(lines(events.out).size(), 300) << format;
            outputs[i] << events.out;
        }
    }
    for (int k = 0; k < outputs[0].size() && k < outputs[1].size(); ++k)
        EXPECT_EQ(outputs[0][k], outputs[1][k]) << "output " << k;
    oq::clock::setScale(1.0);
}

TEST_F(OqtoolDownload, CtrlCCancelsAndLeavesNoFile)
{
    // At 9600 baud the dump takes long enough to interrupt. The counter runs here, so its last
    // command can be checked: oqtool exits only after the closing sequence has reached it.
    oq::clock::setScale(kScale.toDouble());
    oq::sim::CounterConfig config;
    config.baud = 9600;
    QFile dumpFile(writeCounterDump(6000));
    ASSERT_TRUE(dumpFile.open(QIODevice::ReadOnly));
    config.deviceDump = QString::fromLatin1(dumpFile.readAll());
    auto counter = std::make_shared<oq::sim::SimCounter>(config);
    oq::sim::SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    const QString out = dir.filePath("interrupted.dump");
    QProcess p;
    // oqtool's own waits slower than the counter's, so that its closing sequence (ESC until the
    // counter is quiet, then "X") clearly outlasts anything oqtool does on its way out.
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("OQ_CLOCK_SCALE"), QStringLiteral("0.3"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(OQTOOL_PATH), {"download", "--port", pty.path(), "-o", out});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray err;
    ASSERT_TRUE(oq::test::waitUntil([&] {
        err += p.readAllStandardError();
        return err.contains(" / ") || p.state() != QProcess::Running;
    }, 60));
    ASSERT_EQ(p.state(), QProcess::Running) << err.constData();
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 130);
    EXPECT_TRUE(p.readAllStandardError().contains("cancelled"));
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_TRUE(QDir(dir.path()).entryList({"interrupted*"}, QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_EQ(counter->commandLog().last(), "X") << counter->commandLog().join(' ').toStdString();
    oq::clock::setScale(1.0);
}

} // namespace
