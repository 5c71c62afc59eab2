#include "LocalTime.h"

#include <atomic>
#include <cstring>
#include <ctime>

namespace oq {
namespace {

// The C library keeps the zone it read at the last tzset(); localtime_r alone does not look again.
// A process that sets TZ and calls tzset() itself sees the change at once. The coarse clock is read
// without a system call.
void recheckZoneNowAndThen()
{
    static std::atomic<qint64> checkedAt{-1};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    qint64 last = checkedAt.load(std::memory_order_relaxed);
    if (last != now.tv_sec && checkedAt.compare_exchange_strong(last, now.tv_sec, std::memory_order_relaxed))
        tzset();
}

// Years Qt writes in four digits; others take Qt's own road.
bool plainYear(int year) { return year >= 1 && year <= 9999; }

LocalTime fromQt(const QDateTime& date)
{
    const QDateTime local = date.toLocalTime();
    if (!local.isValid())
        return {};
    const QDate d = local.date();
    const QTime t = local.time();
    return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), local.offsetFromUtc(), true};
}

// Qt's text of a year this does not write itself, into a buffer of kIsoSize; gives its length.
int copyLatin1(const QString& text, char* out)
{
    const QByteArray latin1 = text.toLatin1().left(LocalTime::kIsoSize);
    std::memcpy(out, latin1.constData(), size_t(latin1.size()));
    return int(latin1.size());
}

template <typename Char>
void putDigits(Char*& out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = Char(u'0' + value % 10);
        value /= 10;
    }
    out += width;
}

} // namespace

LocalTime LocalTime::of(const QDateTime& date)
{
    if (!date.isValid())
        return {};
    const qint64 ms = date.toMSecsSinceEpoch();
    return ofSecsSinceEpoch(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
}

LocalTime LocalTime::ofSecsSinceEpoch(qint64 secs)
{
    recheckZoneNowAndThen();
    const time_t t = time_t(secs);
    struct tm local = {};
    if (localtime_r(&t, &local) && plainYear(local.tm_year + 1900)) {
        return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
            int(local.tm_gmtoff), true};
    }
    return fromQt(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC));
}

QString LocalTime::toString(QLatin1String pattern) const
{
    if (!valid)
        return QString();
    if (!plainYear(year))
        return toDateTime().toString(QString(pattern));
    // Every token this handles is as long as its text.
    QString text(pattern.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < pattern.size();) {
        const char c = pattern[i].toLatin1();
        qsizetype run = 1;
        while (i + run < pattern.size() && pattern[i + run].toLatin1() == c)
            ++run;
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (c == 'y' && run == 4)
            putDigits(out, year, 4);
        else if (run == 2 && c == 'M')
            putDigits(out, month, 2);
        else if (run == 2 && c == 'd')
            putDigits(out, day, 2);
        else if (run == 2 && c == 'H')
            putDigits(out, hour, 2);
        else if (run == 2 && c == 'm')
            putDigits(out, minute, 2);
        else if (run == 2 && c == 's')
            putDigits(out, second, 2);
        else if (!letter && c != '\'') {
            for (qsizetype k = 0; k < run; ++k)
                *out++ = QLatin1Char(c);
        } else {
            return toDateTime().toString(QString(pattern));
        }
        i += run;
    }
    return text;
}

QString LocalTime::toIsoString() const
{
    char text[kIsoSize];
    return QString::fromLatin1(text, writeIso(text));
}

int LocalTime::writeIso(char* text) const
{
    if (!valid)
        return 0;
    if (!plainYear(year))
        return copyLatin1(toDateTime().toString(Qt::ISODate), text);
    char* out = text;
    putDigits(out, year, 4);
    *out++ = '-';
    putDigits(out, month, 2);
    *out++ = '-';
    putDigits(out, day, 2);
    *out++ = 'T';
    putDigits(out, hour, 2);
    *out++ = ':';
    putDigits(out, minute, 2);
    *out++ = ':';
    putDigits(out, second, 2);
    if (offset == 0) {
        *out++ = 'Z';
    } else {
        // Whole minutes only, as Qt writes them.
        *out++ = offset < 0 ? '-' : '+';
        const int magnitude = offset < 0 ? -offset : offset;
        putDigits(out, magnitude / 3600, 2);
        *out++ = ':';
        putDigits(out, magnitude / 60 % 60, 2);
    }
    return int(out - text);
}

int LocalTime::writeDotted(char* text) const
{
    if (!valid)
        return 0;
    if (!plainYear(year))
        return copyLatin1(toString(QLatin1String("dd.MM.yyyy  HH:mm:ss")), text);
    char* out = text;
    putDigits(out, day, 2);
    *out++ = '.';
    putDigits(out, month, 2);
    *out++ = '.';
    putDigits(out, year, 4);
    *out++ = ' ';
    *out++ = ' ';
    putDigits(out, hour, 2);
    *out++ = ':';
    putDigits(out, minute, 2);
    *out++ = ':';
    putDigits(out, second, 2);
    return int(out - text);
}

QDateTime LocalTime::toDateTime() const
{
    if (!valid)
        return {};
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::OffsetFromUTC, offset);
}

} // namespace oq
