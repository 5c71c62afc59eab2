// The parser commands of oqtool, run as a separate process.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <iostream>

#include <unistd.h>

#include "dump/DumpWriter.h"
#include "history/HistoryWriter.h"

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

// `outputFile`: standard output goes there instead of being read.
Run oqtool(const QStringList& args, const QByteArray& input = {}, const QString& outputFile = {}, const QString& program = {},
    const QStringList& programArgs = {})
{
    QProcess p;
    if (!outputFile.isEmpty())
        p.setStandardOutputFile(outputFile);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    p.setProcessEnvironment(env);
    if (program.isEmpty())
        p.start(QStringLiteral(OQTOOL_PATH), args);
    else
        p.start(program, programArgs + QStringList{QStringLiteral(OQTOOL_PATH)} + args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}

} // namespace

TEST(OqtoolVersionRecord, PrintsTheRecordAsJson)
{
    const auto r = oqtool({"version-record", "Version 7.14Lb05 6239 1FFFF 24.12.20 18:30:05"});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(o.value("fw_version").toString(), "7.14Lb05");
    EXPECT_EQ(o.value("fw_tube").toString(), "LND 712");
    EXPECT_EQ(o.value("serial_number").toString(), "6239");
    EXPECT_TRUE(o.value("protocol_length").isDouble());
    EXPECT_EQ(o.value("protocol_length").toInt(), 0xFFFF);
    EXPECT_EQ(o.value("hasOnline").toBool(), true);
    EXPECT_EQ(o.value("hasAlert").toBool(), true);

    const struct { const char* line; const char* key; QJsonValue value; } cases[] = {
        {"Version 1.99", "fw_tube", "N/A"},
        {"Version 1.99", "protocol_length", 0},
        {"Version 7.14Xb07 6240 0007 24.12.20 18:30:05", "fw_tube", "unknown"},
        {"Version 7.14Xb07 6240 0007 24.12.20 18:30:05", "protocol_length", 7},
        {"Version 6.95Cb04 HW-1 6240 0100 24.12.20 18:30:05", "hw_info", "HW-1"},
        {"Version 6.95Cb04 HW-1 6240 0100 24.12.20 18:30:05", "hasOnline", true},
        {"Version 6.95Cb04 HW-1 6240 0100 24.12.20 18:30:05", "hasAlert", false},
    };
    for (const auto& c : cases) {
        const auto r = oqtool({"version-record", c.line});
        EXPECT_EQ(QJsonDocument::fromJson(r.out).object().value(c.key), c.value) << c.line << " " << c.key;
    }

    const auto old = oqtool({"version-record", "Version 2.0c"});
    const QJsonObject o2 = QJsonDocument::fromJson(old.out).object();
    EXPECT_EQ(o2.value("fw_version").toString(), "2.0c (2.03)");
    EXPECT_EQ(o2.value("protocol_length").toInt(-1), 0);
    EXPECT_EQ(o2.value("hasOnline").toBool(true), false);
}

TEST(OqtoolVersionRecord, FailuresGoToStandardError)
{
    const struct { const char* line; const char* message; } cases[] = {
        {"", "parse_v: magic missing"},
        {"version 7.14Lb07", "parse_v: magic missing"},
        {"Version", "parse_v: version missing"},
        {"Version 2.0t", "parse_v: length of fw version is non-standard: 3"},
        {"Version 1.98", "parse_v: dump too old: 1.98"},
        {"Version 6.95Lb07", "parse_v: HW info missing"},
        {"Version 6.10", "parse_v: S/N missing"},
        {"Version 7.14Lb07 6240", "parse_v: size missing"},
        {"Version 7.14Lb07 6240 0006", "parse_v: amount of valid bytes seems wrong: 0006"},
        {"Version 7.14Lb07 6240 0007", "parse_v: date missing"},
        {"Version 7.14Lb07 6240 0007 24.12.20", "parse_v: time missing"},
        {"Version 7.14Lb07 HW 6240 0007 24.12.20 18:30:05", "parse_v: output contains additional crap: \"18:30:05\""},
    };
    for (const auto& c : cases) {
        const auto r = oqtool({"version-record", c.line});
        EXPECT_EQ(r.exitCode, 1) << c.line;
        EXPECT_TRUE(r.out.isEmpty()) << c.line;
        EXPECT_TRUE(r.err.contains(QByteArray(c.message) + '\n')) << c.line << " -> " << r.err.constData();
    }
}

TEST(OqtoolHelp, ListsTheParserCommands)
{
    const auto r = oqtool({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("version-record LINE"));
    EXPECT_TRUE(r.out.contains("events FILE|- [--format text|csv|json]"));
}

namespace {

QByteArray sampleDump()
{
    using namespace oq::sim;
    DumpSpec spec;
    spec.firmware = QStringLiteral("7.09Lb07");
    spec.cds1 = {{10, 100, 4000, 0, false}}; // too small for any rate: no dose rate
    spec.events = {DumpEvent::timeMark({2021, 6, 1, 12, 0, 0}), DumpEvent::interval(60), DumpEvent::count(5),
        DumpEvent::flagsSet(DumpEvent::DoseAlarm), DumpEvent::cdsSwitch(1), DumpEvent::count(600)};
    return writeDump(spec)->deviceDump;
}

} // namespace

TEST(OqtoolEvents, Formats)
{
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    file.write(sampleDump());
    file.close();

    const auto text = oqtool({"events", file.fileName()});
    ASSERT_EQ(text.exitCode, 0) << text.err.constData();
    const QList<QByteArray> lines = text.out.split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[0], "                      Protocol interval now 60 sec");
    EXPECT_TRUE(lines[1].startsWith("01.06.2021  12:01:00  5 pulses in 60s, dH/dt = ")) << lines[1].constData();
    EXPECT_EQ(lines[2], "\t\t      H alarm fired");
    EXPECT_EQ(lines[3], "01.06.2021  12:02:00  600 pulses in 60s, dH/dt = NaN");

    // Standard input, CSV.
    const auto csv = oqtool({"events", "-", "--format", "csv"}, sampleDump());
    ASSERT_EQ(csv.exitCode, 0) << csv.err.constData();
    const QList<QByteArray> rows = csv.out.trimmed().split('\n');
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0], "start,end,duration_s,pulses,dose_rate_uSv_h,cds,incompleteInterval,newInterval,dateChanged,"
                       "overflow,doseAlarm,doseRateAlarm,cdsChanged");
    EXPECT_TRUE(rows[1].startsWith("2021-06-01T12:01:00+02:00,2021-06-01T12:02:00+02:00,60,5,")) << rows[1].constData();
    EXPECT_TRUE(rows[1].endsWith(",,0,1,0,0,0,0,0")) << rows[1].constData();
    EXPECT_EQ(rows[2], "2021-06-01T12:02:00+02:00,2021-06-01T12:03:00+02:00,60,600,,1,0,0,0,0,1,0,1");

    const auto json = oqtool({"events", file.fileName(), "--format=json"});
    ASSERT_EQ(json.exitCode, 0);
    const QJsonArray array = QJsonDocument::fromJson(json.out).array();
    ASSERT_EQ(array.size(), 2);
    const QJsonObject second = array[1].toObject();
    EXPECT_EQ(second.value("start").toString(), "2021-06-01T12:02:00+02:00");
    EXPECT_EQ(second.value("pulses").toInt(), 600);
    EXPECT_TRUE(second.value("doseRate").isNull());
    EXPECT_EQ(second.value("cds").toInt(), 1);
    EXPECT_TRUE(second.value("doseAlarm").toBool());
    EXPECT_GT(array[0].toObject().value("doseRate").toDouble(), 0);
    EXPECT_TRUE(array[0].toObject().value("cds").isNull());
}

TEST(OqtoolEvents, Failures)
{
    QByteArray broken = sampleDump();
    broken.replace("ORBEL-QUIST Protokoll", "ORBEL-QUIST");
    auto r = oqtool({"events", "-"}, broken);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains("parse_prot: bad header\n")) << r.err.constData();

    r = oqtool({"events", "-"}, QByteArray());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(r.err.isEmpty());

    r = oqtool({"events", "/nonexistent/dump.txt"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(oqtool({"events", "-", "--format", "xml"}).exitCode, 2);
    EXPECT_EQ(oqtool({"events"}).exitCode, 2);

    // Events that standard output does not take are a failure.
    r = oqtool({"events", "-", "--format", "json"}, sampleDump(), QStringLiteral("/dev/full"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith("oqtool: ") && r.err.contains("No space left on device")) << r.err.constData();
}

// A minute of readings from 2026-12-07T00:00Z on, one a minute, read back by ranges in the forms
// the help lists (the zone is Europe/Berlin, UTC+1 in December); anything else is refused, and a
// file that is not a readable history fails rather than printing an empty one.
TEST(OqtoolHistory, RangesInEveryFormTheHelpListsAndFailures)
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("history.sqlite3"));
    constexpr qint64 kStart = 1796601600000LL; // 2026-12-07T00:00:00Z
    {
        oq::history::Writer::Options o;
        o.path = db;
        o.nowMs = [] { return kStart + 86400000LL; };
        oq::history::Writer writer(o);
        for (qint64 i = 0; i < 36 * 60; ++i)
            writer.record({QStringLiteral("A-1"), kStart + i * 60000, oq::history::Rate, 0.1, QStringLiteral("Sv"), 0});
        // Old firmware names no serial number.
        writer.record({QString(), kStart - 86400000LL, oq::history::Rate, 0.2, QStringLiteral("Sv"), 0});
        ASSERT_TRUE(writer.flush());
    }
    const struct {
        const char* from;
        const char* to;
        int rows;           // -1: refused
        bool told = false; // answered, and something about the range said
    } cases[] = {
        {"2026-12-08T06:00:00Z", "2026-12-08T07:00:00Z", 60},
        {"2026-12-08T06:00Z", "2026-12-08T06:00:30.5Z", 1},
        {"2026-12-08T06:00:00.001Z", "2026-12-08T06:03Z", 2},
        {"2026-12-08T07:00+01:00", "2026-12-08T08:00:00+0100", 60},
        {"2026-12-08T05:00-01", "2026-12-08T06:10Z", 10},
        {"2026-12-08T07:00", "2026-12-08T07:30:00.000", 30}, // local
        {"2026-12-08", "2026-12-08T00:10", 10},              // local midnight is 23:00Z
        {"2026-12-07", "2026-12-08", 23 * 60},
        {"-100000d", "2027-01-01T00:00Z", 36 * 60 + 1},
        {"2026-12-08T11:00Z", "now", -2}, // as many as there are before now
        {"2026-12-07Tgarbage", "now", -1},
        {"2026-12-07T", "now", -1},
        {"2026-12-07T25:99", "now", -1},
        {"2026-12-07T12:60", "now", -1},
        {"2026-02-30", "now", -1},
        {"2026-12-08T06:00Z+", "now", -1},
        {"2026-12-08T06:00+19:00", "now", -1},
        {"08.12.2026", "now", -1},
        {"2026-12-08 06:00", "now", -1},
        {"-7x", "now", -1},
        {"", "now", -1},
        {"2026-03-29T02:30", "now", -1},                      // the clocks skip it
        {"2026-12-08T07:00Z", "2026-12-08T06:00Z", -1},       // reversed
        {"2026-10-25T02:30", "2026-12-07T00:10Z", 11, true}, // happens twice: the earlier is taken
    };
    // Readings from 11:00Z on before the moment given.
    const auto beforeNow = [&](qint64 now) { return std::clamp((now - kStart) / 60000 + 1 - 35 * 60, 0LL, 60LL); };
    for (const auto& c : cases) {
        const qint64 before = beforeNow(QDateTime::currentMSecsSinceEpoch());
        const auto r = oqtool({"history", "--db", db, "--from", c.from, "--to", c.to});
        if (c.rows == -2) {
            EXPECT_EQ(r.exitCode, 0) << r.err.constData();
            EXPECT_GE(r.out.count('\n') - 1, before);
            EXPECT_LE(r.out.count('\n') - 1, beforeNow(QDateTime::currentMSecsSinceEpoch()));
        } else if (c.rows < 0) {
            EXPECT_EQ(r.exitCode, 1) << c.from;
            EXPECT_TRUE(r.out.isEmpty()) << c.from;
            EXPECT_TRUE(r.err.contains(c.from)) << r.err.constData();
        } else {
            EXPECT_EQ(r.exitCode, 0) << c.from << r.err.constData();
            EXPECT_EQ(r.out.count('\n'), c.rows + 1) << c.from << " " << c.to;
            EXPECT_EQ(r.err.contains(c.from), c.told) << r.err.constData();
        }
    }
    const auto unknown = oqtool({"history", "--db", db, "--counter", "B-2"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.out.isEmpty()) << unknown.out.constData();
    EXPECT_TRUE(unknown.err.contains("B-2") && unknown.err.contains("A-1")) << unknown.err.constData();
    const auto unnamed = oqtool({"history", "--db", db, "--counter", ""});
    EXPECT_EQ(unnamed.out, "counter,source,time,value,unit,counter_unit,level,duration,pulses\n"
                           ",live,2026-12-06T00:00:00.000Z,0.2,μSv/h,Sv,normal,,\n");
    // Hours cut at the range's ends: the first starts where the range does.
    const auto hours = oqtool({"history", "--db", db, "--counter", "A-1", "--bucket", "hour", "--from", "2026-12-08T06:30Z", "--to", "2026-12-08T08:15Z"});
    EXPECT_EQ(hours.exitCode, 0) << hours.err.constData();
    EXPECT_EQ(hours.out,
        "counter,source,start,unit,count,min,mean,max\n"
        "A-1,live,2026-12-08T06:30:00.000Z,μSv/h,30,0.1,0.1,0.1\n"
        "A-1,live,2026-12-08T07:00:00.000Z,μSv/h,60,0.1,0.1,0.1\n"
        "A-1,live,2026-12-08T08:00:00.000Z,μSv/h,15,0.1,0.1,0.1\n");
    // Local days: the 7th from 00:00Z (the range's start), the 8th from 23:00Z of the 7th.
    const auto days = oqtool({"history", "--db", db, "--counter", "A-1", "--bucket", "day", "--from", "2026-12-07T00:00Z"});
    EXPECT_EQ(days.out,
        "counter,source,start,unit,count,min,mean,max\n"
        "A-1,live,2026-12-07T00:00:00.000Z,μSv/h,1380,0.1,0.1,0.1\n"
        "A-1,live,2026-12-07T23:00:00.000Z,μSv/h,780,0.1,0.1,0.1\n");

    // Read from a folder the reader may not write: made read-only for an ordinary user, mounted
    // read-only for root (whom permissions do not stop).
    QTemporaryDir locked;
    const QString copy = locked.filePath(QStringLiteral("history.sqlite3"));
    ASSERT_TRUE(QFile::copy(db, copy));
    const bool root = geteuid() == 0;
    if (!root) {
        QFile::setPermissions(copy, QFile::ReadOwner);
        QFile::setPermissions(locked.path(), QFile::ReadOwner | QFile::ExeOwner);
    }
    const auto readOnly = oqtool({"history", "--db", copy, "--from", "2026-12-08T06:00Z", "--to", "2026-12-08T06:05Z"}, {}, {},
        root ? QStringLiteral("unshare") : QString(),
        root ? QStringList{"-m", "sh", "-c", "mount --bind -o ro \"$0\" \"$0\" || exit 77; exec \"$@\"", locked.path()}
             : QStringList{});
    if (readOnly.exitCode == 77) {
        std::cerr << "[ NOTE     ] no read-only mount here; a read-only folder is not tried\n";
    } else {
        EXPECT_EQ(readOnly.exitCode, 0) << readOnly.err.constData();
        EXPECT_EQ(readOnly.out.count('\n'), 6) << readOnly.out.constData();
    }
    EXPECT_EQ(QDir(locked.path()).entryList(QDir::Files), QStringList{QStringLiteral("history.sqlite3")});
    QFile::setPermissions(locked.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // Not a history: an empty file, another program's database, a damaged one, a missing one.
    const QString empty = dir.filePath(QStringLiteral("empty.sqlite3"));
    QFile(empty).open(QIODevice::WriteOnly);
    const QString damaged = dir.filePath(QStringLiteral("damaged.sqlite3"));
    {
        QFile f(damaged);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray("SQLite format 3\0", 16) + QByteArray(4000, '\x5a'));
    }
    for (const QString& file : {empty, damaged, dir.filePath(QStringLiteral("missing.sqlite3"))}) {
        const auto r = oqtool({"history", "--db", file});
        EXPECT_EQ(r.exitCode, 1) << file.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
        EXPECT_TRUE(r.err.startsWith("oqtool history: ")) << r.err.constData();
    }
    EXPECT_EQ(QFile(empty).size(), 0);
}
