#pragma once
// What the history keeps: live readings, per-minute aggregates of them, and the intervals of
// downloaded protocols, each for one counter (by serial number). Times are UTC milliseconds.
#include <QString>

#include <cstdint>

namespace oq::history {

enum Mode : int { Rate = 1, Dose = 2 };

struct Reading {
    QString serial;      // the counter's serial number; empty when it was not known
    qint64 timeMs = 0;   // when it arrived
    int mode = Rate;     // Rate: value in μSv/h; Dose: value in μSv
    double value = 0;
    QString counterUnit; // "Sv" or "rem", as the counter displays
    int level = 0;       // 0 normal, 1 warning, 2 danger, by the thresholds in force
};

// Flags of a protocol interval, as stored.
enum IntervalFlag : unsigned {
    Incomplete = 1,
    NewInterval = 2,
    DoseAlarm = 4,
    DoseRateAlarm = 8,
    DateChanged = 16,
    Overflow = 32,
    CdsChanged = 64,
};

struct Interval {
    qint64 startMs = 0;
    qint64 durationS = 0;
    quint64 pulses = 0;
    double doseRate = 0; // μSv/h; NaN when none could be computed
    unsigned flags = 0;
};

// One bucket of a timeline: what fell into [startMs, startMs + bucket length).
struct Bucket {
    qint64 startMs = 0;
    qint64 count = 0;
    double min = 0;
    double mean = 0;
    double max = 0;
};

} // namespace oq::history
