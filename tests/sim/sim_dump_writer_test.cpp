// The counter serves what the dump writer wrote: its answers to "v", "c", "h", "s" and "b" are the
// writer's, whatever the firmware's sections.
#include <gtest/gtest.h>

#include "SimTestHost.h"
#include "sim/dump/DumpWriter.h"

using namespace oq::sim;
using oq::sim::test::Host;

TEST(SimDumpWriterTest, CounterAnswersAsTheWriterWrote)
{
    const oq::sim::test::ManualClock clock;
    for (const char* firmware : {"7.14Lb07", "7.022Lb07", "7.02Lb07", "6.95Cb05", "6.50Lb07", "5.50"}) {
        SCOPED_TRACE(firmware);
        DumpSpec spec;
        spec.firmware = QString::fromLatin1(firmware);
        spec.events = {DumpEvent::interval(60), DumpEvent::timeMark({2024, 5, 1, 12, 0, 0}), DumpEvent::count(42),
            DumpEvent::count(17)};
        const auto written = writeDump(spec);
        ASSERT_TRUE(written);
        CounterConfig c;
        c.deviceDump = QString::fromLatin1(written->deviceDump);
        Host h(c);
        h.send("P");
        h.untilLines(2);

        // The record is the writer's but for the counter's own clock.
        const QStringList record = h.counter->versionRecord().split(QLatin1Char(' '));
        const QStringList expected = QString::fromLatin1(written->versionLine).split(QLatin1Char(' '));
        ASSERT_EQ(record.size(), expected.size());
        const qsizetype fields = expected.size() > 2 ? expected.size() - 2 : expected.size();
        EXPECT_EQ(record.mid(0, fields), expected.mid(0, fields));

        const auto answer = [&h](const char* command, const QByteArray& text) {
            h.send(command);
            EXPECT_EQ(h.untilLines(int(text.count("\r\n")), text.isEmpty() ? 1 : 30), text) << command;
        };
        answer("c", written->calibrationAnswer);
        answer("h", written->hwInfoAnswer);
        answer("s", written->statcAnswer);
        answer("b", written->protocolAnswer);
    }
}
