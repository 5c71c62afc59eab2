#pragma once
// What the web page and /metrics show: a picture of every counter, made on the main thread and
// handed whole to the server's threads, which only ever read it.
#include <QString>

#include <optional>
#include <vector>

namespace oq::web {

struct CounterView {
    QString key;
    QString serial;
    QString name;
    QString state; // "away", "opening", "starting", "reading", "silent", "ended"
    bool connected = false;
    std::optional<qint64> timeMs;
    std::optional<double> value; // μSv/h (mode 1) or μSv (mode 2)
    int mode = 1;
    QString counterUnit;
    QString level; // "normal", "warning", "danger"
};

struct Snapshot {
    std::vector<CounterView> counters;
    QString displayUnit = QStringLiteral("Sv"); // "Sv" or "rem"
    double warningRate = 0, dangerRate = 0; // μSv/h
    double warningDose = 0, dangerDose = 0; // mSv, as stored
};

// The display unit and the four thresholds as the settings store holds them. On the thread that
// owns the settings (the main thread), never on the server's.
void applyStoredSettings(Snapshot& snapshot);

} // namespace oq::web
