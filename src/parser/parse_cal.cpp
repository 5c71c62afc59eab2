#include "parser/parse_cal.h"

#include <cstring>

#include "parser/parser_internal.h"

namespace parser_detail {

namespace {

constexpr float kSeventh = 1.0f / 7, kTwentyFirst = 1.0f / 21, kTwentySecond = 1.0f / 22, kThird = 1.0f / 3;
constexpr BuiltinSegment kT2235[] = {{0, 0, 5696}};
constexpr BuiltinSegment kT4095[] = {{0, 0, 5360}};
constexpr BuiltinSegment kT5295[] = {{0, 0, 6403}};
constexpr BuiltinSegment kT5335[] = {{20, 46, 3377}, {200, 6, 4298}, {2000, 0.8f, 5345}, {20000, kSeventh, 6830}, {0, kTwentyFirst, 9457}};
constexpr BuiltinSegment kT5375[] = {{396, 4, 4311}, {1385, 1, 5797}, {4910, 0.25f, 6771}, {0, kTwentySecond, 7645}};
constexpr BuiltinSegment kT6999[] = {{118, 0, 4442}, {415, 3, 4442}, {1418, 1, 5340}, {4815, kThird, 6363}, {0, 0.1f, 7541}};

constexpr BuiltinTable kBuiltin[] = {
    {2.235f, "LND 712", kT2235, 1},
    {4.095f, "LND 712", kT4095, 1},
    {5.295f, "LND 712", kT5295, 1},
    {5.335f, "LND 712", kT5335, 5},
    {5.375f, "ZP 1401", kT5375, 4},
    {6.999f, "LND 712", kT6999, 5},
};

constexpr int kLineSize = 123;
constexpr int kTokens = 6;

// A tokenised copy of one line, zero-padded so fixed-position reads past its end see non-digits.
struct Line {
    char text[kLineSize] = {};
    char* tok[kTokens] = {};
    int n = 0;

    explicit Line(const char* src)
    {
        std::strncpy(text, src, kLineSize - 1);
    }
    void split() { n = tokenize(text, tok, kTokens); }
    bool has(int i) const { return i < n; }
    size_t len(int i) const { return i < n ? std::strlen(tok[i]) : 0; }
};

// Little-endian hex field of `digits` characters at `at`: "3412" is 0x1234. Taken as 32 bits:
// pairs past the fourth fall off the top.
uint32_t readHexLe(const char* at, int digits)
{
    uint32_t v = 0;
    for (int i = 0; i < digits / 2 && i < 4; ++i)
        v |= uint32_t(hexPair(at + 2 * i)) << (8 * i);
    return v;
}

const char* tubeForCode(uint64_t code)
{
    switch (code) {
    case 0xB8: return "ZP 1401";
    case 0xB0: return "LND 712";
    case 0x62: return "N205";
    default: return "unknown";
    }
}

const char* crap(const char* unit, const Line& l, int i)
{
    return message("%s: output contains additional crap in V%d: \"%s\"", unit, i, l.tok[i]);
}

// Reads `count` CDIs into `set` from the lines after `pos`.
const char* readCdis(Cds& set, int count, unsigned mask, bool shortLayout, int earlyEnd, uint32_t defaultLimit,
    LineAt lineAt, int& pos)
{
    set.count = 0;
    for (int i = 0; i < count; ++i) {
        const char* src = lineAt(pos);
        if (!src)
            return "end of dump reached";
        ++pos;
        const Line l(src);
        Cdi& e = set.entries[i];
        const int lw = shortLayout ? 4 : 8;
        e.limit = readHexLe(l.text, lw);
        e.correction = uint16_t(readHexLe(l.text + lw, 4));
        e.denominator = uint16_t(readHexLe(l.text + lw + 4, 4));
        e.numerator = uint16_t(readHexLe(l.text + lw + 8, 4));
        e.wide = ((mask >> i) & 1) != 0;
        set.count = i + 1;
        if (earlyEnd == 1 && e.limit == 0) {
            e.limit = 0xFFFFFFFF;
            break;
        }
        if (earlyEnd == 2 && e.limit == 0xFFFFFFFF) {
            e.limit = defaultLimit;
            break;
        }
    }
    return nullptr;
}

const char* parseCdm(const Line& l, double v)
{
    if (!l.has(0) || std::strcmp(l.tok[0], "ORBEL-QUIST") != 0)
        return "parse_cdm: m0 corrupt";
    if (!l.has(1) || std::strcmp(l.tok[1], "SoftCal") != 0)
        return "parse_cdm: m1 corrupt";
    if (v >= 6.9) {
        if (l.has(2) && std::strcmp(l.tok[2], "ungueltig") == 0)
            return "parse_cdm: SoftCal data invalid";
        if (!l.has(2) || std::strcmp(l.tok[2], "gueltig") != 0)
            return "parse_cdm: m2 corrupt";
    }
    return nullptr;
}

} // namespace

void selectBuiltin(const parser_callbacks* cb, Calibration& cal, float version)
{
    cal.builtin = &kBuiltin[5];
    for (const auto& t : kBuiltin) {
        if (t.bound >= version) {
            cal.builtin = &t;
            break;
        }
    }
    cal.multiplier = 64;
    cal.adjust = 0;
    PARSER_CB(cb, cb_cal_tube, cal.builtin->tube);
}

const char* parseCalibration(const parser_callbacks* cb, Calibration& cal, float version, LineAt lineAt, int& pos)
{
    const double v = version;
    const char* first = lineAt(pos);
    if (!first)
        return "end of dump reached";
    if (std::strncmp(first, "ORBEL-QUIST", 11) == 0) {
        Line mode(first);
        mode.split();
        if (const char* m = parseCdm(mode, v))
            return m;
        ++pos;
    }
    const char* src = lineAt(pos);
    if (!src)
        return "end of dump reached";
    ++pos;
    Line h(src);
    h.split();

    if (h.len(0) != 2)
        return "parse_cdh: V0 corrupt";
    if (v < 6.0205 ? h.len(1) != 4 : h.len(1) != 2)
        return v < 6.0205 ? "parse_cdh: V1/4 corrupt" : "parse_cdh: V1/2 corrupt";

    // Per band: how many fields follow V1, and which fields carry count, mask and tube code.
    int fields; // V0..V(fields-1) present, V(fields) absent
    int countField = -1, maskField, tubeField = -1;
    int earlyEnd = 0; // 1: limit 0 ends the set; 2: limit FFFFFFFF ends it with the default limit
    bool v2OfFour = false;
    cal.multiplier = 64;
    if (v < 6.0205) {
        fields = 2, maskField = 1, earlyEnd = 1;
    } else if (v < 6.0615) {
        fields = 3, countField = 0, maskField = 1, earlyEnd = 2;
    } else if (v < 6.0805) {
        fields = 2, countField = 0, maskField = 1;
    } else if (v < 6.9) {
        fields = 3, countField = 1, maskField = 2, tubeField = 0, v2OfFour = true;
    } else if (v < 7.0005) {
        fields = 4, countField = 2, maskField = 3, tubeField = 0, cal.multiplier = 512;
    } else {
        fields = 5, countField = 2, maskField = 3, tubeField = 0, cal.multiplier = 512;
    }
    for (int i = 2; i < fields; ++i) {
        if (!h.has(i) || (i == 2 && v2OfFour && h.len(2) != 4))
            return message("parse_cdh: V%d corrupt", i);
    }
    if (h.has(fields))
        return crap("parse_cdh", h, fields);

    if (v >= 6.0205 && v < 6.0615) {
        const size_t n = h.len(2);
        cal.defaultLimit = n % 2 == 0 ? readHexLe(h.tok[2], int(n)) : 0;
    }
    if (fields == 5) {
        const uint64_t adjust = readHex(h.tok[4]) & 0xFFFF;
        if (adjust == 0x80 || adjust >= 0x100)
            return message("parse_cdh: adjust value corrupt: \"%s\"", h.tok[4]);
        cal.adjust = adjust <= 0x7F ? int(adjust) : -int(adjust & 0x7F);
    }

    unsigned mask;
    int count;
    if (countField < 0) {
        count = 8;
        mask = hexPair(h.tok[1]);
    } else {
        count = int(readHex(h.tok[countField]) & 0xFF);
        mask = unsigned(readHex(h.tok[maskField]) & 0xFF);
    }
    if (count > 8)
        return message("parse_cdh: can't deal with %d CDIs", count);
    PARSER_CB(cb, cb_cal_tube, tubeField < 0 ? "unknown" : tubeForCode(readHex(h.tok[tubeField])));

    if (const char* m = readCdis(cal.sets[0], count, mask, v < 6.0205, earlyEnd, cal.defaultLimit, lineAt, pos))
        return m;

    if (v > 7.08) {
        const char* src1 = lineAt(pos);
        if (!src1)
            return "end of dump reached";
        ++pos;
        Line h1(src1);
        h1.split();
        for (int i = 0; i < 5; ++i) {
            if (h1.len(i) != 2)
                return message("parse_cdh1: V%d corrupt", i);
        }
        if (h1.has(5))
            return crap("parse_cdh1", h1, 5);
        const int count1 = int(readHex(h1.tok[2]) & 0xFF);
        if (count1 > 8)
            return message("parse_cdh1: can't deal with %d CDIs", count1);
        const unsigned mask1 = unsigned(readHex(h1.tok[3]) & 0xFF);
        if (const char* m = readCdis(cal.sets[1], count1, mask1, false, 0, 0, lineAt, pos))
            return m;
    }
    return nullptr;
}

float doseRate(const Calibration& cal, int activeSet, uint64_t pulses, uint32_t seconds)
{
    if (seconds == 0)
        return -1;
    const uint64_t o = (pulses * cal.multiplier + seconds / 2) / seconds;
    if (cal.builtin) {
        uint64_t previous = 0;
        for (int i = 0; i < cal.builtin->count; ++i) {
            const BuiltinSegment& s = cal.builtin->segments[i];
            if (s.limit == 0 || o < s.limit || i == cal.builtin->count - 1) {
                const float span = float(o - (i == 0 ? 0 : previous));
                return (span * s.slope + float(s.base)) * float(o) / 655360.0f;
            }
            previous = s.limit;
        }
        return -1;
    }
    const Cds& set = cal.sets[activeSet & 1];
    for (int i = 0; i < set.count; ++i) {
        const Cdi& e = set.entries[i];
        if (o > e.limit)
            continue;
        const uint64_t t = (uint64_t(e.correction) * o) >> (e.wide ? 16 : 8);
        const uint32_t den = uint32_t(e.denominator - t);
        if (den == 0)
            return -1;
        const uint64_t q = (uint64_t(e.numerator) * o * 65536) / den;
        return float(double(q) / 65536.0 * (1.0 + cal.adjust / 64.0));
    }
    return -1;
}

} // namespace parser_detail
