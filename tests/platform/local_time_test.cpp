// Local time without a system call per date gives the dates and offsets of Qt's own conversion.
#include <gtest/gtest.h>

#include <QDateTime>

#include "common/TestUtil.h"
#include "platform/LocalTime.h"

namespace {

qint64 utcSecs(int year, int month, int day, int hour = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, 0), Qt::UTC).toSecsSinceEpoch();
}

struct Span {
    qint64 from, to, step;
};

TEST(LocalTime, SameDatesAndOffsetsAsQtAcrossDaylightSavingChanges)
{
    // Berlin's changes of 2024 at 01:00 UTC (31 March, 27 October) second by second, and a step of
    // a day and 13 s over 1970 to 2100, which passes every change at a different time of day.
    const qint64 spring = utcSecs(2024, 3, 31, 1), autumn = utcSecs(2024, 10, 27, 1);
    const Span spans[] = {{spring - 7200, spring + 7200, 1}, {autumn - 7200, autumn + 7200, 1},
        {utcSecs(1970, 1, 1), utcSecs(2100, 1, 1), 86413}};
    const QLatin1String eventPattern("dd.MM.yyyy  HH:mm:ss");
    // A zone with summer time, one without (and half an hour off), the same rules as a POSIX TZ
    // text, and whatever the machine is set to.
    for (const char* zone : {"Europe/Berlin", "Asia/Kolkata", "CET-1CEST,M3.5.0,M10.5.0/3", (const char*)nullptr}) {
        const oq::test::ScopedTimeZone tz(zone);
        const char* name = zone ? zone : "(TZ unset)";
        for (const Span& span : spans) {
            for (qint64 t = span.from; t <= span.to; t += span.step) {
                const QDateTime utc = QDateTime::fromSecsSinceEpoch(t, Qt::UTC);
                const QDateTime qt = utc.toLocalTime();
                const oq::LocalTime local = oq::LocalTime::of(utc);
                ASSERT_EQ(local.offset, qt.offsetFromUtc()) << name << " " << t;
                ASSERT_EQ(local.toString(eventPattern), qt.toString(QString(eventPattern))) << name << " " << t;
                ASSERT_EQ(local.toIsoString(), qt.toOffsetFromUtc(qt.offsetFromUtc()).toString(Qt::ISODate))
                    << name << " " << t;
            }
        }
    }
}

TEST(LocalTime, EarlierDatesNameTheirInstant)
{
    // Qt gives Berlin's local fields of 29 June 1947 (after the end of double summer time) with the
    // offset from before it; ours are the C library's fields and offset, which belong together.
    const oq::test::ScopedTimeZone tz("Europe/Berlin");
    for (qint64 t = utcSecs(1900, 1, 1); t < utcSecs(1970, 1, 1); t += 86413) {
        const QDateTime utc = QDateTime::fromSecsSinceEpoch(t, Qt::UTC);
        const oq::LocalTime local = oq::LocalTime::of(utc);
        ASSERT_EQ(local.toString(QLatin1String("yyyy-MM-dd HH:mm:ss")),
            utc.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))) << t;
        ASSERT_EQ(local.toDateTime().toSecsSinceEpoch(), t) << t;
    }
    const QDateTime fold = QDateTime::fromSecsSinceEpoch(utcSecs(1947, 6, 29) + 870, Qt::UTC);
    EXPECT_EQ(oq::LocalTime::of(fold).toIsoString(), QStringLiteral("1947-06-29T02:14:30+02:00"));
}

} // namespace
