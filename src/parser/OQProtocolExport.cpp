// The rows' `a + b + c` make one string each.
#define QT_USE_QSTRINGBUILDER
#include "OQProtocolExport.h"

#include <QBuffer>
#include <QStringEncoder>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "parser/DoseRateText.h"
#include "platform/CLocale.h"
#include "platform/LocalTime.h"

namespace {

// Local time with its offset, e.g. 2021-06-01T12:01:00+02:00.
void appendIso(std::string& out, const QDateTime& d)
{
    char text[oq::LocalTime::kIsoSize];
    out.append(text, size_t(oq::LocalTime::of(d).writeIso(text)));
}

template <typename Number>
void appendNumber(std::string& out, Number value)
{
    char digits[24];
    out.append(digits, size_t(std::to_chars(digits, digits + sizeof digits, value).ptr - digits));
}

struct Flag {
    const char* name;
    bool (OQProtocolEvent::*get)() const;
};
const Flag kFlags[] = {
    {"incompleteInterval", &OQProtocolEvent::incompleteInterval},
    {"newInterval", &OQProtocolEvent::newInterval},
    {"dateChanged", &OQProtocolEvent::dateChanged},
    {"overflow", &OQProtocolEvent::overflow},
    {"doseAlarm", &OQProtocolEvent::doseAlarm},
    {"doseRateAlarm", &OQProtocolEvent::doseRateAlarm},
    {"cdsChanged", &OQProtocolEvent::cdsChanged},
};

// Gathers a few rows and hands them to the device as UTF-8.
class RowStream {
public:
    explicit RowStream(QIODevice& device)
        : m_device(device)
        , m_buffer(kChunk, Qt::Uninitialized)
    {
    }

    RowStream& operator+=(QStringView text)
    {
        reserve(m_utf8.requiredSpace(text.size()));
        m_used = m_utf8.appendToBuffer(m_buffer.data() + m_used, text) - m_buffer.data();
        return *this;
    }
    RowStream& operator+=(const QString& text) { return *this += QStringView(text); }
    RowStream& operator+=(QLatin1Char c)
    {
        const QChar one(c);
        return *this += QStringView(&one, 1);
    }

    // Latin-1 text, which is mostly ASCII and then goes as it stands.
    void appendLatin1(const std::string& text)
    {
        unsigned char bits = 0;
        for (const char c : text)
            bits |= uchar(c);
        if (bits & 0x80)
            *this += QString::fromLatin1(text.data(), qsizetype(text.size()));
        else
            appendAscii(text.data(), qsizetype(text.size()));
    }

    // Text known to be ASCII, as it stands.
    void appendAscii(const char* text, qsizetype size)
    {
        reserve(size);
        std::memcpy(m_buffer.data() + m_used, text, size_t(size));
        m_used += size;
    }

    // Everything written; false when a write failed.
    bool finish()
    {
        flush();
        return m_ok;
    }

private:
    static constexpr qsizetype kChunk = 64 * 1024;

    void reserve(qsizetype size)
    {
        if (m_used + size <= m_buffer.size())
            return;
        flush();
        if (size > m_buffer.size())
            m_buffer.resize(size);
    }

    void flush()
    {
        if (m_ok && m_used > 0)
            m_ok = m_device.write(m_buffer.constData(), m_used) == m_used;
        m_used = 0;
    }

    QIODevice& m_device;
    QStringEncoder m_utf8{QStringEncoder::Utf8};
    QByteArray m_buffer;
    qsizetype m_used = 0;
    bool m_ok = true;
};

// QByteArray::number(value, 'g', QLocale::FloatingPointShortest) without its cost (it was most of
// the JSON export's): the shortest digits, then Qt's choice of the shorter of the decimal and the
// exponent form (the decimal one on a tie), the exponent with at least two digits.
char* shortest(double value, char* out)
{
    const oq::ShortestDigits d = *oq::shortestDigits(value, false); // finite: the caller's
    const int exponent = d.point - 1;
    const int magnitude = std::abs(exponent);
    const int scientificSize = d.count + (d.count > 1) + 2 + (magnitude >= 100 ? 3 : 2);
    const int decimalSize = d.point <= 0 ? 2 - d.point + d.count : d.point < d.count ? d.count + 1 : d.point;
    if (scientificSize >= decimalSize)
        return oq::writeDecimal(d, out);
    if (d.negative)
        *out++ = '-';
    *out++ = d.digits[0];
    if (d.count > 1) {
        *out++ = '.';
        out = std::copy(d.digits + 1, d.digits + d.count, out);
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    if (magnitude < 10)
        *out++ = '0';
    return std::to_chars(out, out + 4, magnitude).ptr;
}

// One JSON row as it is put together: ASCII only.
class JsonRow {
public:
    template <qsizetype N>
    JsonRow& operator<<(const char (&literal)[N])
    {
        return append(literal, N - 1);
    }
    JsonRow& append(const char* text, qsizetype size)
    {
        std::memcpy(m_end, text, size_t(size));
        m_end += size;
        return *this;
    }
    JsonRow& operator<<(bool value) { return value ? *this << "true" : *this << "false"; }
    // A date: a string that never needs escapes.
    JsonRow& operator<<(const QDateTime& date)
    {
        *this << "\"";
        m_end += oq::LocalTime::of(date).writeIso(m_end);
        return *this << "\"";
    }
    JsonRow& integer(qint64 value)
    {
        m_end = std::to_chars(m_end, m_text + sizeof m_text, value).ptr;
        return *this;
    }
    // As QJsonDocument writes a double: whole numbers up to 2^53 as integers, others in their
    // shortest form, and null for what JSON cannot hold.
    JsonRow& number(double value)
    {
        if (!std::isfinite(value))
            return *this << "null";
        if (std::abs(value) <= 9007199254740992.0 && value == std::trunc(value))
            return integer(qint64(value));
        m_end = shortest(value, m_end);
        return *this;
    }
    void writeTo(RowStream& out)
    {
        out.appendAscii(m_text, m_end - m_text);
        m_end = m_text;
    }

private:
    // Far more than the longest row (two dates of at most kIsoSize, numbers of at most 32).
    char m_text[1024];
    char* m_end = m_text;
};

// The members in QJsonObject's order (sorted by key), at QJsonDocument's indentation.
void jsonObject(JsonRow& row, const OQProtocolEvent& e)
{
    row << "    {\n        \"cds\": ";
    if (e.cds())
        row.integer(*e.cds());
    else
        row << "null";
    row << ",\n        \"cdsChanged\": " << e.cdsChanged() << ",\n        \"dateChanged\": " << e.dateChanged()
        << ",\n        \"doseAlarm\": " << e.doseAlarm() << ",\n        \"doseRate\": ";
    if (std::isnan(e.doseRate()))
        row << "null";
    else
        row.number(e.doseRate());
    row << ",\n        \"doseRateAlarm\": " << e.doseRateAlarm() << ",\n        \"duration\": ";
    row.number(double(e.duration()));
    row << ",\n        \"end\": " << e.endDate() << ",\n        \"incompleteInterval\": " << e.incompleteInterval()
        << ",\n        \"newInterval\": " << e.newInterval() << ",\n        \"overflow\": " << e.overflow()
        << ",\n        \"pulses\": ";
    row.number(double(e.pulses()));
    row << ",\n        \"start\": " << e.startDate() << "\n    }";
}

} // namespace

bool OQProtocolEventsText(const OQProtocolEventList& events, QIODevice& device)
{
    RowStream out(device);
    std::string row;
    for (const auto& e : events) {
        row.clear();
        e->appendText(row);
        out.appendLatin1(row);
    }
    return out.finish();
}

bool OQProtocolEventsCsv(const OQProtocolEventList& events, QIODevice& device)
{
    RowStream out(device);
    out += QStringLiteral("start,end,duration_s,pulses,dose_rate_uSv_h,cds");
    for (const Flag& f : kFlags)
        out += QLatin1Char(',') + QLatin1String(f.name);
    out += QLatin1Char('\n');
    std::string row;
    for (const auto& e : events) {
        row.clear();
        appendIso(row, e->startDate());
        row += ',';
        appendIso(row, e->endDate());
        row += ',';
        appendNumber(row, e->duration());
        row += ',';
        appendNumber(row, e->pulses());
        row += ',';
        if (!std::isnan(e->doseRate()))
            appendDoseRateText(row, e->doseRate());
        row += ',';
        if (e->cds())
            appendNumber(row, *e->cds());
        for (const Flag& f : kFlags)
            row += ((*e).*f.get)() ? ",1" : ",0";
        row += '\n';
        out.appendLatin1(row);
    }
    return out.finish();
}

bool OQProtocolEventsJson(const OQProtocolEventList& events, QIODevice& device)
{
    RowStream out(device);
    const auto row = std::make_unique<JsonRow>();
    *row << "[\n";
    for (size_t i = 0; i < events.size(); ++i) {
        if (i > 0)
            *row << ",\n";
        jsonObject(*row, *events[i]);
        row->writeTo(out);
    }
    if (events.empty())
        *row << "]\n";
    else
        *row << "\n]\n";
    row->writeTo(out);
    return out.finish();
}

bool OQProtocolEventsWrite(const OQProtocolEventList& events, OQEventsFormat format, QIODevice& out)
{
    switch (format) {
    case OQEventsFormat::Csv: return OQProtocolEventsCsv(events, out);
    case OQEventsFormat::Json: return OQProtocolEventsJson(events, out);
    case OQEventsFormat::Text: break;
    }
    return OQProtocolEventsText(events, out);
}

namespace {
QString inMemory(const OQProtocolEventList& events, OQEventsFormat format)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    OQProtocolEventsWrite(events, format, buffer);
    return QString::fromUtf8(buffer.data());
}
} // namespace

QString OQProtocolEventsText(const OQProtocolEventList& events) { return inMemory(events, OQEventsFormat::Text); }
QString OQProtocolEventsCsv(const OQProtocolEventList& events) { return inMemory(events, OQEventsFormat::Csv); }
QString OQProtocolEventsJson(const OQProtocolEventList& events) { return inMemory(events, OQEventsFormat::Json); }
