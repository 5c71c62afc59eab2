// Calibration sections and dose rates.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cmath>
#include <string>
#include <vector>

#include "Recorder.h"
#include "parser/parse_cal.h"

using namespace parser_detail;
using namespace parser_test;

namespace {

std::vector<std::string> g_lines;
const char* lineAt(int i) { return i >= 0 && i < int(g_lines.size()) ? g_lines[size_t(i)].c_str() : nullptr; }

struct CalResult {
    std::string message;
    Calibration cal;
    int pos = 0;
};

CalResult readCal(float version, std::vector<std::string> lines)
{
    g_lines = std::move(lines);
    CalResult r;
    const char* m = parseCalibration(recorder(), r.cal, version, lineAt, r.pos);
    if (m)
        r.message = m;
    return r;
}

} // namespace

TEST(Calibration, BuiltinTables)
{
    Calibration cal;
    selectBuiltin(recorder(), cal, 6.00f);
    EXPECT_THAT(callsOf("cal_tube"), ::testing::ElementsAre("LND 712"));
    // O = 64 lies in the first segment: 4442 * 64 / 655360.
    EXPECT_NEAR(doseRate(cal, 0, 600, 600), 0.43378, 1e-5);
    // Later segments measure S from the previous limit: O = 200 -> (82 * 3 + 4442) * 200 / 655360.
    EXPECT_NEAR(doseRate(cal, 0, 200 * 60, 60 * 64), (82 * 3 + 4442) * 200 / 655360.0, 1e-5);
    // Beyond every limit the last segment applies.
    EXPECT_NEAR(doseRate(cal, 0, 10000, 1), ((640000 - 4815) * 0.1 + 7541) * 640000 / 655360.0, 1.0);

    selectBuiltin(recorder(), cal, 1.99f);
    EXPECT_NEAR(doseRate(cal, 0, 100, 64), 5696 * 100 / 655360.0, 1e-6);
    selectBuiltin(recorder(), cal, 5.37f);
    EXPECT_THAT(callsOf("cal_tube"), ::testing::ElementsAre("ZP 1401"));
    // O = 396 is not below the first limit, so the second segment applies.
    EXPECT_NEAR(doseRate(cal, 0, 396, 64), ((396 - 396) * 1 + 5797) * 396 / 655360.0, 1e-5);
}

TEST(Calibration, CdiRateAndAdjust)
{
    // One entry: limit 1000, correction 0, denominator 4000, numerator 100.
    const std::string cdi = "E8030000" "0000" "A00F" "6400";
    auto r = readCal(6.95f, {"B0 00 01 00", cdi});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.cal.multiplier, 512u);
    EXPECT_EQ(r.pos, 2);
    EXPECT_NEAR(doseRate(r.cal, 0, 60, 60), 12.7999877, 1e-6);
    EXPECT_EQ(doseRate(r.cal, 0, 60 * 2, 60), -1.0f) << "O above every limit";
    EXPECT_EQ(doseRate(r.cal, 1, 60, 60), -1.0f) << "an empty set";

    r = readCal(7.05f, {"B0 00 01 00 A0", cdi});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.cal.adjust, -32);
    EXPECT_NEAR(doseRate(r.cal, 0, 60, 60), 12.7999877 / 2, 1e-6);
    r = readCal(7.05f, {"B0 00 01 00 85", cdi});
    EXPECT_EQ(r.cal.adjust, -5);
    EXPECT_NEAR(doseRate(r.cal, 0, 60, 60), 12.7999877 * 59 / 64, 1e-5);
    r = readCal(7.05f, {"B0 00 01 00 7F", cdi});
    EXPECT_EQ(r.cal.adjust, 127);
    EXPECT_EQ(readCal(7.05f, {"B0 00 01 00 80", cdi}).message, "parse_cdh: adjust value corrupt: \"80\"");
    EXPECT_EQ(readCal(7.05f, {"B0 00 01 00 100", cdi}).message, "parse_cdh: adjust value corrupt: \"100\"");

    // Correction and the wide flag: t = 0x100 * 512 >> 8 = 512 (narrow) or 2 (wide, mask bit 0).
    r = readCal(6.95f, {"B0 00 01 00", "E8030000" "0001" "A00F" "6400"});
    EXPECT_NEAR(doseRate(r.cal, 0, 60, 60), double(100ull * 512 * 65536 / (4000 - 512)) / 65536, 1e-6);
    r = readCal(6.95f, {"B0 00 01 01", "E8030000" "0001" "A00F" "6400"});
    EXPECT_NEAR(doseRate(r.cal, 0, 60, 60), double(100ull * 512 * 65536 / (4000 - 2)) / 65536, 1e-6);
    // A divisor of 0 has no rate instead of a division fault: denominator 0x200 = t.
    r = readCal(6.95f, {"B0 00 01 00", "E8030000" "0001" "0002" "6400"});
    EXPECT_EQ(doseRate(r.cal, 0, 60, 60), -1.0f);
}

TEST(Calibration, HeaderBands)
{
    // Tube codes from 6.0805 on; the mask of the 6.0805 band has exactly 4 characters.
    auto r = readCal(6.50f, {"B8 01 0000", "0000000000000000000"});
    EXPECT_EQ(r.message, "");
    EXPECT_THAT(callsOf("cal_tube"), ::testing::ElementsAre("ZP 1401"));
    EXPECT_EQ(r.cal.multiplier, 64u);
    readCal(7.05f, {"62 00 00 00 00"});
    EXPECT_THAT(callsOf("cal_tube"), ::testing::ElementsAre("N205"));
    readCal(7.05f, {"B1 00 00 00 00"});
    EXPECT_THAT(callsOf("cal_tube"), ::testing::ElementsAre("unknown"));
    readCal(6.07f, {"00 00"});
    EXPECT_THAT(callsOf("cal_tube"), ::testing::ElementsAre("unknown"));

    const struct { float v; std::vector<std::string> lines; const char* message; } cases[] = {
        {6.95f, {"B00 00 01 00"}, "parse_cdh: V0 corrupt"},
        {6.95f, {""}, "parse_cdh: V0 corrupt"},
        {6.02f, {"00 00"}, "parse_cdh: V1/4 corrupt"},
        {6.95f, {"B0 0000 01 00"}, "parse_cdh: V1/2 corrupt"},
        {6.04f, {"01 00"}, "parse_cdh: V2 corrupt"},
        {6.50f, {"B0 01 000"}, "parse_cdh: V2 corrupt"},
        {6.95f, {"B0 00 01"}, "parse_cdh: V3 corrupt"},
        {7.05f, {"B0 00 01 00"}, "parse_cdh: V4 corrupt"},
        {6.02f, {"00 0000 X"}, "parse_cdh: output contains additional crap in V2: \"X\""},
        {6.07f, {"00 00 X"}, "parse_cdh: output contains additional crap in V2: \"X\""},
        {6.04f, {"00 00 FFFF X"}, "parse_cdh: output contains additional crap in V3: \"X\""},
        {6.50f, {"B0 00 0000 X"}, "parse_cdh: output contains additional crap in V3: \"X\""},
        {6.95f, {"B0 00 00 00 X"}, "parse_cdh: output contains additional crap in V4: \"X\""},
        {7.05f, {"B0 00 00 00 00 X"}, "parse_cdh: output contains additional crap in V5: \"X\""},
        {7.05f, {"B0 00 09 00 00"}, "parse_cdh: can't deal with 9 CDIs"},
        {7.05f, {"B0 00 109 00 00"}, "parse_cdh: can't deal with 9 CDIs"},
        {7.05f, {"B0 00 02 00 00", "00000000"}, "end of dump reached"},
        {7.05f, {}, "end of dump reached"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(readCal(c.v, c.lines).message, c.message) << c.lines.size();
}

TEST(Calibration, SoftCalLine)
{
    const std::vector<std::string> rest = {"B0 00 00 00"};
    auto with = [&](const std::string& cdm) {
        std::vector<std::string> l{cdm};
        l.insert(l.end(), rest.begin(), rest.end());
        return l;
    };
    EXPECT_EQ(readCal(6.90f, with("ORBEL-QUIST SoftCal ungueltig")).message, "parse_cdm: SoftCal data invalid");
    EXPECT_EQ(readCal(6.90f, with("ORBEL-QUIST SoftCal kaputt")).message, "parse_cdm: m2 corrupt");
    EXPECT_EQ(readCal(6.90f, with("ORBEL-QUIST SoftCal")).message, "parse_cdm: m2 corrupt");
    EXPECT_EQ(readCal(6.90f, with("ORBEL-QUIST SoftCal gueltig")).message, "");
    EXPECT_EQ(readCal(6.90f, with("ORBEL-QUISTX SoftCal gueltig")).message, "parse_cdm: m0 corrupt");
    EXPECT_EQ(readCal(6.90f, with("ORBEL-QUIST Softcal gueltig")).message, "parse_cdm: m1 corrupt");
    // Below 6.9 the third word is not looked at.
    const auto r = readCal(6.50f, {"ORBEL-QUIST SoftCal ungueltig", "B0 00 0000"});
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.pos, 2);
}

TEST(Calibration, EntriesAndEarlyEnds)
{
    // Below 6.0205: 16-character entries, eight unless a limit of 0 ends the set as "every rate".
    auto r = readCal(6.02f, {"00 0100", "1000" "0000" "A00F" "6400", "0000" "0000" "A00F" "C800", "never read"});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.cal.sets[0].count, 2);
    EXPECT_EQ(r.pos, 3);
    EXPECT_EQ(r.cal.sets[0].entries[0].limit, 0x10u);
    EXPECT_TRUE(r.cal.sets[0].entries[0].wide) << "mask from the high byte of V1";
    EXPECT_EQ(r.cal.sets[0].entries[1].limit, 0xFFFFFFFFu);
    EXPECT_EQ(r.cal.sets[0].entries[1].numerator, 200);

    // 6.0205..6.0615: FFFFFFFF takes the default limit from V2 and ends the set.
    r = readCal(6.04f, {"03 00 34120000", "10000000" "0000" "A00F" "6400", "FFFFFFFF" "0000" "A00F" "6400"});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.cal.sets[0].count, 2);
    EXPECT_EQ(r.cal.sets[0].entries[1].limit, 0x1234u);
    r = readCal(6.04f, {"01 00 341", "FFFFFFFF" "0000" "A00F" "6400"});
    EXPECT_EQ(r.cal.sets[0].entries[0].limit, 0u) << "odd-length default limit";

    // Pairs stop at a non-digit, and a short line reads as zeros.
    r = readCal(6.95f, {"B0 00 01 00", "7G000000" "0000" "A0"});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.cal.sets[0].entries[0].limit, 7u);
    EXPECT_EQ(r.cal.sets[0].entries[0].denominator, 0xA0);
    EXPECT_EQ(r.cal.sets[0].entries[0].numerator, 0);

    // Above 7.08 a second header and set follow, always in the long layout.
    r = readCal(7.09f, {"B0 00 01 00 00", "FFFFFFFF" "0000" "A00F" "6400", "00 00 02 02 00",
                           "10000000" "0000" "A00F" "6400", "FFFFFFFF" "0000" "A00F" "C800"});
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.pos, 5);
    EXPECT_EQ(r.cal.sets[1].count, 2);
    EXPECT_TRUE(r.cal.sets[1].entries[1].wide);
    EXPECT_EQ(readCal(7.09f, {"B0 00 00 00 00", "00 00 09 00 00"}).message, "parse_cdh1: can't deal with 9 CDIs");
    EXPECT_EQ(readCal(7.09f, {"B0 00 00 00 00", "00 00 00 00 000"}).message, "parse_cdh1: V4 corrupt");
    EXPECT_EQ(readCal(7.09f, {"B0 00 00 00 00", "00 00"}).message, "parse_cdh1: V2 corrupt");
    EXPECT_EQ(readCal(7.09f, {"B0 00 00 00 00", "00 00 00 00 00 00"}).message,
        "parse_cdh1: output contains additional crap in V5: \"00\"");
    EXPECT_EQ(readCal(7.09f, {"B0 00 00 00 00"}).message, "end of dump reached");
}
