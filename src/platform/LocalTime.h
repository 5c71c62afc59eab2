#pragma once
// Moments in the machine's time zone for machine texts (event text, exports): the same fields and
// offsets as QDateTime::toLocalTime gives, without its system call per conversion. Qt asks the C
// library to re-check the zone (a stat of /etc/localtime when TZ is unset) before every conversion;
// here the zone is re-checked at most once a second, so a change of the system's zone or of TZ
// shows within a second.
#include <QDateTime>
#include <QString>

namespace oq {

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int offset = 0; // seconds east of UTC
    bool valid = false;

    static LocalTime of(const QDateTime& date);
    static LocalTime ofSecsSinceEpoch(qint64 secs);

    // As QDateTime::toString(pattern) of the local date: fast for patterns made of yyyy, MM, dd, HH,
    // mm, ss and characters other than letters and quotes; anything else goes through Qt.
    QString toString(QLatin1String pattern) const;
    // ISO 8601 with the offset ("Z" at offset 0), as QDateTime::toString(Qt::ISODate) writes it.
    QString toIsoString() const;
    // The same text in Latin-1 into `out`, which has room for kIsoSize characters; gives its length.
    static constexpr int kIsoSize = 48;
    int writeIso(char* out) const;
    // toString("dd.MM.yyyy  HH:mm:ss") in Latin-1 into `out` (room for kIsoSize characters), without
    // reading the pattern: the event texts write one per interval. Gives its length.
    int writeDotted(char* out) const;
    // This moment as a date at its offset; invalid when this is.
    QDateTime toDateTime() const;
};

} // namespace oq
