// The parser commands of oqtool, run as a separate process.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

Run oqtool(const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
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
}
