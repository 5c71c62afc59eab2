#pragma once
// A failure that can go on for weeks (a full disk, a folder that cannot be made) is told at once,
// then at most once per interval with how often it happened meanwhile, and its end once: neither a
// flood nor silence.
#include <QtGlobal>

namespace oq {

class RepeatedFailure {
public:
    explicit RepeatedFailure(double intervalSeconds = 60.0) : m_interval(intervalSeconds) {}

    // It happened `times` more at `now` (seconds, any monotonic clock). Returns how many times to
    // tell now, those held back since the last telling included; 0 while it is to be held back.
    qint64 happened(double now, qint64 times = 1)
    {
        m_held += times;
        if (m_ongoing && now - m_toldAt < m_interval)
            return 0;
        m_ongoing = true;
        m_toldAt = now;
        const qint64 told = m_held;
        m_held = 0;
        return told;
    }
    // It stopped: true when it had been told, so its end is worth telling.
    bool ended()
    {
        const bool was = m_ongoing;
        m_ongoing = false;
        m_held = 0;
        return was;
    }
    bool ongoing() const { return m_ongoing; }

private:
    double m_interval;
    bool m_ongoing = false;
    double m_toldAt = 0;
    qint64 m_held = 0;
};

} // namespace oq
