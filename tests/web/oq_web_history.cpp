// A week of history for the web tests, one reading a minute per counter ending now, with a bump
// into warning each day: more than a live run of oqtool watch could record in a test's time.
//   oq-web-history FILE SERIAL...
#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

#include "history/HistoryWriter.h"
#include "readings/Level.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return std::fputs("usage: oq-web-history FILE SERIAL...\n", stderr), 2;
    // The stored defaults, so `oqtool history` on a fresh configuration judges levels alike.
    constexpr float kWarningRate = 2.2f, kDangerRate = 11.8f;
    oq::history::Writer writer({args[1], 400});
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (qsizetype i = 2; i < args.size(); ++i) {
        const double base = i % 2 ? 0.3 : 0.12;
        for (qint64 t = now - 7 * 86400000LL; t < now - 60000; t += 60000) {
            const qint64 minute = t / 60000;
            const double v = base + 0.02 * double(minute % 7) + (minute % 1440 > 700 && minute % 1440 < 760 ? 2.3 : 0);
            writer.record({args[i], t, 1, v, QStringLiteral("Sv"), int(oq::levelFor(v, kWarningRate, kDangerRate))});
        }
    }
    writer.flush(120);
    return 0;
}
