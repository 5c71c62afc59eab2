#pragma once
// The alarm level of a reading, judged against the user's thresholds. No window system, so the
// command-line programs, the recorders and the window judge readings alike.
//
// A value at or above a threshold has reached it. The comparison is made in single precision, the
// precision the thresholds and the counter's readings carry, so a reading of "2,2 uSv/h" or
// "220,0 urem/h" reaches a stored warning rate of 2.2.
#include <QObject>

#include "platform/ArchivedColor.h"

namespace oq {
Q_NAMESPACE

// The order matters: a higher level is a rise.
enum class Level { Normal = 0, Warning = 1, Danger = 2 };
Q_ENUM_NS(Level)

// Mode 1 is dose rate (thresholds in μSv/h); any other mode is dose (mSv thresholds × 1000, so
// they compare with values in μSv).
Level levelForValue(double value, long long mode);
// The same against thresholds the caller holds (threads that must not read the settings).
Level levelFor(double value, float warning, float danger);

enum class LevelColor { Font, Background, Bar };
// The stored colour of `kind` at `level`; an undecodable stored colour gives the default one.
ArchivedColor levelColor(Level level, LevelColor kind);

// "normal", "warning", "danger": for machines (environment, logs, exports), never translated.
const char* levelName(Level level);

} // namespace oq
