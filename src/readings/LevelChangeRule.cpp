#include "LevelChangeRule.h"

#include "platform/Clock.h"

namespace oq::alerts {

std::optional<LevelEvent> LevelChangeRule::observe(Level level) { return observe(level, oq::clock::now()); }

void LevelChangeRule::interrupt() { m_run = 0; }

std::optional<LevelEvent> LevelChangeRule::observe(Level level, double now)
{
    bool dangerBegins = false;
    if (level == m_level) {
        m_run = 0;
    } else {
        if (m_run > 0 && level == m_candidate) {
            ++m_run;
        } else {
            m_candidate = level;
            m_run = 1;
        }
        if (m_run >= kHoldReadings) {
            dangerBegins = level == Level::Danger;
            m_level = level;
            m_run = 0;
        }
    }
    // Checked at every reading, so a level held back by the repeat limit is told once it may be.
    // Danger that eased to warning (not told) and rises again is a new episode all the same.
    const bool due = dangerBegins || m_level > m_told || (m_level == Level::Normal && m_told != Level::Normal);
    if (!due)
        return std::nullopt;
    auto& last = m_toldAt[int(m_level)];
    if (!dangerBegins && last && now - *last < kRepeatInterval)
        return std::nullopt;
    last = now;
    const LevelEvent event{m_level, m_told};
    m_told = m_level;
    return event;
}

} // namespace oq::alerts
