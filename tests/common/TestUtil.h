#pragma once
// Helpers shared by the test groups.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QString>
#include <QThread>

#include <ctime>
#include <functional>

#include "platform/StringTable.h"

namespace oq::test {

// The texts compared are the English ones, whatever the locale of the run.
struct EnglishTexts {
    EnglishTexts() { oq::setLanguage(QStringLiteral("en")); }
    ~EnglishTexts() { oq::setLanguage({}); }
};

// Spins the main event loop until `done` holds or `realSeconds` pass; returns whether it held.
inline bool waitUntil(const std::function<bool()>& done, double realSeconds = 10.0)
{
    QDeadlineTimer deadline(qint64(realSeconds * 1000));
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Spins the main event loop for `realSeconds`.
inline void spin(double realSeconds)
{
    waitUntil([] { return false; }, realSeconds);
}

// Folder where tests keep screenshots and other artefacts for people to look at.
inline QString artifactsDir()
{
    QString dir = qEnvironmentVariable("OQ_TEST_ARTIFACTS");
    if (dir.isEmpty())
        dir = QDir::tempPath() + QStringLiteral("/oq-test-artifacts");
    QDir().mkpath(dir);
    return dir;
}

// TZ set to `zone` (unset for nullptr) while the object lives; the C library reads it at once.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
        : m_old(qgetenv("TZ"))
    {
        set(zone);
    }
    ~ScopedTimeZone() { set(m_old.isNull() ? nullptr : m_old.constData()); }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    static void set(const char* zone)
    {
        if (zone)
            qputenv("TZ", zone);
        else
            qunsetenv("TZ");
        tzset();
    }

    QByteArray m_old;
};

} // namespace oq::test
