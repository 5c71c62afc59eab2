#include "web/CounterSnapshot.h"

#include "counters/CounterSet.h"
#include "readings/Level.h"
#include "web/WebServer.h"

namespace oq::web {
namespace {

// Within the page's promise of 2 s from reading to screen, with room for the browser's poll.
constexpr int kCoalesceMs = 100;

CounterView viewOf(const counters::Counter& counter)
{
    CounterView v;
    v.key = counter.key();
    if (v.key.isEmpty())
        v.key = counter.lastKey().isEmpty() ? counter.place().port : counter.lastKey();
    // The history and /metrics tell counters apart by this: the serial number, else the port; two
    // counters reporting one serial number by their keys, so their series stay apart.
    const QString serial = counter.serial();
    v.serial = serial.isEmpty() || v.key != counterKey(serial, counter.place().port) ? v.key : serial;
    v.name = v.serial;
    const auto state = counter.state();
    v.state = QString::fromLatin1(counters::stateName(state));
    v.connected = state != counters::State::Ended && state != counters::State::Away;
    if (const auto reading = counter.reading()) {
        v.timeMs = reading->timeMs;
        v.value = reading->value;
        v.mode = reading->mode;
        v.counterUnit = reading->counterUnit;
        v.level = QString::fromLatin1(levelName(reading->level));
    } else {
        v.counterUnit = QStringLiteral("Sv");
        v.level = QString::fromLatin1(levelName(Level::Normal));
    }
    return v;
}

} // namespace

Snapshot snapshotOf(const counters::CounterSet& set)
{
    Snapshot snapshot;
    applyStoredSettings(snapshot);
    snapshot.counters.reserve(set.counters().size());
    for (const auto& counter : set.counters())
        snapshot.counters.push_back(viewOf(*counter));
    return snapshot;
}

SnapshotFeed::SnapshotFeed(const counters::CounterSet& set, WebServer& server, QObject* parent)
    : QObject(parent)
    , m_set(set)
    , m_server(server)
{
    m_coalesce.setSingleShot(true);
    m_coalesce.setInterval(kCoalesceMs);
    connect(&m_coalesce, &QTimer::timeout, this, &SnapshotFeed::publishNow);
    const auto later = [this] {
        if (!m_coalesce.isActive())
            m_coalesce.start();
    };
    connect(&set, &counters::CounterSet::readingArrived, this, later);
    connect(&set, &counters::CounterSet::countersChanged, this, later);
    connect(&set, &counters::CounterSet::valueChanged, this, later);
    // The counter is still in the set while this is told: the snapshot is made after it has gone.
    connect(&set, &counters::CounterSet::counterRemoving, this, later);
    publishNow();
}

void SnapshotFeed::publishNow()
{
    m_coalesce.stop();
    m_server.publish(snapshotOf(m_set));
}

} // namespace oq::web
