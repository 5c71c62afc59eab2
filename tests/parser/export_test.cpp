// Event exports: streamed in pieces, and the JSON the same bytes as Qt's document writer gives.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <limits>

#include "common/TestUtil.h"
#include "parser/OQProtocolExport.h"

namespace {

// Keeps what it is given and the size of the largest single write.
class RecordingDevice : public QIODevice {
public:
    explicit RecordingDevice(bool failing = false)
        : m_failing(failing)
    {
        open(QIODevice::WriteOnly);
    }
    QByteArray bytes;
    qint64 writes = 0, largestWrite = 0;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        if (m_failing)
            return -1;
        bytes.append(data, size);
        ++writes;
        largestWrite = std::max(largestWrite, size);
        return size;
    }

private:
    bool m_failing;
};

// Odd values in every field, over the spring change of Berlin's clocks.
OQProtocolEventList oddEvents(int count)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double rates[] = {nan, 0.0, -0.0, double(4.274994f), 1e-7, 123456.789, 9007199254740992.0,
        9007199254740994.0, 1e16, 1e300, inf, -inf};
    const quint64 pulses[] = {0, 1, quint64(1) << 40, quint64(1) << 60, std::numeric_limits<quint64>::max()};
    const qint64 durations[] = {60, 0, 10, 604800};
    const std::optional<int> sets[] = {std::nullopt, 0, 1};
    QDateTime start(QDate(2024, 3, 31), QTime(0, 30), Qt::UTC);
    OQProtocolEventList events;
    for (int i = 0; i < count; ++i) {
        const qint64 duration = durations[i % 4];
        // Every other rate spread over all magnitudes, so each way of writing a number is met.
        const double spread = std::ldexp(1.0 + double((i * 2654435761u) % 1000003u) / 1000003.0, (i * 7919) % 160 - 80);
        events.push_back(OQProtocolEvent::initWithStartDate(start, duration, pulses[i % 5], i & 1 ? spread : rates[i / 2 % 12], sets[i % 3],
            i & 1, i & 2, i & 4, i & 8, i & 16, i & 32, i & 64));
        start = start.addSecs(duration);
    }
    return events;
}

// The events as the exports once built them: a QJsonArray written by QJsonDocument.
QByteArray documentJson(const OQProtocolEventList& events)
{
    const auto iso = [](const QDateTime& d) {
        const QDateTime local = d.toLocalTime();
        return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
    };
    QJsonArray array;
    for (const auto& e : events) {
        array.append(QJsonObject{{"start", iso(e->startDate())}, {"end", iso(e->endDate())},
            {"duration", double(e->duration())}, {"pulses", double(e->pulses())},
            {"doseRate", std::isnan(e->doseRate()) ? QJsonValue() : QJsonValue(e->doseRate())},
            {"cds", e->cds() ? QJsonValue(*e->cds()) : QJsonValue()}, {"incompleteInterval", e->incompleteInterval()},
            {"newInterval", e->newInterval()}, {"dateChanged", e->dateChanged()}, {"overflow", e->overflow()},
            {"doseAlarm", e->doseAlarm()}, {"doseRateAlarm", e->doseRateAlarm()}, {"cdsChanged", e->cdsChanged()}});
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

TEST(EventExport, JsonHasTheDocumentWritersBytesAndEveryFormatStreams)
{
    const oq::test::ScopedTimeZone tz("Europe/Berlin");
    for (const int count : {0, 1, 3000}) {
        const OQProtocolEventList events = oddEvents(count);
        RecordingDevice json;
        ASSERT_TRUE(OQProtocolEventsJson(events, json));
        EXPECT_EQ(json.bytes, documentJson(events)) << count;
    }
    // A few rows at a time, never the whole text in one write.
    const OQProtocolEventList many = oddEvents(3000);
    for (const auto format : {OQEventsFormat::Text, OQEventsFormat::Csv, OQEventsFormat::Json}) {
        RecordingDevice out;
        ASSERT_TRUE(OQProtocolEventsWrite(many, format, out));
        EXPECT_GT(out.writes, 3) << int(format);
        EXPECT_LE(out.largestWrite, 64 * 1024) << int(format);
        RecordingDevice failing(true);
        EXPECT_FALSE(OQProtocolEventsWrite(many, format, failing)) << int(format);
    }
}

} // namespace
