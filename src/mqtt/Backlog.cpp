#include "mqtt/Backlog.h"

#include <algorithm>

#include "history/HistoryReader.h"
#include "logging/Log.h"

namespace oq::mqtt {

MemoryBacklog::MemoryBacklog(std::size_t limit)
    : m_limit(std::max<std::size_t>(limit, 1))
{
}

void MemoryBacklog::add(history::Reading reading)
{
    std::lock_guard lock(m_mutex);
    const qint64 position = std::max(reading.timeMs, m_last + 1);
    m_last = position;
    m_waiting.push_back({position, std::move(reading)});
    while (m_waiting.size() > m_limit) {
        overflowed(m_waiting.front());
        m_waiting.pop_front();
    }
}

void MemoryBacklog::overflowed(const Waiting&)
{
    if (m_dropped++ == 0)
        LGLogWarn("MQTT: the broker has been away too long; the oldest readings not sent are dropped");
}

std::vector<Waiting> MemoryBacklog::after(qint64 after, std::size_t max)
{
    std::lock_guard lock(m_mutex);
    std::vector<Waiting> out;
    auto it = std::upper_bound(m_waiting.begin(), m_waiting.end(), after, [](qint64 p, const Waiting& w) { return p < w.position; });
    for (; it != m_waiting.end() && out.size() < max; ++it)
        out.push_back(*it);
    return out;
}

void MemoryBacklog::delivered(qint64 position)
{
    std::lock_guard lock(m_mutex);
    while (!m_waiting.empty() && m_waiting.front().position <= position)
        m_waiting.pop_front();
}

std::size_t MemoryBacklog::size() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting.size();
}

qint64 MemoryBacklog::dropped() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

HistoryBacklog::HistoryBacklog(QString path, QString serial, std::size_t memoryLimit)
    : MemoryBacklog(memoryLimit)
    , m_path(std::move(path))
    // A counter without a serial is kept under the empty one; a null text would match nothing.
    , m_serial(serial.isNull() ? QStringLiteral("") : std::move(serial))
{
}

HistoryBacklog::~HistoryBacklog() = default;

void HistoryBacklog::overflowed(const Waiting& w)
{
    // Under the mutex: the database has the reading, so only its time is kept.
    if (m_gapFrom < 0)
        m_gapFrom = w.reading.timeMs;
    m_gapTo = std::max(m_gapTo, w.reading.timeMs);
    ++m_gapReadings;
}

std::vector<Waiting> HistoryBacklog::after(qint64 after, std::size_t max)
{
    qint64 from = 0, to = -1;
    {
        std::lock_guard lock(m_mutex);
        if (m_gapFrom >= 0) {
            from = std::max(m_gapFrom, after + 1);
            to = m_gapTo;
        }
    }
    std::vector<Waiting> out;
    if (from <= to) {
        if (!m_reader) {
            QString problem;
            m_reader = history::Reader::open(m_path, &problem);
            if (!m_reader) {
                LGLogWarn("MQTT: readings kept in the history cannot be read back (%@); they are not sent", problem);
                std::lock_guard lock(m_mutex);
                m_dropped += std::max<qint64>(m_gapReadings, 1);
                m_gapFrom = m_gapTo = -1;
                m_gapReadings = 0;
            }
        }
        // An hour at a time keeps each query small however long the broker was away.
        for (qint64 start = from; m_reader && start <= to && out.size() < max; start += 3600 * 1000) {
            const qint64 end = std::min(to + 1, start + 3600 * 1000);
            for (const auto& r : m_reader->readings(m_serial, start, end)) {
                if (out.size() >= max)
                    break;
                out.push_back({r.timeMs, {m_serial, r.timeMs, r.mode, r.value, r.counterUnit, r.level}});
            }
        }
    }
    if (out.size() < max) {
        auto rest = MemoryBacklog::after(std::max(after, out.empty() ? after : out.back().position), max - out.size());
        out.insert(out.end(), rest.begin(), rest.end());
    }
    return out;
}

std::size_t HistoryBacklog::size() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting.size() + (m_gapFrom >= 0 ? 1 : 0);
}

void HistoryBacklog::delivered(qint64 position)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_gapFrom >= 0 && position >= m_gapFrom) {
            m_gapFrom = position + 1;
            if (m_gapFrom > m_gapTo) {
                m_gapFrom = m_gapTo = -1;
                m_gapReadings = 0;
            }
        }
    }
    MemoryBacklog::delivered(position);
}

} // namespace oq::mqtt
