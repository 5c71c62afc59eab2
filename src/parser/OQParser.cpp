#include "OQParser.h"

#include <QByteArray>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>

#include "logging/Log.h"
#include "parser/parse_prot.h"
#include "parser/parser_callbacks.h"

namespace {

std::mutex s_mutex;
// Module state shared by every callback; replaced by each parse.
// Never destroyed: a device thread may still parse while the process exits.
QVariantMap& s_record = *new QVariantMap;
OQParsedRecords& s_events = *new OQParsedRecords;
using Kind = OQParsedRecord::Kind;

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

void appendEvent(Kind kind, uint32_t seconds = 0)
{
    OQParsedRecord r;
    r.kind = kind;
    r.seconds = seconds;
    s_events.push_back(r);
}

void cbOverflow() { appendEvent(Kind::Overflow); }
void cbDoseAlarm() { appendEvent(Kind::DoseAlarm); }
void cbDoseRateAlarm() { appendEvent(Kind::DoseRateAlarm); }
void cbTruncatedInterval(int64_t, uint32_t seconds) { appendEvent(Kind::TruncatedInterval, seconds); }
void cbNewInterval(uint32_t seconds) { appendEvent(Kind::NewInterval, seconds); }

void cbNewCds(uint8_t cds)
{
    appendEvent(Kind::NewCds);
    s_events.back().cds = cds;
}

void cbNewTime(int64_t t)
{
    appendEvent(Kind::NewTime);
    s_events.back().time = t;
}

void cbPulses(int64_t, uint64_t pulses, uint32_t seconds)
{
    appendEvent(Kind::Count, seconds);
    s_events.back().pulses = pulses;
}

void cbDoseRate(float rate)
{
    if (s_events.empty())
        return;
    s_events.back().hasDoseRate = true;
    s_events.back().doseRate = rate < 0 ? std::numeric_limits<float>::quiet_NaN() : rate;
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

QVariantMap timeMarkFields(int64_t t)
{
    // The counter's wall clock as fields, with the machine's zone offset at that instant.
    const time_t tt = time_t(t);
    struct tm utc = {}, local = {};
    gmtime_r(&tt, &utc);
    localtime_r(&tt, &local);
    return QVariantMap{
        {QStringLiteral("year"), utc.tm_year + 1900},
        {QStringLiteral("month"), utc.tm_mon + 1},
        {QStringLiteral("day"), utc.tm_mday},
        {QStringLiteral("hour"), utc.tm_hour},
        {QStringLiteral("minute"), utc.tm_min},
        {QStringLiteral("second"), utc.tm_sec},
        {QStringLiteral("offset"), int(local.tm_gmtoff)},
        {QStringLiteral("timezone"), QString::fromUtf8(local.tm_zone ? local.tm_zone : "")},
    };
}

QVariantMap eventMap(const OQParsedRecord& r)
{
    QVariantMap map;
    switch (r.kind) {
    case Kind::Overflow: map.insert(QStringLiteral("overflow"), true); break;
    case Kind::DoseAlarm: map.insert(QStringLiteral("dose_alarm"), true); break;
    case Kind::DoseRateAlarm: map.insert(QStringLiteral("dose_rate_alarm"), true); break;
    case Kind::TruncatedInterval: map.insert(QStringLiteral("truncated_interval"), r.seconds); break;
    case Kind::NewInterval: map.insert(QStringLiteral("new_interval"), r.seconds); break;
    case Kind::NewTime: map.insert(QStringLiteral("new_time"), timeMarkFields(r.time)); break;
    case Kind::NewCds: map.insert(QStringLiteral("new_cds"), uint(r.cds)); break;
    case Kind::Count: {
        // Nearly every map of a dump: its keys go in in sorted order, each beside the last.
        std::map<QString, QVariant> entries;
        if (r.hasDoseRate)
            entries.emplace_hint(entries.end(), QStringLiteral("doseRate"), r.doseRate);
        entries.emplace_hint(entries.end(), QStringLiteral("interval"), r.seconds);
        entries.emplace_hint(entries.end(), QStringLiteral("pulses"), quint64(r.pulses));
        return QVariantMap(std::move(entries));
    }
    }
    if (r.hasDoseRate)
        map.insert(QStringLiteral("doseRate"), r.doseRate);
    return map;
}

std::optional<QVariantList> parseProtocol(const QString& text, oq::ErrorRecord* error)
{
    const auto records = parseProtocolRecords(text, error);
    if (!records)
        return std::nullopt;
    QVariantList maps;
    maps.reserve(qsizetype(records->size()));
    for (const OQParsedRecord& r : *records)
        maps.append(eventMap(r));
    return maps;
}

std::optional<OQParsedRecords> parseProtocolRecords(const QString& text, oq::ErrorRecord* error)
{
    std::lock_guard lock(s_mutex);
    LGLogInfo("Orbel-Quist(tm) Protocol Parser:\n");
    LGLogInfo("%s\n", parser_sw_version());
    LGLogInfo("Starting to parse...");

    const int n = fillLineTable(text);
    s_events = OQParsedRecords();
    s_events.reserve(size_t(n) * 16); // a dump line holds up to 16 counts
    s_record = QVariantMap();
    const parser_callbacks cb = recordCallbacks();
    const char* message = parse_prot(&cb, n);
    OQParsedRecords events = std::move(s_events);
    s_events = OQParsedRecords();
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
        return std::nullopt;
    }
    s_record.insert(QStringLiteral("protocol_length"), uint(validBytes));
    return s_record;
}
