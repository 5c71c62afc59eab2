#pragma once
// The readings of one counter that the broker has not acknowledged yet, oldest first. Each has a
// position: strictly increasing, its time in milliseconds where the clock allows (a later reading
// with an earlier or equal time gets the last position plus one).
//
// Two sources behind one interface: MemoryBacklog keeps what it is handed, bounded, the oldest
// dropped first; HistoryBacklog keeps fewer in memory and reads what memory dropped back from the
// history database, which records the same readings. add() may be called on any thread; the rest
// on the publisher's.
#include <QString>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "history/HistoryTypes.h"

namespace oq::history {
class Reader;
}

namespace oq::mqtt {

struct Waiting {
    qint64 position = 0;
    history::Reading reading;
};

class Backlog {
public:
    virtual ~Backlog() = default;
    virtual void add(history::Reading reading) = 0;
    // Up to `max` waiting readings with positions after `after`, oldest first.
    virtual std::vector<Waiting> after(qint64 after, std::size_t max) = 0;
    // The broker has every reading up to and including `position`.
    virtual void delivered(qint64 position) = 0;
    // Readings waiting (those in memory; a history backlog may hold more in the database).
    virtual std::size_t size() const = 0;
    // Readings given up for good.
    virtual qint64 dropped() const = 0;
};

class MemoryBacklog : public Backlog {
public:
    // Two days at one reading a second.
    static constexpr std::size_t kDefaultLimit = 2 * 86400;
    explicit MemoryBacklog(std::size_t limit = kDefaultLimit);

    void add(history::Reading reading) override;
    std::vector<Waiting> after(qint64 after, std::size_t max) override;
    void delivered(qint64 position) override;
    std::size_t size() const override;
    qint64 dropped() const override;

protected:
    // A reading memory lets go of; counted as dropped unless a subclass keeps it elsewhere.
    virtual void overflowed(const Waiting& w);

    mutable std::mutex m_mutex;
    std::deque<Waiting> m_waiting;
    std::size_t m_limit;
    qint64 m_last = 0;
    qint64 m_dropped = 0;
};

class HistoryBacklog : public MemoryBacklog {
public:
    // Readings of `serial` that memory drops are read back from the database at `path`.
    HistoryBacklog(QString path, QString serial, std::size_t memoryLimit = 3600);
    ~HistoryBacklog() override;

    std::vector<Waiting> after(qint64 after, std::size_t max) override;
    void delivered(qint64 position) override;
    // With one more while readings wait in the database.
    std::size_t size() const override;

protected:
    void overflowed(const Waiting& w) override;

private:
    QString m_path;
    QString m_serial;
    // Opened on the publisher's thread at first need.
    std::unique_ptr<history::Reader> m_reader;
    // The times memory let go of, still to be read back: [from, to].
    qint64 m_gapFrom = -1;
    qint64 m_gapTo = -1;
    qint64 m_gapReadings = 0; // in the gap when it opened or grew
};

} // namespace oq::mqtt
