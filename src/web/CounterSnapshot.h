#pragma once
// The counters as the web page and /metrics see them, made from the one counter set. Main thread.
#include <QObject>
#include <QTimer>

#include "web/Snapshot.h"

namespace oq::counters {
class CounterSet;
}

namespace oq::web {

class WebServer;

// Every counter of the set, in its order, with the stored display unit and thresholds.
Snapshot snapshotOf(const counters::CounterSet& set);

// Publishes the set's snapshot to the server whenever a counter comes, goes, changes or reads;
// a burst of changes (64 counters reading in the same second) is one snapshot.
class SnapshotFeed : public QObject {
    Q_OBJECT
public:
    // Neither is owned; both outlive the feed.
    SnapshotFeed(const counters::CounterSet& set, WebServer& server, QObject* parent = nullptr);
    void publishNow();

private:
    const counters::CounterSet& m_set;
    WebServer& m_server;
    QTimer m_coalesce;
};

} // namespace oq::web
