// The protocol dump parser: sections, line formats and the event walk.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <QList>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Recorder.h"
#include "dump/DumpWriter.h"
#include "parser/parse_prot.h"

using namespace parser_test;
using namespace oq::sim;
using ::testing::ElementsAre;

namespace {

using Lines = std::vector<std::string>;

std::string runProt(const Lines& lines)
{
    for (size_t i = 0; i < lines.size() && i < size_t(PARSER_MAX_LINES); ++i)
        std::snprintf(parser_lines[i], PARSER_LINE_SIZE, "%s", lines[i].c_str());
    const char* m = parse_prot(recorder(), int(lines.size()));
    return m ? m : "";
}

Lines split(const QByteArray& text)
{
    Lines out;
    for (const QByteArray& l : text.split('\n'))
        out.push_back(l.endsWith('\r') ? l.chopped(1).toStdString() : l.toStdString());
    if (!out.empty() && out.back().empty())
        out.pop_back();
    return out;
}

Lines dump(const char* firmware, const QByteArray& image, DumpSpec spec = {})
{
    spec.firmware = QString::fromLatin1(firmware);
    spec.image = image;
    QString error;
    const auto d = writeDump(spec, &error);
    EXPECT_TRUE(d) << error.toStdString();
    return d ? split(d->deviceDump) : Lines{};
}

QByteArray bytes(std::initializer_list<int> b)
{
    QByteArray out;
    for (int x : b)
        out += char(x);
    return out;
}

// Pads a protocol to the 7 bytes the version record insists on, with records the walk skips:
// empty diagnostics from 6.9, ignored F5 F0 records before.
QByteArray padded(QByteArray image, bool below69 = false)
{
    const QByteArray skip = below69 ? bytes({0xF5, 0xF0}) : bytes({0xF8, 0x01});
    return skip + skip + skip + skip + image;
}

} // namespace

TEST(ParseProt, DumpWithoutVersionSection)
{
    // Old format, built-in table of the 2.235 row, version 1.99 substituted.
    const Lines lines = dump("5.12", bytes({0xF4, 0x00, 0x40}));
    Lines noVersion(lines.begin() + 2, lines.end());
    ASSERT_EQ(noVersion[0], "b");
    EXPECT_EQ(runProt(noVersion), "");
    EXPECT_THAT(callsOf("fw_version"), ElementsAre("1.99"));
    EXPECT_THAT(callsOf("statc"), ElementsAre("N/A"));
    EXPECT_THAT(callsOf("cal_tube"), ElementsAre("LND 712"));
    EXPECT_THAT(callsOf("serial_number"), ElementsAre("123456"));
    EXPECT_THAT(callsOf("features"), ElementsAre("1"));
    EXPECT_THAT(callsOf("valid_bytes"), ElementsAre("3"));
    EXPECT_THAT(callsOf("pulses"), ElementsAre("60 64 60"));
    EXPECT_THAT(callsOf("dose_rate"), ElementsAre("0.591016")); // O = 68: 5696 * 68 / 655360
    EXPECT_EQ(calls().front(), std::string("sw_version ") + parser_sw_version());
}

TEST(ParseProt, StandardVersionSectionIsSkipped)
{
    Lines lines = dump("7.14Lb07", padded(bytes({0xF5, 0x0B, 0x00, 0x05})));
    lines.insert(lines.begin(), {"junk", "v", "Standard"});
    EXPECT_EQ(runProt(lines), "");
    EXPECT_THAT(callsOf("fw_version"), ElementsAre("7.14Lb07"));
    EXPECT_THAT(callsOf("new_interval"), ElementsAre("60"));
    EXPECT_THAT(callsOf("pulses"), ElementsAre("60 5 60"));
    EXPECT_THAT(callsOf("hw_info"), ElementsAre("HW-3.1"));
    EXPECT_THAT(callsOf("statc"), ElementsAre("STAT 0001 0002"));

    EXPECT_EQ(runProt({"v", "Standard"}), "end of dump reached");
    EXPECT_EQ(runProt({"v"}), "end of dump reached");
    EXPECT_EQ(runProt({"x", "y"}), "end of dump reached");
    EXPECT_EQ(runProt({}), "end of dump reached");
    EXPECT_EQ(runProt({"v", "Version 7.14Lb07 6240"}), "parse_v: size missing");
}

TEST(ParseProt, NewFormatReadsWhatTheRecordCounts)
{
    // 65 bytes: three lines, all 65 walked (the last byte is a lone interval flag).
    QByteArray image = bytes({0xF5, 0x0B});
    while (image.size() < 64)
        image += bytes({0x00, 0x01});
    image += char(0xF9);
    Lines lines = dump("7.14Lb07", image);
    EXPECT_EQ(runProt(lines), "");
    EXPECT_THAT(callsOf("valid_bytes"), ElementsAre("65"));
    EXPECT_EQ(callsOf("pulses").size(), 31u);
    EXPECT_THAT(callsOf("overflow"), ElementsAre(""));
    // The dump lines after the third are not looked at.
    lines.push_back("garbage");
    EXPECT_EQ(runProt(lines), "");

    // A short last line, a bad checksum, a lost line.
    Lines bad = lines;
    bad.pop_back();
    bad.back().pop_back();
    EXPECT_EQ(runProt(bad), "parse_prot: dumpline6: improper len: " + bad.back());
    bad = lines;
    bad.pop_back();
    bad.back()[0] = bad.back()[0] == '0' ? '1' : '0';
    EXPECT_THAT(runProt(bad), ::testing::StartsWith("parse_prot: checksum error: "));
    bad = lines;
    bad.resize(bad.size() - 2);
    EXPECT_EQ(runProt(bad), "end of dump reached");

    // Below 6.0195 the record has no byte count, so nothing is read or walked.
    Lines none = dump("6.01", {});
    none.push_back("not a dump line");
    EXPECT_EQ(runProt(none), "");
    EXPECT_THAT(callsOf("valid_bytes"), ElementsAre("0"));
}

TEST(ParseProt, ChecksumMessageAndHexPairs)
{
    Lines lines = dump("7.14Lb07", padded({}));
    // "7G" reads 7 and "G7" reads 0.
    lines.back() = "7G" + std::string(62, '0') + "00";
    EXPECT_EQ(runProt(lines), "parse_prot: checksum error: 07 vs. 00");
    lines.back() = "G7" + std::string(62, '0') + "0G";
    EXPECT_EQ(runProt(lines), "parse_prot: protocol interval undefined");
}

TEST(ParseProt, HeaderAndBlankLine)
{
    Lines lines = dump("7.14Lb07", padded({}));
    for (auto& l : lines) {
        if (l == "ORBEL-QUIST Protokoll")
            l = "ORBEL-QUIST Protokol";
    }
    EXPECT_EQ(runProt(lines), "parse_prot: bad header");

    lines = dump("5.12", {});
    auto blank = std::find(lines.begin(), lines.end(), std::string());
    ASSERT_NE(blank, lines.end());
    *blank = "-";
    EXPECT_EQ(runProt(lines), "parse_prot: missing blank line");
}

TEST(ParseProt, OldFormatLines)
{
    // Pointer 0100: sixteen lines, nothing walked.
    Lines lines = dump("5.12", {});
    EXPECT_EQ(runProt(lines), "");
    EXPECT_THAT(callsOf("valid_bytes"), ElementsAre("0"));
    const size_t header = size_t(std::find(lines.begin(), lines.end(), "ORBEL-QUIST Protokoll") - lines.begin());
    EXPECT_EQ(lines.size() - header - 2, 16u);

    // Pointer 0800 is invalid.
    Lines bad = lines;
    std::string& l20 = bad[header + 2 + 2];
    ASSERT_EQ(l20.substr(0, 4), "0020");
    l20.replace(5, 5, "00 08");
    EXPECT_EQ(runProt(bad), "parse_prot: invalid protocol pointer: 0x800");
    l20.replace(5, 5, "FF 00");
    EXPECT_EQ(runProt(bad), "parse_prot: invalid protocol pointer: 0xff");

    // Configuration bytes: 5A sets a bit, A5 and FF set none, others are bad data.
    bad = lines;
    bad[header + 4].replace(5 + 3 * 6, 5, "FF 5A");
    EXPECT_EQ(runProt(bad), "");
    EXPECT_THAT(callsOf("features"), ElementsAre("2"));
    bad[header + 4].replace(5 + 3 * 6, 5, "12 34");
    EXPECT_EQ(runProt(bad), "");
    EXPECT_THAT(callsOf("bad_data"), ElementsAre("7 0", "8 0"));
    EXPECT_THAT(callsOf("features"), ElementsAre("0"));

    // Serial number from the packed digits of line 0000, range-checked.
    bad = lines;
    bad[header + 2].replace(5, 8, "39 62 00");
    EXPECT_EQ(runProt(bad), "");
    EXPECT_THAT(callsOf("serial_number"), ElementsAre("006239"));
    EXPECT_THAT(callsOf("bad_data"), ElementsAre("1 0"));

    // Addresses and lengths.
    bad = lines;
    bad[header + 3].replace(0, 4, "0011");
    EXPECT_EQ(runProt(bad), "parse_prot: inconsistent address at 0x10");
    bad = lines;
    bad[header + 3].replace(0, 5, "00100");
    EXPECT_EQ(runProt(bad), "parse_prot: inconsistent address at 0x10");
    bad = lines;
    bad[header + 3] += " ";
    EXPECT_EQ(runProt(bad), "parse_prot: dumpline5: improper len: " + bad[header + 3]);
    bad = lines;
    bad.pop_back();
    EXPECT_EQ(runProt(bad), "end of dump reached");
}

TEST(ParseProt, OldCodeTable)
{
    // F2 05 3A: an hour's interval, then 0x53A pulses over it.
    EXPECT_EQ(runProt(dump("5.12", bytes({0xF2, 0x05, 0x3A}))), "");
    EXPECT_THAT(callsOf("new_interval"), ElementsAre("3600"));
    EXPECT_THAT(callsOf("pulses"), ElementsAre("3600 1338 3600"));

    EXPECT_EQ(runProt(dump("5.12", bytes({0xF0, 0xF1, 0xF3, 0xFC, 0xFF, 0x02, 0x00, 0xF4, 0x00, 0x01}))), "");
    EXPECT_THAT(callsOf("new_interval"), ElementsAre("604800", "86400", "600", "60"));
    EXPECT_THAT(callsOf("overflow"), ElementsAre(""));
    EXPECT_THAT(callsOf("truncated_interval"), ElementsAre("0 120"));
    EXPECT_THAT(callsOf("pulses"), ElementsAre("120 1 120")) << "the truncated length, not the interval";

    EXPECT_EQ(runProt(dump("5.12", bytes({0xF5}))), "parse_prot: bad 0xF? code: F5");
    EXPECT_EQ(runProt(dump("5.12", bytes({0xFD}))), "parse_prot: bad 0xF? code: FD");
    EXPECT_EQ(runProt(dump("5.12", bytes({0xFE, 0x30, 0x12, 0x24}))), "parse_prot: premature eop (fti 5)");
    EXPECT_EQ(runProt(dump("5.12", bytes({0xFF, 0x01}))), "parse_prot: premature eop (oob 5)");
    EXPECT_EQ(runProt(dump("5.12", bytes({0x00, 0x01}))), "parse_prot: protocol interval undefined");
}

TEST(ParseProt, CountsAndCarry)
{
    // 18 01 = 1 * 2^3; EF FF = 2047 * 2^29.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0x0B, 0x18, 0x01, 0xEF, 0xFF})))), "");
    EXPECT_THAT(callsOf("pulses"), ElementsAre("60 8 60", "120 1098974756864 60"));

    // A truncated interval of 0 carries its count into the next count, which has the full interval.
    EXPECT_EQ(runProt(dump("7.14Lb07",
                  padded(bytes({0xF5, 0x0B, 0xF5, 0xEE, 0x00, 0x00, 0x00, 0x07, 0x00, 0x05, 0x00, 0x01})))),
        "");
    EXPECT_THAT(callsOf("truncated_interval"), ElementsAre("0 0"));
    EXPECT_THAT(callsOf("pulses"), ElementsAre("60 12 60", "120 1 60"));
    EXPECT_EQ(callsOf("dose_rate").size(), 2u);

    // A truncated interval of 30 s applies once.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0x0B, 0xF5, 0xEE, 0x03, 0x00, 0x00, 0x07, 0x00, 0x05})))), "");
    EXPECT_THAT(callsOf("pulses"), ElementsAre("30 7 30", "90 5 60"));

    // Interval 0 (from 7.0005) leaves it undefined.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0x0B, 0xF5, 0x00, 0x00, 0x07})))),
        "parse_prot: protocol interval undefined");
}

TEST(ParseProt, CutOffRecords)
{
    // 6.0055 <= v < 6.9: a lone count byte at 65279 runs past the memory limit of 65280.
    for (int offset : {65279, 65278, 100}) {
        QByteArray image = bytes({0xF5, 0x0A});
        while (image.size() < offset)
            image += bytes({0x00, 0x01});
        image.truncate(offset);
        if (offset % 2)
            image[offset - 1] = char(0xF9); // keep the records aligned
        image += char(0x42);
        const std::string prefix = offset == 65279 ? "parse_prot: eodm" : "parse_prot: premature eop";
        EXPECT_EQ(runProt(dump("6.50Lb07", image)), prefix + " (no vn, v = 42)") << offset;
        if (offset == 65279) {
            EXPECT_EQ(runProt(dump("6.95Lb07", image)), "parse_prot: premature eop (no vn, v = 42)");
        }
    }

    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xEE, 0x01})))), "parse_prot: premature eop (oob 6)");
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xED, 1, 2, 3, 4, 5})))), "parse_prot: premature eop (fti6)");
    EXPECT_EQ(runProt(dump("6.50Lb07", padded(bytes({0xF5, 0xEF, 1, 2, 3, 4}), true))), "parse_prot: premature eop (fti6)");
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF8, 0x05, 1, 2, 3})))), "parse_prot: premature eop (diag)");
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF8, 0x05, 1, 2, 3, 4})))), "");
    // Old format: the memory ends at 1792, so a time mark at 1788 runs past it.
    QByteArray old = bytes({0xF4, 0xF4});
    while (old.size() < 1788)
        old += bytes({0x00, 0x01});
    old += bytes({0xFE, 0x00, 0x00});
    EXPECT_EQ(runProt(dump("5.12", old)), "parse_prot: eodm (fti 5)");
    old.chop(5); // the time mark now ends exactly at the limit
    old += bytes({0xFE, 0x00, 0x00});
    EXPECT_EQ(runProt(dump("5.12", old)), "parse_prot: premature eop (fti 5)");
}

TEST(ParseProt, FlagBytesByVersion)
{
    const QByteArray flags = bytes({0xF9, 0xFA, 0xFC, 0xFF});
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(flags))), "");
    const Lines newer = calls();
    EXPECT_EQ(callsOf("overflow").size(), 2u);
    EXPECT_EQ(callsOf("dose_alarm").size(), 2u);
    EXPECT_EQ(callsOf("dose_rate_alarm").size(), 2u);
    // Below 7.0005 FA is an overflow alone.
    EXPECT_EQ(runProt(dump("6.95Lb07", padded(flags))), "");
    EXPECT_EQ(callsOf("overflow").size(), 3u);
    EXPECT_EQ(callsOf("dose_alarm").size(), 1u);
    // FF sets all three, in bit order.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xFF})))), "");
    const auto& c = calls();
    const auto it = std::find(c.begin(), c.end(), "overflow ");
    ASSERT_NE(it, c.end());
    EXPECT_EQ(*(it + 1), "dose_alarm ");
    EXPECT_EQ(*(it + 2), "dose_rate_alarm ");

    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF6, 0x00})))), "parse_prot: bad 0xF? code: F6");
    EXPECT_EQ(runProt(dump("6.50Lb07", padded(bytes({0xF8, 0x01}), true))), "parse_prot: bad 0xF? code: F8");
    EXPECT_EQ(runProt(dump("6.50Lb07", padded(bytes({0xF5, 0xF3}), true))), "") << "ignored before 6.9";
    EXPECT_EQ(runProt(dump("6.95Lb07", padded(bytes({0xF5, 0xF3})))), "parse_prot: unknown event code: f3");
    EXPECT_EQ(runProt(dump("6.95Lb07", padded(bytes({0xF5, 0x0D})))), "parse_prot: unknown event code: 0d");
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0x0D})))), "");
    EXPECT_THAT(callsOf("new_interval"), ElementsAre("10"));
    EXPECT_EQ(runProt(dump("7.05Lb07", padded(bytes({0xF5, 0xEF})))), "parse_prot: unknown event code: ef");
}

TEST(ParseProt, CalibrationSetSwitch)
{
    DumpSpec spec;
    spec.cds0 = {{0xFFFFFFFF, 100, 4000, 0, false}};
    spec.cds1 = {};
    EXPECT_EQ(runProt(dump("7.05Lb07", padded(bytes({0xF5, 0xEB})), spec)), "parse_prot: unknown event code: eb");
    EXPECT_EQ(runProt(dump("7.09Lb07", padded(bytes({0xF5, 0x0B, 0xF5, 0xEB, 0x00, 0x01, 0xF5, 0xEA, 0x00, 0x01, 0xF5, 0xFF})), spec)), "");
    EXPECT_THAT(callsOf("new_cds"), ElementsAre("1", "0", "21"));
    const auto rates = callsOf("dose_rate");
    ASSERT_EQ(rates.size(), 2u);
    EXPECT_EQ(rates[0], "-1") << "the empty second set";
    EXPECT_NE(rates[1], "-1");
}

TEST(ParseProt, TimeMarks)
{
    // 7.0005 on: seconds first. 31.12.2020 23:59:58.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xED, 0x58, 0x59, 0x23, 0x31, 0x12, 0x20})))), "");
    EXPECT_THAT(callsOf("new_time"), ElementsAre("1609459198"));
    // Before: no seconds. 1.1.1999 00:00 (year byte 99 is 1999).
    EXPECT_EQ(runProt(dump("6.95Lb07", padded(bytes({0xF5, 0xEF, 0x00, 0x00, 0x01, 0x01, 0x99})))), "");
    EXPECT_THAT(callsOf("new_time"), ElementsAre("915148800"));
    // Month 00 is December of the year before; 31 April is 1 May.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xED, 0x00, 0x00, 0x00, 0x15, 0x00, 0x21})))), "");
    EXPECT_THAT(callsOf("new_time"), ElementsAre("1607990400")); // 2020-12-15
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xED, 0x00, 0x00, 0x00, 0x31, 0x04, 0x21})))), "");
    EXPECT_THAT(callsOf("new_time"), ElementsAre("1619827200")); // 2021-05-01
    // Day 00: bad data 3, 26 April 1986 with the time of day kept.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xED, 0x05, 0x30, 0x12, 0x00, 0x05, 0x21})))), "");
    EXPECT_THAT(callsOf("bad_data"), ElementsAre("3 1"));
    EXPECT_THAT(callsOf("new_time"), ElementsAre("514902605")); // 1986-04-26 12:30:05
    // Hour 24 and month 13: both sanitised, in that order.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xED, 0x00, 0x00, 0x24, 0x01, 0x13, 0x21})))), "");
    EXPECT_THAT(callsOf("bad_data"), ElementsAre("2 1", "3 1"));
    EXPECT_THAT(callsOf("new_time"), ElementsAre("514862624")); // 1986-04-26 01:23:44
    // Counts advance the time from the mark.
    EXPECT_EQ(runProt(dump("7.14Lb07", padded(bytes({0xF5, 0xED, 0x00, 0x00, 0x12, 0x01, 0x01, 0x20, 0xF5, 0x0B,
                                           0xF5, 0xEE, 0x02, 0x00, 0x00, 0x01, 0x00, 0x01})))),
        "");
    EXPECT_THAT(callsOf("truncated_interval"), ElementsAre("1577880000 20"));
    EXPECT_THAT(callsOf("pulses"), ElementsAre("1577880020 1 20", "1577880080 1 60"));
}

TEST(ParseProt, CalibrationSectionIsRequiredFromItsVersion)
{
    Lines lines = dump("6.95Lb07", padded({}));
    auto c = std::find(lines.begin(), lines.end(), "c");
    ASSERT_NE(c, lines.end());
    *c = "C";
    EXPECT_EQ(runProt(lines), "end of dump reached");
    // Up to 6.0115 the built-in table stands in.
    EXPECT_EQ(runProt(dump("6.01", {})), "");
    EXPECT_THAT(callsOf("cal_tube"), ElementsAre("LND 712"));
}

TEST(ParseProt, OverlongLinesInTheTableAreCut)
{
    Lines lines = dump("7.14Lb07", padded({}));
    // A caller that writes a full slot without terminator still gets a bounded line.
    std::memset(parser_lines[0], 'x', PARSER_LINE_SIZE);
    EXPECT_EQ(parse_prot(nullptr, 1), std::string("end of dump reached"));
    EXPECT_EQ(std::strlen(parser_lines[0]), size_t(PARSER_LINE_SIZE - 1));
    EXPECT_EQ(parse_prot(nullptr, -5), std::string("end of dump reached"));
}
