// The counter's built-in memory is a dump the protocol parser reads.
#include <gtest/gtest.h>

#include "parser/OQParser.h"
#include "sim/SimDump.h"

TEST(SimDumpParseTest, BuiltinDumpParses)
{
    oq::ErrorRecord error;
    const auto events = parseProtocol(oq::sim::builtinDeviceDump(), &error);
    ASSERT_TRUE(events) << error.localizedDescription().toStdString();
    int counts = 0, alarms = 0;
    double peak = 0;
    for (const QVariant& v : *events) {
        const QVariantMap m = v.toMap();
        if (m.contains(QStringLiteral("pulses"))) {
            ++counts;
            peak = std::max(peak, m.value(QStringLiteral("doseRate")).toDouble());
        }
        alarms += m.contains(QStringLiteral("dose_rate_alarm"));
    }
    EXPECT_EQ(counts, 22);
    EXPECT_EQ(alarms, 1);
    EXPECT_GT(peak, 2.2); // the passing source shows
}
