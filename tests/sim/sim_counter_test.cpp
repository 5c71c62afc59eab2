// The simulated counter: its answers, line timing, speeds, streams and faults.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include <cmath>

#include "SimTestHost.h"
#include "sim/RadiationProfile.h"
#include "sim/SimDump.h"

using namespace oq::sim;
using oq::sim::test::Host;

namespace {

class SimCounterTest : public ::testing::Test {
protected:
    oq::sim::test::ManualClock m_clock;
};

CounterConfig constantRate(double rate, double interval = 1.0)
{
    CounterConfig c;
    c.profile.kind = ProfileSpec::Constant;
    c.profile.value = rate;
    c.valueInterval = interval;
    return c;
}

QByteArray enterPc(Host& h)
{
    h.send("P");
    return h.untilLines(2);
}

} // namespace

TEST_F(SimCounterTest, InformationExchangeAnswers)
{
    Host h;
    h.send("X"); // idle: no answer
    EXPECT_EQ(enterPc(h), "\r\nPC-Mode gestartet\r\n");
    h.send("v");
    const QByteArray v = h.untilLines(2);
    const QRegularExpression record(QStringLiteral("^\r\nVersion 7\\.14Lb07 12345 0037 \\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n$"));
    EXPECT_TRUE(record.match(QString::fromLatin1(v)).hasMatch()) << v.toStdString();
    h.send("X");
    EXPECT_EQ(h.untilLines(2), "\r\nPC-Mode beendet\r\n");
    EXPECT_EQ(h.collect(0.5), "");
    EXPECT_EQ(h.counter->commandLog(), (QStringList{"X", "P", "v", "X"}));
    EXPECT_EQ(h.counter->mode(), Mode::Idle);
}

TEST_F(SimCounterTest, VersionRecordIsConfigurable)
{
    CounterConfig c;
    c.version = QStringLiteral("6.95Cb05");
    c.serial = QStringLiteral("98765");
    c.protocolLength = 0x1FF;
    Host h(c);
    enterPc(h);
    h.send("v");
    const QStringList t = QString::fromLatin1(h.untilLines(2)).split(QLatin1Char(' '));
    ASSERT_EQ(t.size(), 7); // 6.9 to 7.0215 carries hardware info
    EXPECT_EQ(t.at(1), "6.95Cb05");
    EXPECT_EQ(t.at(3), "98765");
    EXPECT_EQ(t.at(4), "01FF");

    CounterConfig literal;
    literal.versionRecord = QStringLiteral("Version 2.0c");
    Host old(literal);
    enterPc(old);
    old.send("v");
    EXPECT_EQ(old.untilLines(2), "\r\nVersion 2.0c\r\n");
}

TEST_F(SimCounterTest, CharactersArriveAtTheLineRate)
{
    QString dump = QStringLiteral("v\r\nVersion 7.14Lb07 12345 1900 01.01.25 12:00:00\r\nb\r\nORBEL-QUIST Protokoll\r\n");
    for (int i = 0; i < 200; ++i)
        dump += QString(64, QLatin1Char('0')) + QStringLiteral("00\r\n");
    for (const int baud : {460800, 9600}) {
        CounterConfig c;
        c.baud = baud;
        c.deviceDump = dump;
        Host h(c);
        enterPc(h);
        const double start = oq::clock::now();
        h.send("b");
        const QByteArray got = h.untilLines(202, 60);
        const double elapsed = oq::clock::now() - start;
        ASSERT_EQ(got.size(), 2 + 23 + 200 * 68);
        // 7E1 is 10 bits per character: the dump cannot arrive faster.
        EXPECT_GE(elapsed, got.size() * 10.0 / baud);
    }
}

TEST_F(SimCounterTest, WrongSpeedGarblesBothWays)
{
    CounterConfig c = constantRate(0.2, 0.1);
    c.baud = 9600;
    Host h(c);
    h.counter->hostConfigure(LineSettings::counter(460800));
    h.send("P");
    EXPECT_EQ(h.collect(2), "");
    EXPECT_EQ(h.counter->commandLog(), QStringList{"~"});
    // Data bits and parity count as much as the speed.
    h.counter->hostConfigure({9600, 8, 'N', 1});
    h.send("P");
    EXPECT_EQ(h.collect(1), "");
    h.counter->hostConfigure(LineSettings::counter(9600));
    EXPECT_EQ(enterPc(h), "\r\nPC-Mode gestartet\r\n");

    // What the counter streams at its speed arrives as garbage at another: never a line end.
    h.send("R");
    h.untilLines(1);
    h.counter->hostConfigure(LineSettings::counter(460800));
    h.collect(0.05);
    const QByteArray garbage = h.collect(1);
    ASSERT_FALSE(garbage.isEmpty());
    EXPECT_FALSE(garbage.contains('\r') || garbage.contains('\n'));
    EXPECT_TRUE(std::all_of(garbage.begin(), garbage.end(), [](char ch) { return (ch & 0x80) != 0; }));
}

TEST_F(SimCounterTest, StreamsRateAndDoseUntilStopped)
{
    Host h(constantRate(36.0));
    h.send("R");
    EXPECT_EQ(h.untilLines(2), "36,000 uSv/h\r\n36,000 uSv/h\r\n");
    EXPECT_EQ(h.counter->mode(), Mode::OnlineRate);
    h.send("X");
    h.collect(0.1);
    EXPECT_EQ(h.collect(3), "");
    EXPECT_EQ(h.counter->mode(), Mode::Idle);

    // Dose: 36 uSv/h for 1 s per line is 0.01 uSv more per line.
    Host d(constantRate(36.0));
    d.send("D");
    EXPECT_EQ(d.untilLines(3), "0,010 uSv\r\n0,020 uSv\r\n0,030 uSv\r\n");
}

TEST_F(SimCounterTest, StreamingAtStartAndSlowToStop)
{
    CounterConfig c = constantRate(0.5, 0.25);
    c.startMode = Mode::OnlineRate;
    c.faults.stopDelay = 1.0;
    Host h(c);
    EXPECT_EQ(h.untilLines(1), "0,500 uSv/h\r\n"); // nobody asked
    h.collect(0);
    h.send("X");
    const QByteArray after = h.collect(2);
    EXPECT_GE(after.count("uSv/h\r\n"), 2); // goes on for about a second
    EXPECT_EQ(h.collect(2), "");
}

TEST_F(SimCounterTest, ValueLineForms)
{
    const ValueFormat sv;
    EXPECT_EQ(formatValue(0.123, true, sv), "0,123 uSv/h");
    EXPECT_EQ(formatValue(2500, true, sv), "2,500 mSv/h");
    EXPECT_EQ(formatValue(3.2e6, false, sv), "3,200 Sv");
    const ValueFormat rem{Unit::Rem, Prefix::Auto, -1};
    EXPECT_EQ(formatValue(125, false, rem), "12,5 mrem");
    EXPECT_EQ(formatValue(0.12, true, rem), "12,0 urem/h");
    EXPECT_EQ(formatValue(0.123, true, {Unit::Sv, Prefix::None, -1}), "0,000000123 Sv/h");
    EXPECT_EQ(formatValue(1500, true, {Unit::Sv, Prefix::Micro, 1}), "1500,0 uSv/h");
    EXPECT_EQ(formatValue(std::nan(""), true, sv), "0,000 uSv/h");
}

TEST_F(SimCounterTest, RandomWalkPassesWarningAndDanger)
{
    ProfileSpec spec;
    spec.seed = 7;
    RadiationProfile a(spec), b(spec);
    double first = 0, max = 0;
    int warning = 0;
    for (int i = 0; i < 240; ++i) {
        const double r = a.next().rate;
        ASSERT_TRUE(std::isfinite(r) && r > 0);
        EXPECT_EQ(r, b.next().rate); // reproducible
        if (i == 0)
            first = r;
        max = std::max(max, r);
        warning += r > 2.2 && r < 11.8;
    }
    EXPECT_LT(first, 2.2);
    EXPECT_GT(max, 11.8);
    EXPECT_GT(warning, 4);
}

TEST_F(SimCounterTest, ScriptProfile)
{
    CounterConfig c;
    c.profile.kind = ProfileSpec::Script;
    c.profile.script = QStringList{"# rates", "0,5", "", "1.5", "12,5 mrem"};
    c.valueInterval = 0.1;
    Host h(c);
    h.send("R");
    EXPECT_EQ(h.untilLines(4), "0,500 uSv/h\r\n1,500 uSv/h\r\n12,5 mrem\r\n0,500 uSv/h\r\n");
}

TEST_F(SimCounterTest, PcModeFaults)
{
    CounterConfig c;
    c.faults.pcUnconfirmed = 1;
    Host h(c);
    EXPECT_EQ(enterPc(h), "\r\nUnbekannter Befehl\r\n");
    EXPECT_EQ(enterPc(h), "\r\nPC-Mode gestartet\r\n");

    c.faults.pcUnconfirmed = 0;
    c.faults.pcSilent = true;
    Host quiet(c);
    quiet.send("P");
    EXPECT_EQ(quiet.collect(3), "");

    CounterConfig dead;
    dead.faults.silent = true;
    Host s(dead);
    s.send("PvR");
    EXPECT_EQ(s.collect(3), "");
    EXPECT_EQ(s.counter->commandLog(), (QStringList{"P", "v", "R"}));
}

TEST_F(SimCounterTest, LineFaults)
{
    // The third line stops in the middle and the counter falls silent.
    CounterConfig cut = constantRate(0.25, 0.1);
    cut.faults.cutLine = 2;
    Host h(cut);
    h.send("R");
    const QByteArray got = h.collect(2);
    EXPECT_EQ(got, "0,250 uSv/h\r\n0,250 uSv/h\r\n0,250");
    EXPECT_EQ(h.collect(1), "");

    CounterConfig garbage = constantRate(0.25, 0.1);
    garbage.faults.garbage = 1.0;
    Host g(garbage);
    g.send("R");
    const QByteArray noisy = g.untilLines(5);
    EXPECT_EQ(noisy.count("\r\n"), noisy.count('\n')); // garbage never ends a line
    EXPECT_EQ(noisy.count("uSv/h\r\n"), 5);
    EXPECT_GT(noisy.size(), 5 * 13);

    CounterConfig endless = constantRate(0.25, 0.01);
    endless.faults.noLineEnds = true;
    Host e(endless);
    e.send("R");
    const QByteArray run = e.collect(1);
    EXPECT_GT(run.count("uSv/h"), 10);
    EXPECT_FALSE(run.contains('\r') || run.contains('\n'));
}

TEST_F(SimCounterTest, ReceiveBufferIsBounded)
{
    CounterConfig c = constantRate(0.25, 0.0001);
    c.faults.noLineEnds = true;
    Host h(c);
    h.send("R");
    for (int i = 0; i < 300; ++i) { // nobody reads
        oq::clock::sleepFor(0.1);
        h.counter->hostAvailable();
    }
    EXPECT_EQ(h.counter->hostAvailable(), SimCounter::kReceiveCapacity);
}

TEST_F(SimCounterTest, UnplugFaultMidStream)
{
    CounterConfig c = constantRate(0.25, 0.1);
    c.faults.unplugAfterLines = 3;
    Host h(c);
    int unplugs = 0;
    h.counter->setUnplugHandler([&unplugs] { ++unplugs; });
    h.send("R");
    h.collect(2);
    EXPECT_FALSE(h.counter->plugged());
    EXPECT_EQ(unplugs, 1);
    EXPECT_EQ(h.counter->hostRead(100), "");
    EXPECT_FALSE(h.counter->nextEvent());
    h.counter->unplug();
    EXPECT_EQ(unplugs, 1);
    h.counter->replug();
    EXPECT_TRUE(h.counter->plugged());
    EXPECT_EQ(h.counter->mode(), Mode::Idle);
}

TEST_F(SimCounterTest, ClockCommand)
{
    Host h;
    h.send("t010125080509\r\n"); // outside PC mode: ignored
    EXPECT_EQ(h.collect(1), "");
    enterPc(h);
    for (const char ch : QByteArray("t010125080509\r\n")) {
        h.send(QByteArray(1, ch));
        oq::clock::sleepFor(0.5);
    }
    EXPECT_EQ(h.untilLines(1), "Datum und Zeit gestellt\r\n");
    const QDateTime set(QDate(2025, 1, 1), QTime(8, 5, 9));
    EXPECT_LE(std::abs(h.counter->clock().secsTo(set)), 2);
    EXPECT_TRUE(h.counter->versionRecord().contains(QLatin1String(" 01.01.25 08:05:")));
    EXPECT_EQ(h.counter->commandLog().last(), "t010125080509\r\n");

    h.send("t311325999999\r\n"); // no such date
    EXPECT_EQ(h.untilLines(1), "Eingabefehler\r\n");

    CounterConfig late;
    late.faults.timeOtherLines = 2;
    Host l(late);
    enterPc(l);
    l.send("t010125080509\r\n");
    EXPECT_EQ(l.untilLines(3), "?\r\n?\r\nDatum und Zeit gestellt\r\n");

    CounterConfig never;
    never.faults.timeOtherLines = 16;
    never.faults.timeConfirm = false;
    Host n(never);
    enterPc(n);
    n.send("t010125080509\r\n");
    const QByteArray lines = n.untilLines(16);
    EXPECT_EQ(lines.count("?\r\n"), 16);
    EXPECT_EQ(n.collect(1), "");
}

TEST_F(SimCounterTest, AbandonedClockCommandFreesTheLine)
{
    Host h;
    enterPc(h);
    h.send("t0101");
    oq::clock::sleepFor(6);
    h.send("v");
    EXPECT_TRUE(h.untilLines(2).contains("Version"));
}

TEST_F(SimCounterTest, MemorySections)
{
    Host h;
    h.send("c"); // outside PC mode
    EXPECT_EQ(h.collect(1), "");
    enterPc(h);
    const DumpSections memory = splitDeviceDump(builtinDeviceDump());
    h.send("c");
    EXPECT_EQ(h.untilLines(5), memory.calibration);
    EXPECT_TRUE(memory.calibration.startsWith("ORBEL-QUIST SoftCal gueltig\r\n"));
    h.send("h");
    EXPECT_EQ(h.untilLines(1), "HW-Rev 3 LND712\r\n");
    h.send("s");
    EXPECT_EQ(h.untilLines(1), "Stat 000412 000003 0001\r\n");
    h.send("b");
    const QByteArray dump = h.untilLines(4);
    EXPECT_TRUE(dump.startsWith("\r\nORBEL-QUIST Protokoll\r\n"));
    EXPECT_EQ(dump.size(), 2 + 23 + 2 * 68);

    // A counter without hardware information and status stays quiet on "h" and "s".
    h.counter->setDeviceDump(QStringLiteral("v\nVersion 7.02Lb07 12345 0007 01.01.25 12:00:00\nc\nCAL\nb\nORBEL-QUIST Protokoll\n"));
    h.send("h");
    h.send("s");
    EXPECT_EQ(h.collect(1), "");
    h.send("c");
    EXPECT_EQ(h.untilLines(1), "CAL\r\n");
}

TEST_F(SimCounterTest, EscapeStopsARunningDump)
{
    QString dump = QStringLiteral("v\r\nVersion 7.14Lb07 12345 FFFF 01.01.25 12:00:00\r\nb\r\nORBEL-QUIST Protokoll\r\n");
    for (int i = 0; i < 2000; ++i)
        dump += QString(66, QLatin1Char('A')) + QStringLiteral("\r\n");
    CounterConfig c;
    c.deviceDump = dump;
    Host h(c);
    enterPc(h);
    h.send("b");
    QByteArray got = h.untilLines(10);
    h.send("\x1b");
    got += h.collect(0.5);
    EXPECT_EQ(h.collect(2), "");
    EXPECT_LT(got.size(), 2000 * 68);
    h.send("X");
    EXPECT_EQ(h.untilLines(2), "\r\nPC-Mode beendet\r\n");
}

TEST_F(SimCounterTest, CommandsAreHandlers)
{
    Host h;
    h.counter->setCommand('Z', [](SimCounter::Context& c) { c.send("zz\r\n"); });
    h.counter->setCommand('v', nullptr);
    h.send("Z");
    EXPECT_EQ(h.untilLines(1), "zz\r\n");
    enterPc(h);
    h.send("v");
    EXPECT_EQ(h.collect(1), "");
}

TEST_F(SimCounterTest, HostileBytesDoNoHarm)
{
    Host h;
    QByteArray junk;
    for (int i = 0; i < 4096; ++i)
        junk += char((i * 131 + 7) & 0xFF);
    h.send(junk);
    h.collect(6); // long enough to drop a half-received clock command
    h.send("X");
    h.collect(2);
    EXPECT_TRUE(enterPc(h).endsWith("PC-Mode gestartet\r\n"));
}

TEST(SimDumpTest, SplitsSections)
{
    const DumpSections d = splitDeviceDump(builtinDeviceDump());
    EXPECT_TRUE(d.version.startsWith(QLatin1String("Version 7.14Lb07 12345 0037")));
    EXPECT_EQ(d.hwInfo, "HW-Rev 3 LND712\r\n");
    EXPECT_EQ(d.header, "ORBEL-QUIST Protokoll");
    EXPECT_EQ(d.protocol.count("\r\n"), 2);
    EXPECT_TRUE(d.hasProtocol);

    const DumpSections s = splitDeviceDump(QStringLiteral("v\rStandard\rv\rVersion 1.99\rjunk\rb\rORBEL-QUIST Protokoll\r\r0000 00"));
    EXPECT_EQ(s.version, "Version 1.99");
    EXPECT_EQ(s.protocol, "\r\n0000 00\r\n"); // the old format's empty line stays

    for (const char* hostile : {"", "v", "b", "\n\n\n", "c\nc\nc", "h"}) {
        const DumpSections x = splitDeviceDump(QString::fromLatin1(hostile));
        EXPECT_TRUE(x.version.isEmpty());
    }
}
