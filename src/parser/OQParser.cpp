#include "OQParser.h"

#include <QByteArray>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>

#include "logging/Log.h"
#include "parser/parse_prot.h"
#include "parser/parser_callbacks.h"

namespace {

std::mutex s_mutex;
// Module state shared by every callback; replaced by each parse.
QVariantMap s_record;
QVariantList s_events;

void store(const char* key, const char* text) { s_record.insert(QLatin1String(key), QString::fromUtf8(text)); }

void cbBadData(BD_E code, uint8_t sanitized) { LGLogError("Bad Data: %d sanitized: %u\n", int(code), unsigned(sanitized)); }
void cbSwVersion(const char* t) { store("sw_version", t); }
void cbFwVersion(const char* t) { store("fw_version", t); }
void cbFwTube(const char* t) { store("fw_tube", t); }
void cbType(const char* t) { store("type", t); }
void cbFeatures(const char* t) { store("features", t); }
void cbSerialNumber(const char* t) { store("serial_number", t); }
void cbDate(const char* t) { store("date", t); }
void cbTime(const char* t) { store("time", t); }
void cbHwInfo(const char* t) { store("hw_info", t); }
void cbStatc(const char* t) { store("statc", t); }
void cbValidBytes(uint16_t n) { s_record.insert(QStringLiteral("valid_bytes"), uint(n)); }

void appendEvent(const char* key, const QVariant& value) { s_events.append(QVariantMap{{QLatin1String(key), value}}); }

void cbOverflow() { appendEvent("overflow", true); }
void cbDoseAlarm() { appendEvent("dose_alarm", true); }
void cbDoseRateAlarm() { appendEvent("dose_rate_alarm", true); }
void cbTruncatedInterval(int64_t, uint32_t seconds) { appendEvent("truncated_interval", seconds); }
void cbNewInterval(uint32_t seconds) { appendEvent("new_interval", seconds); }
void cbNewCds(uint8_t cds) { appendEvent("new_cds", uint(cds)); }

// The counter's wall clock as fields, with the machine's zone offset at that instant.
void cbNewTime(int64_t t)
{
    const time_t tt = time_t(t);
    struct tm utc = {}, local = {};
    gmtime_r(&tt, &utc);
    localtime_r(&tt, &local);
    const QVariantMap fields{
        {QStringLiteral("year"), utc.tm_year + 1900},
        {QStringLiteral("month"), utc.tm_mon + 1},
        {QStringLiteral("day"), utc.tm_mday},
        {QStringLiteral("hour"), utc.tm_hour},
        {QStringLiteral("minute"), utc.tm_min},
        {QStringLiteral("second"), utc.tm_sec},
        {QStringLiteral("offset"), int(local.tm_gmtoff)},
        {QStringLiteral("timezone"), QString::fromUtf8(local.tm_zone ? local.tm_zone : "")},
    };
    appendEvent("new_time", fields);
}

// The count just reported; its rate follows at once and completes its map.
qsizetype s_countIndex = -1;
uint64_t s_countPulses = 0;
uint32_t s_countSeconds = 0;

void cbPulses(int64_t, uint64_t pulses, uint32_t seconds)
{
    s_events.append(QVariantMap{{QStringLiteral("pulses"), quint64(pulses)}, {QStringLiteral("interval"), seconds}});
    s_countIndex = s_events.size() - 1;
    s_countPulses = pulses;
    s_countSeconds = seconds;
}

void cbDoseRate(float rate)
{
    if (s_events.isEmpty())
        return;
    const QVariant doseRate(rate < 0 ? std::numeric_limits<float>::quiet_NaN() : rate);
    if (s_countIndex == s_events.size() - 1) {
        // Built afresh rather than copied and detached: this runs once per interval of the dump.
        s_events.last() = QVariantMap{{QStringLiteral("pulses"), quint64(s_countPulses)},
            {QStringLiteral("interval"), s_countSeconds}, {QStringLiteral("doseRate"), doseRate}};
        return;
    }
    QVariantMap count = s_events.takeLast().toMap();
    count.insert(QStringLiteral("doseRate"), doseRate);
    s_events.append(count);
}

parser_callbacks recordCallbacks()
{
    parser_callbacks cb{};
    cb.cb_sw_version = cbSwVersion;
    cb.cb_bad_data = cbBadData;
    cb.cb_fw_version = cbFwVersion;
    cb.cb_fw_tube = cbFwTube;
    cb.cb_type = cbType;
    cb.cb_features = cbFeatures;
    cb.cb_serial_number = cbSerialNumber;
    cb.cb_date = cbDate;
    cb.cb_time = cbTime;
    cb.cb_hw_info = cbHwInfo;
    cb.cb_statc = cbStatc;
    cb.cb_valid_bytes = cbValidBytes;
    cb.cb_overflow = cbOverflow;
    cb.cb_dose_alarm = cbDoseAlarm;
    cb.cb_dose_rate_alarm = cbDoseRateAlarm;
    cb.cb_truncated_interval = cbTruncatedInterval;
    cb.cb_new_interval = cbNewInterval;
    cb.cb_new_time = cbNewTime;
    cb.cb_new_cds = cbNewCds;
    cb.cb_pulses = cbPulses;
    cb.cb_dose_rate = cbDoseRate;
    return cb;
}

void fail(const char* message, oq::ErrorRecord* error)
{
    LGLogError("Error: %s\n", message);
    if (error) {
        *error = oq::ErrorRecord(QString::fromLatin1(OQParserErrorDomain), OQParserErrorCode,
            {{QString::fromLatin1(oq::NSLocalizedDescriptionKey), QString::fromUtf8(message)}});
    }
}

bool isLineEnd(char16_t c) { return c == '\n' || c == '\r' || c == 0x85 || c == 0x2028 || c == 0x2029; }

// Fills the line table from `text`; returns the number of lines stored.
int fillLineTable(const QString& text)
{
    const QChar* data = text.constData();
    const qsizetype size = text.size();
    int n = 0;
    qsizetype pos = 0;
    while (pos < size) {
        qsizetype end = pos;
        while (end < size && !isLineEnd(data[end].unicode()))
            ++end;

        // Lines that are not ASCII, or too long for a slot, are stored cut and end the reading.
        char buffer[PARSER_LINE_SIZE];
        const qsizetype length = end - pos;
        const qsizetype kept = std::min<qsizetype>(length, PARSER_LINE_SIZE - 1);
        bool stop = kept < length;
        for (qsizetype i = 0; i < kept; ++i) {
            const char16_t c = data[pos + i].unicode();
            if (c > 0x7F) {
                stop = true;
                buffer[i] = '?';
            } else {
                buffer[i] = char(c);
            }
        }
        buffer[kept] = '\0';
        if (std::strlen(buffer) >= PARSER_LINE_SIZE - 1) {
            LGLogError("Input line %d too long", n + 1);
            stop = true;
        }
        char* first = buffer;
        while (*first == ' ' || *first == '\t')
            ++first;
        char* last = first + std::strlen(first);
        while (last > first && (last[-1] == ' ' || last[-1] == '\t'))
            --last;
        *last = '\0';
        std::memcpy(parser_lines[n], first, size_t(last - first) + 1);
        ++n;
        if (n >= PARSER_MAX_LINES) {
            LGLogError("More than %d lines of input", PARSER_MAX_LINES);
            break;
        }
        if (stop)
            break;

        pos = end;
        if (pos < size) // one line end; CR LF counts as one
            pos += (data[pos] == QLatin1Char('\r') && pos + 1 < size && data[pos + 1] == QLatin1Char('\n')) ? 2 : 1;
    }
    return n;
}

} // namespace

const char* parserIdentification() { return parser_sw_version(); }

std::optional<QVariantList> parseProtocol(const QString& text, oq::ErrorRecord* error)
{
    std::lock_guard lock(s_mutex);
    LGLogInfo("Orbel-Quist(tm) Protocol Parser:\n");
    LGLogInfo("%s\n", parser_sw_version());
    LGLogInfo("Starting to parse...");

    const int n = fillLineTable(text);
    s_events = QVariantList();
    s_events.reserve(qsizetype(n) * 16); // a dump line holds up to 16 counts
    s_countIndex = -1;
    s_record = QVariantMap();
    const parser_callbacks cb = recordCallbacks();
    const char* message = parse_prot(&cb, n);
    QVariantList events = std::move(s_events);
    s_events = QVariantList();
    if (message) {
        fail(message, error);
        return std::nullopt;
    }
    return events;
}

std::optional<QVariantMap> parseVersion(const QString& text, oq::ErrorRecord* error)
{
    std::lock_guard lock(s_mutex);
    s_record = QVariantMap();
    QByteArray line = text.toUtf8(); // writable, terminated copy
    const parser_callbacks cb = recordCallbacks();
    uint16_t validBytes = 0;
    if (const char* message = parse_v(&cb, line.data(), nullptr, &validBytes)) {
        fail(message, error);
        s_record = QVariantMap();
        s_events = QVariantList();
        return std::nullopt;
    }
    s_record.insert(QStringLiteral("protocol_length"), uint(validBytes));
    return s_record;
}
