#include "LevelChangeRule.h"

#include "platform/Clock.h"

namespace oq::alerts {

std::optional<LevelEvent> LevelChangeRule::observe(Level level) { return observe(level, oq::clock::now()); }

void LevelChangeRule::interrupt() { m_run = 0; }

std::optional<LevelEvent> LevelChangeRule::observe(Level level, double now)
{
    bool dangerBegins = false;
    if (m_inDanger && m_level != Level::Danger && m_belowDangerAt && now - *m_belowDangerAt >= kDangerClearTime)
        m_inDanger = false;
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
            dangerBegins = level == Level::Danger && !m_inDanger;
            if (level == Level::Danger)
                m_inDanger = true;
            else if (m_level == Level::Danger)
                m_belowDangerAt = now;
            m_level = level;
            m_run = 0;
        }
    }
    // Checked at every reading, so a level held back by the repeat limit is told once it may be.
    // Danger that eased to warning (not told) and rises again after kDangerClearTime is a new
    // episode; sooner it is the same one, already told.
    const bool due = dangerBegins || m_level > m_told || (m_level == Level::Normal && m_told != Level::Normal);
    if (!due)
        return std::nullopt;
    auto& last = m_toldAt[int(m_level)];
    if (!dangerBegins && last && now - *last < kRepeatInterval)
        return std::nullopt;
    last = now;
    const LevelEvent event{m_level, m_told};
    m_told = m_level;
    if (m_told == Level::Normal)
        m_inDanger = false; // told it is over: the next danger is a new alarm
    return event;
}

} // namespace oq::alerts
