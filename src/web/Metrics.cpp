#include "web/Metrics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace oq::web {
namespace {

QByteArray label(const QString& serial)
{
    QByteArray out;
    for (const char c : serial.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    return QByteArray::number(v, 'g', 15);
}

int levelNumber(const QString& level) { return level == QLatin1String("danger") ? 2 : level == QLatin1String("warning") ? 1 : 0; }

struct Family {
    const char* name;
    const char* help;
};

constexpr Family kRate{"oq_dose_rate_sieverts_per_second", "Latest dose rate the counter measured."};
constexpr Family kDose{"oq_dose_sieverts", "Dose the counter has accumulated, as it last showed it."};
constexpr Family kLevel{"oq_alarm_level", "Alarm level of the latest reading: 0 normal, 1 warning, 2 danger."};
constexpr Family kTime{"oq_last_reading_timestamp_seconds", "When the latest reading arrived, in seconds since the epoch."};
constexpr Family kConnected{"oq_connected", "1 while the counter is plugged in, else 0."};

} // namespace

QByteArray metricsText(const Snapshot& snapshot)
{
    QByteArray out;
    const auto family = [&](const Family& f, auto&& has, auto&& value) {
        bool headed = false;
        for (const CounterView& c : snapshot.counters) {
            if (!has(c))
                continue;
            if (!headed) {
                out += QByteArray("# HELP ") + f.name + ' ' + f.help + "\n# TYPE " + f.name + " gauge\n";
                headed = true;
            }
            out += QByteArray(f.name) + "{serial=\"" + label(c.serial) + "\"} " + number(value(c)) + '\n';
        }
    };
    const auto live = [](const CounterView& c) { return c.connected && c.value.has_value(); };
    // μSv/h to Sv/s, μSv to Sv.
    family(kRate, [&](const CounterView& c) { return live(c) && c.mode == 1; }, [](const CounterView& c) { return *c.value * 1e-6 / 3600; });
    family(kDose, [&](const CounterView& c) { return live(c) && c.mode != 1; }, [](const CounterView& c) { return *c.value * 1e-6; });
    family(kLevel, live, [](const CounterView& c) { return double(levelNumber(c.level)); });
    family(kTime, [](const CounterView& c) { return c.connected && c.timeMs.has_value(); }, [](const CounterView& c) { return double(*c.timeMs) / 1000; });
    family(kConnected, [](const CounterView&) { return true; }, [](const CounterView& c) { return c.connected ? 1.0 : 0.0; });
    return out;
}

QByteArray countersJson(const Snapshot& snapshot)
{
    QJsonArray counters;
    for (const CounterView& c : snapshot.counters) {
        QJsonObject o{{QStringLiteral("key"), c.key}, {QStringLiteral("serial"), c.serial}, {QStringLiteral("name"), c.name},
            {QStringLiteral("state"), c.state}, {QStringLiteral("connected"), c.connected}, {QStringLiteral("mode"), c.mode},
            {QStringLiteral("counterUnit"), c.counterUnit}, {QStringLiteral("level"), c.level}};
        if (c.timeMs)
            o.insert(QStringLiteral("timeMs"), double(*c.timeMs));
        if (c.value && std::isfinite(*c.value))
            o.insert(QStringLiteral("value"), *c.value);
        counters.append(o);
    }
    const QJsonObject thresholds{{QStringLiteral("warningRate"), snapshot.warningRate}, {QStringLiteral("dangerRate"), snapshot.dangerRate},
        {QStringLiteral("warningDose"), snapshot.warningDose * 1000}, {QStringLiteral("dangerDose"), snapshot.dangerDose * 1000}};
    return QJsonDocument(QJsonObject{{QStringLiteral("displayUnit"), snapshot.displayUnit}, {QStringLiteral("thresholds"), thresholds},
                             {QStringLiteral("counters"), counters}})
        .toJson(QJsonDocument::Compact);
}

} // namespace oq::web
