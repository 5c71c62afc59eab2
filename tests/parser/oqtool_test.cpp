// The parser commands of oqtool, run as a separate process.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryFile>

#include "dump/DumpWriter.h"

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

// `outputFile`: standard output goes there instead of being read.
Run oqtool(const QStringList& args, const QByteArray& input = {}, const QString& outputFile = {})
{
    QProcess p;
    if (!outputFile.isEmpty())
        p.setStandardOutputFile(outputFile);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(OQTOOL_PATH), args);
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
