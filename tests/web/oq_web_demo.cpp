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
    const std::map<QString, QString*> valued{{QStringLiteral("--address"), &options.address}, {QStringLiteral("--token-file"), &options.tokenFile},
        {QStringLiteral("--cert"), &options.certFile}, {QStringLiteral("--key"), &options.keyFile},
        {QStringLiteral("--history"), &options.historyPath}, {QStringLiteral("--unit"), &unit}};
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--make-history"))
            make = true;
        else if (args[i] == QLatin1String("--port") && i + 1 < args.size())
            options.port = quint16(args[++i].toUInt());
        else if (valued.count(args[i]) && i + 1 < args.size())
            *valued.at(args[i]) = args[i + 1], ++i;
        else
            return std::fprintf(stderr, "oq-web-demo: unknown option %s\n", qPrintable(args[i])), 2;
    }
    const QStringList serials{QStringLiteral("OQ-0001"), QStringLiteral("OQ-0002")};
    if (make && !options.historyPath.isEmpty())
        makeHistory(options.historyPath, serials);

    oq::web::Snapshot snapshot{{}, unit, kWarningRate, kDangerRate, kWarningDose, kDangerDose};
    const auto fresh = [](const QString& serial, const QString& name) {
        return oq::web::CounterView{serial, serial, name, QStringLiteral("starting"), true, {}, {}, 1, QStringLiteral("Sv"), QStringLiteral("normal")};
    };
    for (const QString& s : serials)
        snapshot.counters.push_back(fresh(s, QStringLiteral("Counter %1").arg(s.right(1))));

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
        if (it == snapshot.counters.end())
            it = snapshot.counters.insert(it, fresh(w.value(1), w.value(1)));
        if (w.value(0) == QLatin1String("reading") && w.size() >= 3) {
            it->value = w[2].toDouble();
            it->mode = w.size() > 3 ? w[3].toInt() : 1;
            it->timeMs = QDateTime::currentMSecsSinceEpoch();
            it->state = QStringLiteral("reading");
            it->connected = true;
            const bool rate = it->mode == 1;
            const auto level = oq::levelFor(*it->value, float(rate ? kWarningRate : kWarningDose * 1000), float(rate ? kDangerRate : kDangerDose * 1000));
            it->level = QString::fromLatin1(oq::levelName(level));
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
