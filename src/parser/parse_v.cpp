// The version record: "Version <ver>[tube][power][features] [hw] <serial> <size> <date> <time>".
#include <cstdarg>
#include <cstring>
#include <charconv>
#include <cmath>

#include "parser/parser_internal.h"
#include "platform/CLocale.h"

namespace parser_detail {

static char s_message[kMessageSize];

const char* message(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    oq::cVsnprintf(s_message, sizeof s_message, format, ap);
    va_end(ap);
    return s_message;
}

int tokenize(char* line, char** tokens, int max)
{
    int n = 0;
    char* p = line;
    while (n < max) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            break;
        tokens[n++] = p;
        while (*p != '\0' && *p != ' ' && *p != '\t')
            ++p;
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    return n;
}

uint64_t readHex(const char* text)
{
    uint64_t v = 0;
    for (const char* p = text; hexDigit(*p) >= 0; ++p)
        v = v * 16 + uint64_t(hexDigit(*p));
    return v;
}

void checkSerial(const parser_callbacks* cb, const char* serial)
{
    // Saturating, so an absurdly long number stays out of range instead of wrapping into it.
    uint64_t value = 0;
    for (const char* p = serial; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + uint64_t(*p - '0');
        if (value > UINT32_MAX) {
            value = UINT32_MAX;
            break;
        }
    }
    if (value < 6240 || value > 150000)
        PARSER_CB(cb, cb_bad_data, BD_SERIAL_RANGE, 0);
}

} // namespace parser_detail

using namespace parser_detail;

namespace {

constexpr int kMaxTokens = 8;

// Length of the longest decimal-number prefix: [+-]digits[.digits][e[+-]digits].
size_t decimalPrefix(const char* s)
{
    size_t i = 0;
    if (s[i] == '+' || s[i] == '-')
        ++i;
    size_t digits = 0;
    while (s[i] >= '0' && s[i] <= '9')
        ++i, ++digits;
    if (s[i] == '.') {
        size_t j = i + 1;
        while (s[j] >= '0' && s[j] <= '9')
            ++j, ++digits;
        if (digits > 0)
            i = j;
    }
    if (digits == 0)
        return 0;
    if (s[i] == 'e' || s[i] == 'E') {
        size_t j = i + 1;
        if (s[j] == '+' || s[j] == '-')
            ++j;
        if (s[j] >= '0' && s[j] <= '9') {
            while (s[j] >= '0' && s[j] <= '9')
                ++j;
            i = j;
        }
    }
    return i;
}

// Locale-independent: the process runs with the user's LC_NUMERIC, which may use a decimal comma.
float readFloat(const char* s, size_t len)
{
    const char* first = (*s == '+') ? s + 1 : s;
    float v = 0;
    const auto r = std::from_chars(first, s + len, v);
    if (r.ec == std::errc::result_out_of_range)
        v = (*s == '-') ? -HUGE_VALF : HUGE_VALF;
    return v;
}

const char* tubeName(char c, const parser_callbacks* cb)
{
    switch (c) {
    case 'C': case 'c': return "ZP 1401";
    case 'L': case 'l': return "LND 712";
    case 'N': case 'n': return "N205";
    default:
        PARSER_CB(cb, cb_bad_data, BD_TUBE, 0);
        return "unknown";
    }
}

const char* powerName(char c, const parser_callbacks* cb)
{
    switch (c) {
    case 'A': case 'a': return "Akku";
    case 'B': case 'b': return "Batt";
    default:
        PARSER_CB(cb, cb_bad_data, BD_POWER, 0);
        return "unknown";
    }
}

} // namespace

const char* parse_v(const parser_callbacks* cb, char* line, float* version, uint16_t* validBytes)
{
    PARSER_CB(cb, cb_version_line, line);

    char* tok[kMaxTokens];
    const int n = tokenize(line, tok, kMaxTokens);
    if (n < 1 || std::strcmp(tok[0], "Version") != 0)
        return "parse_v: magic missing";
    if (n < 2)
        return "parse_v: version missing";

    const char* vt = tok[1];
    const size_t len = decimalPrefix(vt);
    float v = len > 0 ? readFloat(vt, len) : 0.0f;
    bool shortForm = false;
    if (len == 3 && double(v) > 1.99 && double(v) < 2.2 && std::strlen(vt) == 4 && vt[3] >= 'a' && vt[3] <= 's') {
        shortForm = true;
        v = 2.0f + float(vt[3] - 96) / 100.0f;
    }
    if (version)
        *version = v;
    const double dv = v;

    const bool lengthOk = shortForm ? (len == 3 || len == 5) : (len == 4 || len == 5);
    if (!lengthOk)
        return message("parse_v: length of fw version is non-standard: %u", unsigned(len));
    if (dv < 1.985)
        return message("parse_v: dump too old: %s", vt);

    char fw[12];
    if (shortForm)
        oq::cSnprintf(fw, sizeof fw, "%s (%.2f)", vt, dv);
    else
        oq::cSnprintf(fw, sizeof fw, "%s", vt);
    PARSER_CB(cb, cb_fw_version, fw);

    if (dv < 6.0195) {
        PARSER_CB(cb, cb_fw_tube, "N/A");
        PARSER_CB(cb, cb_type, "N/A");
        PARSER_CB(cb, cb_date, "N/A");
        PARSER_CB(cb, cb_time, "N/A");
        PARSER_CB(cb, cb_hw_info, "N/A");
        return nullptr;
    }

    const char* rest = vt + len;
    if (*rest == '\0') {
        PARSER_CB(cb, cb_fw_tube, "N/A");
        PARSER_CB(cb, cb_type, "N/A");
        PARSER_CB(cb, cb_features, "N/A");
    } else {
        PARSER_CB(cb, cb_fw_tube, tubeName(rest[0], cb));
        if (rest[1] == '\0') {
            PARSER_CB(cb, cb_type, "N/A");
            PARSER_CB(cb, cb_features, "N/A");
        } else {
            PARSER_CB(cb, cb_type, powerName(rest[1], cb));
            const char* features = rest + 2;
            const size_t flen = std::strlen(features);
            if (flen == 0) {
                PARSER_CB(cb, cb_features, "N/A");
            } else if (flen == 1) {
                PARSER_CB(cb, cb_bad_data, BD_FEATURES, 0);
                PARSER_CB(cb, cb_features, "unknown");
            } else {
                PARSER_CB(cb, cb_features, features[0] == '0' ? features + 1 : features);
            }
        }
    }

    int tail = 2;
    if (dv < 6.9) {
        PARSER_CB(cb, cb_hw_info, "N/A");
    } else if (dv < 7.0215) {
        if (n < 3)
            return "parse_v: HW info missing";
        PARSER_CB(cb, cb_hw_info, tok[2]);
        tail = 3;
    }

    if (n <= tail)
        return "parse_v: S/N missing";
    checkSerial(cb, tok[tail]);
    PARSER_CB(cb, cb_serial_number, tok[tail]);

    if (n <= tail + 1)
        return "parse_v: size missing";
    const uint16_t size = uint16_t(readHex(tok[tail + 1]));
    if (size <= 6)
        return message("parse_v: amount of valid bytes seems wrong: %s", tok[tail + 1]);
    if (validBytes)
        *validBytes = size;

    if (n <= tail + 2)
        return "parse_v: date missing";
    PARSER_CB(cb, cb_date, tok[tail + 2]);
    if (n <= tail + 3)
        return "parse_v: time missing";
    PARSER_CB(cb, cb_time, tok[tail + 3]);

    if (n > tail + 4)
        return message("parse_v: output contains additional crap: \"%s\"", tok[tail + 4]);
    return nullptr;
}
