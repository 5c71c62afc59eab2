#pragma once
// A simulated Orbel-Quist counter as seen from the computer's end of its serial line.
//
// The computer writes bytes with hostWrite() and reads what has arrived with hostRead(). The
// counter answers commands, streams value lines and sends its memory dump at its line rate
// (10 bits per character), measured on the modelled clock (platform/Clock.h), so a test that runs
// the clock scaled sees the same byte timing in a fraction of the time. Nothing runs by itself:
// every host call first brings the counter up to the current modelled time. Thread-safe.
//
// Commands are one byte each; a handler per byte (setCommand) makes adding a command adding one
// handler. Multi-byte commands ("t" and its date) collect their argument with Context::collect.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

#include "RadiationProfile.h"
#include "SimConfig.h"
#include "SimDump.h"

namespace oq::sim {

class SimCounter {
public:
    class Context;
    using Handler = std::function<void(Context&)>;

    explicit SimCounter(CounterConfig config = {});
    ~SimCounter();
    SimCounter(const SimCounter&) = delete;
    SimCounter& operator=(const SimCounter&) = delete;

    // --- The computer's end of the line ---

    // Bytes written by the computer with its current line settings.
    void hostWrite(const QByteArray& bytes);
    // The computer's line settings; a mismatch with the counter's 7E1 at its speed garbles both ways.
    void hostConfigure(const LineSettings& settings);
    LineSettings hostSettings() const;
    // Bytes that have arrived and not been read.
    qsizetype hostAvailable();
    QByteArray hostRead(qsizetype max);
    // Drops what has arrived; bytes still on the wire arrive later.
    void hostPurge();
    // Modelled time at which more may arrive or the counter's state changes; none when nothing is due.
    std::optional<double> nextEvent();

    // Received bytes the computer has not read are dropped beyond this (the driver's buffer).
    static constexpr qsizetype kReceiveCapacity = 65536;

    // --- Plugging ---

    bool plugged() const;
    // Pulls the counter out: pending bytes are lost and the unplug handler runs once (outside the lock).
    void unplug();
    // Plugs it in again (fresh state, as after power-up).
    void replug();
    // Called once per unplug, also when a fault pulls the counter out; not under the counter's lock.
    void setUnplugHandler(std::function<void()> handler);

    // --- Settings and inspection ---

    CounterConfig config() const;
    // Changes settings while it runs (faults, profile, speed). The dump is re-read.
    void updateConfig(const std::function<void(CounterConfig&)>& change);
    // The dump sections the counter answers from (e.g. a dump text a test built).
    void setDeviceDump(const QString& text);
    Mode mode() const;
    // The counter's clock (set by "t").
    QDateTime clock() const;
    // The version record as "v" would answer it now, without line end.
    QString versionRecord() const;
    // The serial number the version record carries.
    QString serialNumber() const;
    // Commands received, in order: "P", "v", "ESC", "t010125080509\r\n"; "~" for a garbled byte.
    // The most recent few thousand.
    QStringList commandLog() const;
    // Bytes sent to the computer so far (including ones the line dropped).
    qint64 bytesSent() const;
    // Breaches of the one-exchange-at-a-time rule seen so far, one text each: a command (other
    // than ESC) while the answer to an earlier one is still on the line or unread, a second stream
    // started over a running one, or a stream left by anything but "X".
    QStringList protocolViolations() const;

    // Replaces or adds the handler of one command byte.
    void setCommand(unsigned char command, Handler handler);

    // What a command handler may do. Valid only during the handler call.
    class Context {
    public:
        double time() const { return m_time; }
        SimCounter& counter() { return m_counter; }
        Mode mode() const;
        void setMode(Mode mode);
        const CounterConfig& config() const;
        const DumpSections& dump() const;
        // Queues text after everything already queued; line faults apply to each line.
        void send(const QByteArray& text);
        // Starts a value stream (Mode::OnlineRate or Mode::OnlineDose).
        void startStream(Mode mode);
        // Ends a stream (after the configured stop delay).
        void stopStream();
        // Drops every byte not yet on the wire.
        void cancelOutput();
        // The next `count` bytes go to `done` instead of the command table.
        void collect(int count, std::function<void(Context&, const QByteArray&)> done);
        QString versionRecord() const;
        QDateTime clock() const;
        void setClock(const QDateTime& value);
        // "P" commands received so far, this one included.
        int pcRequests() const;
        // The answer just queued is a dump: ESC stops it while it runs.
        void markDump();
        bool dumpRunning() const;

    private:
        friend class SimCounter;
        Context(SimCounter& counter, double time) : m_counter(counter), m_time(time) {}
        SimCounter& m_counter;
        double m_time;
    };

private:
    struct Segment {
        QByteArray bytes;
        qsizetype pos = 0;
        double start = 0;
        double charTime = 0;
        bool answer = true; // an answer to a command, not a stream line
    };
    struct Collector {
        int remaining = 0;
        QByteArray bytes;
        double lastByte = 0;
        std::function<void(Context&, const QByteArray&)> done;
        qsizetype logIndex = -1;
    };

    void installCommands();
    void resetLocked(double now);
    void loadDumpLocked();
    void advanceLocked(double now);
    void receiveLocked(unsigned char byte, bool garbledByte, double at);
    void queueLocked(const QByteArray& text, double at, bool answer = true);
    void queueRawLocked(const QByteArray& bytes, double at, bool answer = true);
    void checkProtocolLocked(unsigned char command);
    void emitValueLineLocked(double at);
    QByteArray garbageLocked();
    void unplugLocked();
    void notifyUnplug(); // call without the lock
    LineSettings lineLocked() const { return LineSettings::counter(m_config.baud); }
    QString versionRecordLocked(double now) const;
    QString serialLocked() const;
    QDateTime clockLocked(double now) const;

    mutable std::mutex m_mutex;
    CounterConfig m_config;
    DumpSections m_dump;
    std::map<unsigned char, Handler> m_commands;
    std::function<void()> m_unplugHandler;
    bool m_unplugPending = false;

    // Line
    LineSettings m_host;
    std::deque<Segment> m_wire;
    double m_lineFree = 0;
    QByteArray m_received;
    qsizetype m_unreadAnswer = 0; // m_received up to here holds answer bytes
    qint64 m_bytesSent = 0;

    // State
    bool m_plugged = true;
    double m_pluggedAt = 0;
    Mode m_mode = Mode::Idle;   // Idle or PcMode
    Mode m_stream = Mode::Idle; // Idle, OnlineRate or OnlineDose
    bool m_muted = false;
    double m_nextValue = 0;
    double m_stopAt = -1;
    double m_unplugAt = -1;
    double m_dumpUntil = -1;
    double m_dose = 0;
    long m_valueLines = 0;
    long m_linesSent = 0;
    int m_pcRequests = 0;
    std::optional<Collector> m_collector;
    QDateTime m_clockBase;
    double m_clockRef = 0;
    RadiationProfile m_profile;
    std::mt19937 m_rng;
    QStringList m_log;
    QString m_lastAnswered;
    QStringList m_violations;
};

} // namespace oq::sim
