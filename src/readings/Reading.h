#pragma once
// One reading of one counter, made whole where its value line is read, by the stream that read
// it, and handed on as it is: the display, the alerts, the history, the broker and oqtool's output
// all take this value and ask nobody afterwards what its mode, unit or counter was.
#include <QMetaType>
#include <QString>

#include "readings/Level.h"

namespace oq {

// What tells a counter apart: its serial number, else the port it is on. Empty while neither is known.
QString counterKey(const QString& serial, const QString& port);

struct Reading {
    QString serial;      // empty: the counter names none
    QString port;        // where it is plugged in: /dev/ttyUSB0, usb:LOCATION, or empty
    QString firmware;
    qint64 timeMs = 0;   // when its line was read, UTC
    int mode = 1;        // of the stream that read it: 1 dose rate (μSv/h), 2 dose (μSv)
    double value = 0;
    QString counterUnit; // "Sv" or "rem", as the counter displays
    Level level = Level::Normal; // by the thresholds in force when it was read

    QString counter() const { return counterKey(serial, port); }
    bool rate() const { return mode == 1; }
};

} // namespace oq

Q_DECLARE_METATYPE(oq::Reading)
