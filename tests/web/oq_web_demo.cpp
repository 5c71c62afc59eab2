// Serves the web page over fake counters, for the browser, Prometheus and abuse tests: a thin
// stand-in for the counter engine, driven by lines on standard input.
//
//   oq-web-demo [--address A] [--port P] [--token-file F] [--cert C --key K] [--history FILE]
//               [--make-history] [--unit Sv|rem]
//   stdin:  reading SERIAL VALUE [MODE]   a reading now (μSv/h, or μSv in mode 2)
//           state SERIAL STATE            away | opening | starting | silent | ended | reading
//           quit
// Prints "listening URL" once it serves, then "ok" after each line it took.
#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include "history/HistoryWriter.h"
#include "readings/Level.h"
#include "web/WebServer.h"

namespace {

// The stored defaults, so `oqtool history` on a fresh configuration judges levels alike.
constexpr double kWarningRate = 2.2, kDangerRate = 11.8, kWarningDose = 10, kDangerDose = 20;

// A week of one reading a minute per counter, ending now, with a bump into warning.
void makeHistory(const QString& path, const QStringList& serials)
{
    oq::history::Writer writer({path, 400});
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QString& serial : serials) {
        const double base = serial.endsWith(QLatin1Char('2')) ? 0.3 : 0.12;
        for (qint64 t = now - 7 * 86400000LL; t < now - 60000; t += 60000) {
            const qint64 minute = t / 60000;
            const double v = base + 0.02 * double(minute % 7) + (minute % 1440 > 700 && minute % 1440 < 760 ? 2.3 : 0);
            writer.record({serial, t, 1, v, QStringLiteral("Sv"), int(oq::levelFor(v, kWarningRate, kDangerRate))});
        }
    }
    writer.flush(120);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    oq::web::ServerOptions options;
    options.port = 0;
    QString unit = QStringLiteral("Sv");
    bool make = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == QLatin1String("--make-history")) {
            make = true;
            continue;
        }
        ++i;
        if (a == QLatin1String("--address"))
            options.address = next;
        else if (a == QLatin1String("--port"))
            options.port = quint16(next.toUInt());
        else if (a == QLatin1String("--token-file"))
            options.tokenFile = next;
        else if (a == QLatin1String("--cert"))
            options.certFile = next;
        else if (a == QLatin1String("--key"))
            options.keyFile = next;
        else if (a == QLatin1String("--history"))
            options.historyPath = next;
        else if (a == QLatin1String("--unit"))
            unit = next;
        else {
            std::fprintf(stderr, "oq-web-demo: unknown option %s\n", qPrintable(a));
            return 2;
        }
    }
    const QStringList serials{QStringLiteral("OQ-0001"), QStringLiteral("OQ-0002")};
    if (make && !options.historyPath.isEmpty())
        makeHistory(options.historyPath, serials);

    oq::web::Snapshot snapshot;
    snapshot.displayUnit = unit;
    snapshot.warningRate = kWarningRate;
    snapshot.dangerRate = kDangerRate;
    snapshot.warningDose = kWarningDose;
    snapshot.dangerDose = kDangerDose;
    for (const QString& s : serials)
        snapshot.counters.push_back({s, s, QStringLiteral("Counter %1").arg(s.right(1)), QStringLiteral("starting"), true, {}, {}, 1,
            QStringLiteral("Sv"), QStringLiteral("normal")});

    oq::web::WebServer server;
    if (const QString why = server.start(options); !why.isEmpty()) {
        std::fprintf(stderr, "oq-web-demo: %s\n", qPrintable(why));
        return 1;
    }
    server.publish(snapshot);
    std::printf("listening %s\n", qPrintable(server.url()));
    std::fflush(stdout);

    for (std::string line; std::getline(std::cin, line);) {
        const QStringList w = QString::fromStdString(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (w.value(0) == QLatin1String("quit"))
            break;
        auto it = std::find_if(snapshot.counters.begin(), snapshot.counters.end(), [&](const auto& c) { return c.serial == w.value(1); });
        if (it == snapshot.counters.end()) {
            snapshot.counters.push_back({w.value(1), w.value(1), w.value(1), QStringLiteral("starting"), true, {}, {}, 1, QStringLiteral("Sv"),
                QStringLiteral("normal")});
            it = snapshot.counters.end() - 1;
        }
        if (w.value(0) == QLatin1String("reading") && w.size() >= 3) {
            it->value = w[2].toDouble();
            it->mode = w.size() > 3 ? w[3].toInt() : 1;
            it->timeMs = QDateTime::currentMSecsSinceEpoch();
            it->state = QStringLiteral("reading");
            it->connected = true;
            const bool rate = it->mode == 1;
            it->level = QString::fromLatin1(oq::levelName(oq::levelFor(*it->value, float(rate ? kWarningRate : snapshot.warningDose * 1000),
                float(rate ? kDangerRate : snapshot.dangerDose * 1000))));
        } else if (w.value(0) == QLatin1String("state") && w.size() >= 3) {
            it->state = w[2];
            it->connected = w[2] != QLatin1String("away") && w[2] != QLatin1String("ended");
        }
        server.publish(snapshot);
        std::printf("ok\n");
        std::fflush(stdout);
    }
    server.stop();
    return 0;
}
