#include "CounterWatch.h"

#include <QObject>
#include <QPointer>

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "Command.h"
#include "DeviceSession.h"
#include "counters/CounterSet.h"
#include "device/DeviceError.h"
#include "device/OQUSBDevice.h"
#include "device/ft/FtBackend.h"
#include "logging/Log.h"
#include "platform/SafeText.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "recording/Recording.h"
#include "web/CounterSnapshot.h"

namespace oqtool {
namespace {

// Modelled seconds the end waits for the counters' streams to stop.
constexpr double kStopWaitLimit = 15.0;

using oq::counters::Counter;
using oq::counters::CounterSet;
using oq::counters::State;

// What oqtool keeps of one counter while it runs: hung on the counter, so it goes with it.
class Watched : public QObject {
public:
    explicit Watched(Counter* counter, bool onBus) : QObject(counter), onBus(onBus) {}

    static Watched* of(const Counter* counter) { return counter ? counter->findChild<Watched*>(QString(), Qt::FindDirectChildrenOnly) : nullptr; }

    const bool onBus;
    long long count = 0;        // readings handed on
    bool seen = false;          // identified at least once
    bool reported = false;      // its current absence was said
    QString reportedReason;
    bool silent = false;
    std::unique_ptr<AlertCommand> alerts;
};

class WatchRun : public QObject {
public:
    WatchRun(DeviceSession& session, const WatchOptions& options, CsvFile* file)
        : m_session(session)
        , m_options(options)
        , m_file(file)
        , m_set(setOptions(options, file != nullptr))
    {
        m_set.setRecording(options.recording);
        connect(&m_set, &CounterSet::readingArrived, this, &WatchRun::deliver);
        connect(&m_set, &CounterSet::levelChanged, this, [this](Counter* c, const oq::Reading& r, const oq::alerts::LevelEvent& e) {
            if (auto* w = Watched::of(c); w && w->alerts && !reachedCount(c))
                w->alerts->tell(r, e);
        });
        connect(&m_set, &CounterSet::counterAdded, this, [this](Counter* c) { watch(c, m_addingOnBus); });
        connect(&m_set, &CounterSet::sharedSerial, this, [this](const QString& serial, const std::vector<Counter*>& twins) {
            if (!m_sharedSaid.insert(serial).second)
                return;
            QStringList ports;
            for (const Counter* c : twins)
                ports << oq::terminalSafe(c->place().port);
            err(QStringLiteral("oqtool watch: ") + text("oqtool.watch.shared_serial").arg(oq::terminalSafe(serial), ports.join(QStringLiteral(", "))) + QLatin1Char('\n'));
        });
        if (options.web)
            m_feed = std::make_unique<oq::web::SnapshotFeed>(m_set, *options.web);
    }

    int run();

private:
    static oq::counters::Options setOptions(const WatchOptions& options, bool csv)
    {
        oq::counters::Options o;
        o.mode = options.mode;
        o.startDelay = 0; // a tool asked to read reads at once
        o.onFailure = csv ? oq::counters::OnFailure::Reopen : oq::counters::OnFailure::End;
        o.reopenAfter = kCsvRetryInterval;
        o.keepDeparted = true;
        return o;
    }

    bool csv() const { return m_file != nullptr; }
    QString label(const Counter* c) const { return oq::terminalSafe(c->key().isEmpty() ? c->place().port : c->key()); }
    // A line on standard error about one counter; named when several are read.
    void tell(const Counter* c, const QString& line) const
    {
        err((m_several ? label(c) + QStringLiteral(": ") : QString()) + line + QLatin1Char('\n'));
    }
    void fail(const Counter* c, const QString& message)
    {
        ++m_failures;
        err(QStringLiteral("oqtool watch: ") + (m_several ? label(c) + QStringLiteral(": ") : QString()) + message + QLatin1Char('\n'));
    }
    bool active(const Counter* c) const { return c->state() != State::Ended; }
    bool reachedCount(const Counter* c) const { return m_options.count > 0 && Watched::of(c)->count >= m_options.count; }
    bool othersActive(const Counter* c) const
    {
        return std::any_of(m_set.counters().begin(), m_set.counters().end(),
            [&](const auto& o) { return o.get() != c && active(o.get()) && !reachedCount(o.get()); });
    }

    void add(const oq::counters::Place& place, bool onBus)
    {
        m_addingOnBus = onBus;
        m_set.add(place);
    }
    void watch(Counter* c, bool onBus);
    void identified(Counter* c, bool same);
    void stateChanged(Counter* c, State state, State before);
    void lost(Counter* c, bool wasReading);
    void deliver(Counter* c, const oq::Reading& reading);
    void watchBus();
    bool done() const;
    int finish();

    DeviceSession& m_session;
    const WatchOptions& m_options;
    CsvFile* const m_file; // CSV mode
    CounterSet m_set;
    std::unique_ptr<oq::web::SnapshotFeed> m_feed; // before the set goes
    bool m_addingOnBus = false;
    std::set<QString> m_portsWithoutSerial;
    std::set<QString> m_sharedSaid; // serials reported by several counters, said once each
    bool m_several = false;     // lines name their counter; once on, for the rest of the run
    bool m_awaitingBus = false; // counters are listed whose arrival is still to come
    bool m_waitingSaid = false; // CSV mode said it waits for a first counter
    bool m_stopped = false;     // the output failed
    int m_failures = 0;
};

void WatchRun::watch(Counter* c, bool onBus)
{
    auto* w = new Watched(c, onBus);
    if (!m_options.alertCommand.isNull())
        w->alerts = std::make_unique<AlertCommand>(m_options.alertCommand, m_options.alertTimeout);
    m_awaitingBus = false;
    auto before = std::make_shared<State>(c->state());
    connect(c, &Counter::identifiedChanged, this, [this, c](bool same) { identified(c, same); });
    connect(c, &Counter::mqttStatusChanged, this, [this, c](const QString& status) {
        if (!status.isEmpty())
            err((m_several ? label(c) + QStringLiteral(": ") : QString()) + text("oqtool.watch.mqtt.status").arg(status) + QLatin1Char('\n'));
    });
    connect(c, &Counter::stateChanged, this, [this, c, before](State state) {
        const State was = *before;
        *before = state;
        stateChanged(c, state, was);
    });
    const auto reading = std::count_if(m_set.counters().begin(), m_set.counters().end(), [this](const auto& o) { return active(o.get()); });
    if (reading > 1 && !m_several) {
        m_several = true;
        LGLogInfo("watch: %i counters read; lines name their counter from now on", int(reading));
    }
}

void WatchRun::identified(Counter* c, bool same)
{
    auto* w = Watched::of(c);
    const QString who = c->key();
    if (c->serial().isEmpty() && m_portsWithoutSerial.insert(c->place().port).second)
        err(text("oqtool.watch.no_serial").arg(oq::terminalSafe(c->place().port)) + QLatin1Char('\n'));
    if (!same) {
        // Another counter at the place of the one read before: a new counter, counted afresh.
        w->count = 0;
        w->seen = false;
    }
    // The same counter back at another place on the bus: it goes on where it left off.
    for (const auto& e : m_set.counters()) {
        Counter* earlier = e.get();
        if (earlier == c || !earlier->departed() || earlier->lastKey() != who)
            continue;
        const auto* was = Watched::of(earlier);
        w->count = was->count;
        w->seen = w->seen || was->seen;
        w->reported = true;
        if (auto* from = Watched::of(earlier); from->alerts)
            w->alerts = std::move(from->alerts); // a command it started runs on
        m_set.remove(earlier);
        break;
    }
    // Counters found on the bus are told as a whole: the first after a wait, and one back.
    if (m_waitingSaid) {
        m_waitingSaid = false;
        tell(c, text("oqtool.watch.csv.found"));
    } else if (w->reported) {
        tell(c, text(w->seen ? "oqtool.watch.csv.back" : "oqtool.watch.csv.found"));
    }
    w->reported = false;
    w->seen = true;
    LGLogInfo("watch: counter %@ attached, starting online mode %i", who, m_options.mode);
}

void WatchRun::stateChanged(Counter* c, State state, State before)
{
    auto* w = Watched::of(c);
    // Said once each, for scripts: the same in every language.
    if (state == State::Silent && !w->silent) {
        w->silent = true;
        err(QStringLiteral("oqtool watch: ") + (m_several ? label(c) + QStringLiteral(": ") : QString())
            + QStringLiteral("counter silent: no reading for more than %1 s\n").arg(Counter::kSilenceSeconds));
    } else if (state == State::Reading && w->silent) {
        w->silent = false;
        err(QStringLiteral("oqtool watch: ") + (m_several ? label(c) + QStringLiteral(": ") : QString())
            + QStringLiteral("counter readings resumed\n"));
    }
    if (state == State::Away || (state == State::Ended && before != State::Ended))
        lost(c, before == State::Reading || before == State::Silent || before == State::Starting);
}

void WatchRun::lost(Counter* c, bool wasReading)
{
    auto* w = Watched::of(c);
    w->silent = false;
    const QString reason = c->failure();
    // A counter on the bus that is away is said once: its removal, told a moment after the
    // failure, ends the waiting for it, and its return is a new arrival.
    const bool quiet = w->onBus && w->reported;
    if (c->state() == State::Away) {
        if (!quiet && (!w->reported || reason != w->reportedReason)) {
            w->reported = true;
            w->reportedReason = reason;
            LGLogWarn("watch: counter %@ away (%@); waiting for it", label(c), reason);
            tell(c, wasReading ? text("oqtool.watch.csv.lost") : text("oqtool.watch.csv.waiting").arg(oq::terminalSafe(QString(reason).replace(QLatin1Char('\n'), QStringLiteral("; ")))));
        }
        return;
    }
    LGLogWarn("watch: counter %@ ended (%@)", label(c), reason.isEmpty() ? QStringLiteral("removed") : reason);
    // Pulled out while others are read on: its end, not a failure. The last counter's end is the
    // run's, told as a failure as it always was.
    const bool unplugged = c->departed() || (wasReading && othersActive(c) && m_session.bridgeGone(c->place().location));
    if (csv() || (unplugged && othersActive(c))) {
        if (!quiet)
            tell(c, text(csv() ? "oqtool.watch.csv.lost" : "oqtool.watch.unplugged"));
        w->reported = true;
        return;
    }
    fail(c, reason.isEmpty() ? oq::device::ftStatusMessage(FT_DEVICE_NOT_FOUND) : reason);
}

void WatchRun::deliver(Counter* c, const oq::Reading& reading)
{
    auto* w = Watched::of(c);
    if (m_stopped || !w || reachedCount(c))
        return;
    const QString who = label(c);
    if (m_file) {
        QString error;
        if (!m_file->append(csvRow(reading, m_file->hasCounterColumn() ? std::optional<QString>(c->key()) : std::nullopt), error)) {
            err(QStringLiteral("oqtool watch: %1\n").arg(error));
            m_stopped = true;
            ++m_failures;
            return;
        }
    } else if (!out((m_several ? who + QStringLiteral(": ") : QString()) + m_options.show(reading) + QLatin1Char('\n'))) {
        m_stopped = true;
        return;
    }
    if (++w->count == m_options.count && m_options.count > 0)
        c->stop({}); // read enough: its stream is not needed any more
}

void WatchRun::watchBus()
{
    DWORD listed = 0;
    if (FT_CreateDeviceInfoList(&listed) != FT_OK)
        listed = 0;
    m_addingOnBus = true;
    if (!m_set.watchBus(m_session.simulated())) {
        // Without the kernel's device events, the first counter listed, as one counter always was.
        LGLogWarn("watch: no USB device events; reading the first counter listed");
        add({0, std::nullopt, QString()}, false);
        return;
    }
    if (listed > 0) {
        m_awaitingBus = true; // they arrive through the event loop
    } else if (!csv()) {
        add({0, std::nullopt, QString()}, false); // fails as one counter always did: nothing to read
    } else {
        m_waitingSaid = true;
        err(text("oqtool.watch.csv.waiting").arg(oq::device::ftStatusMessage(FT_DEVICE_NOT_FOUND)) + QLatin1Char('\n'));
    }
}

bool WatchRun::done() const
{
    if (m_stopped || outFailed())
        return true;
    const auto& all = m_set.counters();
    const bool unfinished = std::any_of(all.begin(), all.end(), [this](const auto& c) {
        return active(c.get()) && (!c->identified() || !reachedCount(c.get()));
    });
    if (unfinished)
        return false;
    if (csv()) {
        // A counter short of its count that is away is waited for.
        const bool any = std::any_of(all.begin(), all.end(), [](const auto& c) { return Watched::of(c.get())->seen; });
        return m_options.count > 0 && any && std::all_of(all.begin(), all.end(), [this](const auto& c) {
            return !Watched::of(c.get())->seen || reachedCount(c.get());
        });
    }
    return !m_awaitingBus;
}

int WatchRun::run()
{
    const std::vector<CounterPlace> given = m_session.givenPlaces();
    for (const CounterPlace& place : given) {
        add({0, place.location ? std::optional<uint32_t>(uint32_t(*place.location)) : std::nullopt, place.port}, false);
    }
    if (given.empty())
        watchBus();
    const bool whole = m_session.runUntil([this] { return done(); }, 100);
    // Ctrl-C before a counter could be read, as it always was with one.
    const auto& all = m_set.counters();
    const bool none = std::none_of(all.begin(), all.end(), [](const auto& c) { return Watched::of(c.get())->count > 0; });
    if (!whole && !csv() && none && std::any_of(all.begin(), all.end(), [](const auto& c) { return c->state() == State::Opening; })) {
        err(QStringLiteral("oqtool watch: ") + text("oqtool.interrupted") + QLatin1Char('\n'));
        ++m_failures;
    }
    return finish();
}

int WatchRun::finish()
{
    if (m_set.monitor())
        m_set.monitor()->setDelegate(nullptr);
    disconnect(&m_set, &CounterSet::readingArrived, this, &WatchRun::deliver);
    // Stop the counters' streams before leaving, also after Ctrl-C: all at once, one wait.
    m_set.holdAll();
    bool stopped = false;
    m_set.stopAll([&stopped] { stopped = true; }, kStopWaitLimit);
    m_session.runUntilDone([&] { return stopped; });
    std::vector<std::shared_ptr<OQUSBDevice>> devices;
    for (const auto& c : m_set.counters()) {
        if (auto d = std::dynamic_pointer_cast<OQUSBDevice>(c->device()))
            devices.push_back(std::move(d));
    }
    m_session.waitForWork(devices);
    if (m_options.finishRecording && !m_options.finishRecording())
        ++m_failures;
    // An alert under way at the end is given time to finish its work. An alarm whose command could
    // not be run reached nobody: that fails the run.
    int unrun = 0;
    for (const auto& c : m_set.counters()) {
        if (auto* w = Watched::of(c.get()); w->alerts) {
            w->alerts->finish(kAlertFinishWait);
            unrun += w->alerts->unrun();
        }
    }
    if (unrun > 0) {
        err(QStringLiteral("oqtool watch: ") + text("oqtool.watch.alert.unrun").arg(unrun) + QLatin1Char('\n'));
        ++m_failures;
    }
    return m_failures > 0 ? 1 : 0;
}

} // namespace

int runWatch(DeviceSession& session, const WatchOptions& options)
{
    oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
    std::unique_ptr<CsvFile> file;
    if (options.csv.csv) {
        file = std::make_unique<CsvFile>();
        QString error;
        if (!file->open(options.csv.output, error)) {
            err(QStringLiteral("oqtool watch: %1\n").arg(error));
            return 1;
        }
        LGLogInfo("CSV recording into %@", options.csv.output.isEmpty() ? QStringLiteral("-") : options.csv.output);
        if (!file->hasCounterColumn())
            err(QStringLiteral("oqtool watch: ") + text("oqtool.watch.csv.old_layout").arg(options.csv.output) + QLatin1Char('\n'));
    }
    WatchRun run(session, options, file.get());
    return run.run();
}

int runCsvWatch(DeviceSession& session, const CsvOptions& options, int mode, long long count)
{
    WatchOptions watch;
    watch.mode = mode;
    watch.count = count;
    watch.csv = options;
    return runWatch(session, watch);
}

} // namespace oqtool
