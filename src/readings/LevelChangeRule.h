#pragma once
// When a change of the alarm level is worth telling someone: the rule behind the desktop
// notifications and `oqtool watch --alert-command`. Qt Core only, so the headless tool uses it too.
//
//   - A level counts as reached once kHoldReadings readings in a row show it; a reading that
//     flickers across a threshold and back changes nothing.
//   - Rising (to warning or danger) and falling back to normal are told; a step down from danger to
//     warning is not (the danger was told, and it is easing).
//   - Every new danger episode (the readings settle on danger from a lower level) is told at once:
//     a danger alarm is never held back or lost. An episode ends when the return to normal is told,
//     or when the readings have stayed below danger for kDangerClearTime; until then danger that
//     eased to warning and comes back is the same episode and not told again, so a rate hovering
//     at the danger threshold alarms once, not at every crossing.
//   - Warnings and returns to normal are told at most once per kRepeatInterval each (modelled
//     seconds, through the clock seam), so a reading near a threshold does not flood. One held back
//     by that limit is told when the interval has passed, if it still holds.
#include <optional>

#include "readings/Level.h"

namespace oq::alerts {

using oq::Level;
using oq::levelName;

struct LevelEvent {
    Level level = Level::Normal;    // what the reading now shows
    Level previous = Level::Normal; // what was last told
};

class LevelChangeRule {
public:
    static constexpr int kHoldReadings = 3;
    static constexpr double kRepeatInterval = 60.0;
    static constexpr double kDangerClearTime = 60.0;

    // One reading's level at modelled time `now`; the event to tell, if any.
    std::optional<LevelEvent> observe(Level level, double now);
    // The same at the clock seam's current time.
    std::optional<LevelEvent> observe(Level level);
    // No reading (the counter left, the mode changed): the next readings start a new run.
    void interrupt();

    // The level the readings have settled on.
    Level level() const { return m_level; }
    // The level last told.
    Level told() const { return m_told; }

private:
    Level m_level = Level::Normal;
    Level m_told = Level::Normal;
    Level m_candidate = Level::Normal;
    int m_run = 0;
    bool m_inDanger = false;               // a danger episode was told and has not ended
    std::optional<double> m_belowDangerAt; // when the readings of that episode left danger
    std::optional<double> m_toldAt[3];
};

} // namespace oq::alerts
