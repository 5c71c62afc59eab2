// Dump sections v, h, s, c, b; old (52-character) and new (66-character) dump lines; the event
// byte stream of the protocol memory.
#include "parser/parse_prot.h"

#include <cstring>

#include "parser/parse_cal.h"
#include "parser/parser_internal.h"

char parser_lines[PARSER_MAX_LINES][PARSER_LINE_SIZE];

using namespace parser_detail;

namespace {

constexpr int kImageSize = 65536;
uint8_t s_image[kImageSize];
int s_lineCount = 0;

const char* lineAt(int i) { return (i >= 0 && i < s_lineCount) ? parser_lines[i] : nullptr; }

int find(int from, const char* marker)
{
    for (int i = from < 0 ? 0 : from; i < s_lineCount; ++i) {
        if (std::strcmp(parser_lines[i], marker) == 0)
            return i;
    }
    return -1;
}

constexpr const char* kEnd = "end of dump reached";

constexpr uint32_t kOldIntervals[] = {604800, 86400, 3600, 600, 60}; // codes F0..F4 before 5.99
constexpr uint32_t kIntervals[] = {604800, 259200, 86400, 43200, 7200, 3600, 1800, 600, 300, 120, 60, 30, 10};

struct Walk {
    const parser_callbacks* cb;
    double v;
    Calibration cal;
    int activeSet = 0;
    uint32_t interval = 0;  // I; 0 is undefined
    bool pending = false;   // P present
    uint32_t pendingLength = 0;
    uint32_t carried = 0;   // K
    int64_t now = 0;        // T
};

int bcd(uint8_t b) { return b - 6 * (b >> 4); }

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t daysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// A broken-down UTC time as seconds since 1970, normalising out-of-range months and days the way
// timegm does (month 0 is December of the year before; day 31 of a 30-day month is the 1st).
int64_t toEpoch(int year, int month, int day, int hour, int minute, int second)
{
    const int64_t months = int64_t(year) * 12 + (month - 1);
    const int64_t y = months >= 0 ? months / 12 : (months - 11) / 12;
    const int m = int(months - y * 12) + 1;
    const int64_t days = daysFromCivil(y, m, 1) + (day - 1);
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

// `bytes` holds second (when `withSeconds`), minute, hour, day, month, year as packed decimal.
void timeMark(Walk& w, const uint8_t* bytes, bool withSeconds)
{
    int i = 0;
    int second = withSeconds ? bcd(bytes[i++]) : 0;
    int minute = bcd(bytes[i++]);
    int hour = bcd(bytes[i++]);
    int day = bcd(bytes[i++]);
    int month = bcd(bytes[i++]);
    const uint8_t rawYear = bytes[i];
    int year = (rawYear < 0x70 ? 2000 : 1900) + bcd(rawYear);
    if (second > 59 || minute > 59 || hour > 23) {
        PARSER_CB(w.cb, cb_bad_data, BD_TIME_OF_DAY, 1);
        hour = 1, minute = 23, second = 44;
    }
    if (day == 0 || day > 31 || month > 12) {
        PARSER_CB(w.cb, cb_bad_data, BD_DATE, 1);
        year = 1986, month = 4, day = 26;
    }
    w.now = toEpoch(year, month, day, hour, minute, second);
    PARSER_CB(w.cb, cb_new_time, w.now);
}

void setInterval(Walk& w, uint32_t seconds)
{
    w.interval = seconds;
    PARSER_CB(w.cb, cb_new_interval, seconds);
}

void truncated(Walk& w, uint32_t seconds)
{
    w.pending = true;
    w.pendingLength = seconds;
    PARSER_CB(w.cb, cb_truncated_interval, w.now, seconds);
}

const char* count(Walk& w, uint8_t b, uint8_t x)
{
    const uint64_t n = uint64_t((b & 7) * 256 + x) << (b >> 3);
    if (w.interval == 0)
        return "parse_prot: protocol interval undefined";
    uint32_t d = w.interval;
    if (w.pending) {
        w.pending = false;
        if (w.pendingLength == 0) {
            w.carried += uint32_t(n);
            return nullptr;
        }
        d = w.pendingLength;
    }
    w.now += d;
    const uint64_t pulses = n + w.carried;
    PARSER_CB(w.cb, cb_pulses, w.now, pulses, d);
    PARSER_CB(w.cb, cb_dose_rate, doseRate(w.cal, w.activeSet, pulses, d));
    w.carried = 0;
    return nullptr;
}

// The message for a record at `offset` of `length` bytes that runs past the end of the protocol.
const char* cutOff(const Walk& w, int offset, int length, const char* tag, int code = -1)
{
    const int limit = w.v < 6.0055 ? 1792 : 65280;
    const char* what = (w.v < 6.9 && offset + length > limit) ? "parse_prot: eodm" : "parse_prot: premature eop";
    if (code >= 0)
        return message("%s (%s, v = %02X)", what, tag, unsigned(code));
    return message("%s (%s)", what, tag);
}

const char* walk(Walk& w, int length)
{
    const uint8_t* img = s_image;
    const double v = w.v;
    int o = 0;
    while (o < length) {
        const uint8_t b = img[o];
        const int left = length - o; // bytes from the code byte on
        if (v < 5.99 && b >= 0xF0) {
            if (b <= 0xF4) {
                setInterval(w, kOldIntervals[b - 0xF0]);
                o += 1;
            } else if (b == 0xFC) {
                PARSER_CB(w.cb, cb_overflow);
                o += 1;
            } else if (b == 0xFE) {
                if (left < 6)
                    return cutOff(w, o, 6, "fti 5");
                timeMark(w, img + o + 1, false);
                o += 6;
            } else if (b == 0xFF) {
                if (left < 3)
                    return cutOff(w, o, 3, "oob 5");
                truncated(w, uint32_t(img[o + 1] | img[o + 2] << 8) * 60);
                o += 3;
            } else {
                return message("parse_prot: bad 0xF? code: %02X", unsigned(b));
            }
            continue;
        }
        if (b == 0xFA && v < 7.0005) {
            PARSER_CB(w.cb, cb_overflow);
            o += 1;
            continue;
        }
        if (b >= 0xF9) {
            if (b & 1)
                PARSER_CB(w.cb, cb_overflow);
            if (b & 2)
                PARSER_CB(w.cb, cb_dose_alarm);
            if (b & 4)
                PARSER_CB(w.cb, cb_dose_rate_alarm);
            o += 1;
            continue;
        }
        if (left < 2)
            return cutOff(w, o, 2, "no vn", b);
        const uint8_t x = img[o + 1];
        if (b <= 0xEF) {
            if (const char* m = count(w, b, x))
                return m;
            o += 2;
        } else if (b == 0xF8 && v >= 6.9) {
            const int skip = (x - 1) & 0xFF;
            if (left - 2 < skip)
                return cutOff(w, o, 2 + skip, "diag");
            o += 2 + skip;
        } else if (b == 0xF5) {
            const bool newCodes = v >= 7.0005;
            if (x <= (newCodes ? 13 : 12)) {
                setInterval(w, newCodes ? (x == 0 ? 0 : kIntervals[x - 1]) : kIntervals[x]);
                o += 2;
            } else if (x == 0xEE) {
                if (left < 4)
                    return cutOff(w, o, 4, "oob 6");
                truncated(w, uint32_t(img[o + 2] | img[o + 3] << 8) * 10);
                o += 4;
            } else if (x == 0xEF && !newCodes) {
                if (left < 7)
                    return cutOff(w, o, 7, "fti6");
                timeMark(w, img + o + 2, false);
                o += 7;
            } else if (x == 0xED && newCodes) {
                if (left < 8)
                    return cutOff(w, o, 8, "fti6");
                timeMark(w, img + o + 2, true);
                o += 8;
            } else if ((x & 0xEA) == 0xEA && v > 7.08) {
                PARSER_CB(w.cb, cb_new_cds, uint8_t(x + 22));
                w.activeSet = x == 0xEA ? 0 : 1;
                o += 2;
            } else if (x >= 0xF0 && x <= 0xFE && v < 6.9) {
                o += 2;
            } else {
                return message("parse_prot: unknown event code: %02x", unsigned(x));
            }
        } else {
            return message("parse_prot: bad 0xF? code: %02X", unsigned(b));
        }
    }
    return nullptr;
}

// Old format: 16 bytes a line after a 4-digit address; the protocol starts at 0100.
const char* readOldLines(Walk& w, int first, int& length)
{
    uint32_t pointer = 0x800;
    int stored = 0;
    for (int k = 0;; ++k) {
        const char* line = lineAt(first + k);
        if (!line)
            return kEnd;
        if (std::strlen(line) != 52)
            return message("parse_prot: dumpline5: improper len: %s", line);
        int digits = 0;
        while (hexDigit(line[digits]) >= 0)
            ++digits;
        const uint32_t address = digits <= 8 ? uint32_t(readHex(line)) : 0xFFFFFFFF;
        const uint32_t expected = uint32_t(16 * k);
        if (address != expected)
            return message("parse_prot: inconsistent address at 0x%x", unsigned(expected));
        uint8_t bytes[16];
        for (int i = 0; i < 16; ++i)
            bytes[i] = hexPair(line + 5 + 3 * i);
        if (address == 0x0000) {
            char serial[7];
            std::memcpy(serial, line + 11, 2);
            std::memcpy(serial + 2, line + 8, 2);
            std::memcpy(serial + 4, line + 5, 2);
            serial[6] = '\0';
            checkSerial(w.cb, serial);
            PARSER_CB(w.cb, cb_serial_number, serial);
        } else if (address == 0x0020) {
            pointer = bytes[0] | uint32_t(bytes[1]) << 8;
            if (pointer < 0x100 || pointer > 0x7FF)
                return message("parse_prot: invalid protocol pointer: 0x%x", unsigned(pointer));
            unsigned features = 0;
            if (bytes[6] == 0x5A)
                features |= 1;
            else if (bytes[6] != 0xA5 && bytes[6] != 0xFF)
                PARSER_CB(w.cb, cb_bad_data, BD_CONFIG_A, 0);
            if (bytes[7] == 0x5A)
                features |= 2;
            else if (bytes[7] != 0xA5 && bytes[7] != 0xFF)
                PARSER_CB(w.cb, cb_bad_data, BD_CONFIG_B, 0);
            const char text[2] = {char('0' + features), '\0'};
            PARSER_CB(w.cb, cb_features, text);
        } else if (address >= 0x100 && stored + 16 <= kImageSize) {
            std::memcpy(s_image + stored, bytes, 16);
            stored += 16;
        }
        if (16 * uint32_t(k + 1) >= pointer)
            break;
    }
    length = int(pointer) - 0x100;
    return nullptr;
}

// New format: 32 bytes as 64 hex digits and a checksum, until the valid bytes are covered.
const char* readNewLines(int first, uint16_t validBytes, int& length)
{
    for (int k = 0; 32 * k < validBytes; ++k) {
        const char* line = lineAt(first + k);
        if (!line)
            return kEnd;
        if (std::strlen(line) != 66)
            return message("parse_prot: dumpline6: improper len: %s", line);
        uint8_t* out = s_image + 32 * k; // k < 2048, so within the image
        unsigned sum = 0;
        for (int i = 0; i < 32; ++i) {
            out[i] = hexPair(line + 2 * i);
            sum += out[i];
        }
        const unsigned stated = hexPair(line + 64);
        if ((sum & 0xFF) != stated)
            return message("parse_prot: checksum error: %02x vs. %02x", sum & 0xFF, stated);
    }
    length = validBytes;
    return nullptr;
}

} // namespace

const char* parser_sw_version() { return "Orbel-Quist protocol parser, revision 1.27 (2021/01/10 12:30:45)"; }

const char* parse_prot(const parser_callbacks* cb, int lineCount)
{
    s_lineCount = lineCount < 0 ? 0 : lineCount > PARSER_MAX_LINES ? PARSER_MAX_LINES : lineCount;
    for (int i = 0; i < s_lineCount; ++i)
        parser_lines[i][PARSER_LINE_SIZE - 1] = '\0';
    std::memset(s_image, 0, sizeof s_image);

    PARSER_CB(cb, cb_sw_version, parser_sw_version());

    // The version section; a "v" followed by "Standard" is not one.
    char version[PARSER_LINE_SIZE];
    int p = 0;
    for (;;) {
        const int b = find(p, "b");
        const int v = find(p, "v");
        if (b < 0 && v < 0)
            return kEnd;
        if (b >= 0 && (v < 0 || b < v)) {
            std::strcpy(version, "Version 1.99");
            p = b;
            break;
        }
        const char* next = lineAt(v + 1);
        if (!next)
            return kEnd;
        p = v + 2;
        if (std::strcmp(next, "Standard") != 0) {
            std::strcpy(version, next);
            break;
        }
    }

    Walk w{};
    w.cb = cb;
    float vf = 0;
    uint16_t validBytes = 0;
    if (const char* m = parse_v(cb, version, &vf, &validBytes))
        return m;
    w.v = vf;

    if (w.v > 7.0215) {
        const int h = find(p, "h");
        if (h < 0 || !lineAt(h + 1))
            return kEnd;
        PARSER_CB(cb, cb_hw_info, lineAt(h + 1));
        p = h + 2;
    }
    if (w.v > 7.0225) {
        const int s = find(p, "s");
        if (s < 0 || !lineAt(s + 1))
            return kEnd;
        PARSER_CB(cb, cb_statc, lineAt(s + 1));
        p = s + 2;
    } else {
        PARSER_CB(cb, cb_statc, "N/A");
    }
    if (w.v > 6.0115) {
        const int c = find(p, "c");
        if (c < 0)
            return kEnd;
        p = c + 1;
        if (const char* m = parseCalibration(cb, w.cal, vf, lineAt, p))
            return m;
    } else {
        selectBuiltin(cb, w.cal, vf);
    }

    const int b = find(p, "b");
    if (b < 0 || !lineAt(b + 1))
        return kEnd;
    if (std::strcmp(lineAt(b + 1), "ORBEL-QUIST Protokoll") != 0)
        return "parse_prot: bad header";

    int length = 0;
    if (w.v < 6.0055) {
        const char* blank = lineAt(b + 2);
        if (!blank)
            return kEnd;
        if (*blank != '\0')
            return "parse_prot: missing blank line";
        if (const char* m = readOldLines(w, b + 3, length))
            return m;
    } else if (const char* m = readNewLines(b + 2, validBytes, length)) {
        return m;
    }

    PARSER_CB(cb, cb_valid_bytes, uint16_t(length));
    return walk(w, length);
}
