#include "CounterWatch.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "Command.h"
#include "DeviceSession.h"
#include "device/DeviceError.h"
#include "device/OQUSBDevice.h"
#include "device/ft/FtBackend.h"
#include "logging/Log.h"
#include "parser/OQDeviceInfo.h"
#include "platform/Clock.h"
#include "platform/SafeText.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "sim/SimRegistry.h"
#include "usb/USBMonitor.h"

namespace oqtool {
namespace {

class WatchRun;

// One counter's reading: a device per attachment, each reading handed to the run.
class CounterWatch : public QObject {
public:
    CounterWatch(WatchRun& run, CounterPlace place, bool onBus) : m_run(run), m_place(std::move(place)), m_onBus(onBus) {}

    // One step; does nothing once the counter's work has ended.
    void step();
    bool active() const { return m_state != State::Ended; }
    const CounterPlace& place() const { return m_place; }
    bool onBus() const { return m_onBus; }
    // Its serial number, or its port when it has none; empty until its information was read.
    const QString& identity() const { return m_identity; }
    // How people are told which counter: its identity once known, else its port.
    QString label() const { return oq::terminalSafe(m_identity.isEmpty() ? m_place.port : m_identity); }
    // The bus says its counter has left: what fails now is the unplug.
    void removed();
    // The device still streaming, to be stopped on the way out.
    std::shared_ptr<OQUSBDevice> streamingDevice() const { return m_state == State::Reading ? m_device : nullptr; }
    const std::shared_ptr<OQUSBDevice>& device() const { return m_device; }
    bool opening() const { return m_state == State::Opening; }
    void finish()
    {
        flushPending();
        if (m_device)
            QObject::disconnect(m_device.get(), nullptr, this, nullptr);
    }

private:
    enum class State { Away, Opening, Reading, Ended };

    bool retries() const;
    bool exchangeEnded() const
    {
        const auto progress = m_device->progress();
        return !m_device->busy() && progress && progress->completedUnitCount() == -1;
    }
    // Nothing else wakes the waiting loop while the counter is away.
    void wakeForRetry()
    {
        m_retryWake.setSingleShot(true);
        m_retryWake.setTimerType(Qt::PreciseTimer);
        m_retryWake.start(oq::clock::scaledMs(m_retryAt - oq::clock::now()));
    }
    void startReading();
    void lose(const QString& reason);
    void valueChanged();
    void flushPending();

    WatchRun& m_run;
    const CounterPlace m_place;
    const bool m_onBus;
    State m_state = State::Away;
    QString m_identity;
    double m_retryAt = 0;
    bool m_reported = false; // the current absence was reported
    QString m_reportedReason;
    bool m_attached = false; // read from before
    bool m_removed = false;
    std::shared_ptr<OQUSBDevice> m_device;
    std::optional<CsvReading> m_pending;
    QTimer m_retryWake;
};

class WatchRun : public USBMonitorDegelate {
public:
    WatchRun(DeviceSession& session, const WatchOptions& options, CsvFile* file)
        : m_session(session), m_options(options), m_file(file)
    {
    }

    int run();

    const WatchOptions& options() const { return m_options; }
    DeviceSession& session() { return m_session; }
    bool csv() const { return m_file != nullptr; }

    // A line on standard error about one counter; named when several are read.
    void tell(const CounterWatch& watch, const QString& line) const
    {
        err((m_severalShown ? watch.label() + QStringLiteral(": ") : QString()) + line + QLatin1Char('\n'));
    }
    // The counter's failure fails the run; said like every failure of oqtool watch.
    void fail(const CounterWatch& watch, const QString& message)
    {
        ++m_failures;
        err(QStringLiteral("oqtool watch: ") + (m_severalShown ? watch.label() + QStringLiteral(": ") : QString()) + message
            + QLatin1Char('\n'));
    }
    bool othersActive(const CounterWatch& watch) const
    {
        return std::any_of(m_watches.begin(), m_watches.end(), [&](const auto& w) { return w.get() != &watch && w->active() && !reachedCount(w->identity()); });
    }
    bool reachedCount(const QString& identity) const
    {
        const auto it = m_readings.find(identity);
        return m_options.count > 0 && it != m_readings.end() && it->second >= m_options.count;
    }
    bool several() const { return m_severalShown; }

    // The counter of `watch` has been identified and is read.
    void attached(const CounterWatch& watch, bool hasSerial);
    // The counter of `watch` has gone; its alerts start afresh when it is back.
    void detached(const CounterWatch& watch);
    void deliver(const CounterWatch& watch, const CsvReading& reading, const OQDeviceInfo* info);

private:
    void monitorFoundNewDevice(USBMonitor* monitor) override;
    void monitorRemovedDevice(USBMonitor* monitor) override;
    void add(CounterPlace place, bool onBus);
    void watchBus();
    bool done() const;
    int finish();
    AlertCommand* alertsFor(const QString& identity);

    DeviceSession& m_session;
    const WatchOptions& m_options;
    CsvFile* const m_file; // CSV mode
    std::vector<std::unique_ptr<CounterWatch>> m_watches;
    std::unique_ptr<USBMonitor> m_monitor;
    std::map<QString, long long> m_readings;                       // by counter
    std::map<QString, std::unique_ptr<AlertCommand>> m_alerts;     // by counter
    std::set<QString> m_seen, m_gone;                              // counters read, and away now
    std::set<QString> m_portsWithoutSerial;
    bool m_severalShown = false; // lines name their counter; once on, for the rest of the run
    bool m_awaitingBus = false;  // counters are listed whose arrival is still to come
    bool m_waitingSaid = false;  // CSV mode said it waits for a first counter
    bool m_stopped = false;      // the output failed
    int m_failures = 0;
};

// ---- One counter

bool CounterWatch::retries() const { return m_run.csv() && !m_removed; }

void CounterWatch::step()
{
    switch (m_state) {
    case State::Away:
        if (oq::clock::now() >= m_retryAt) {
            m_device = makeDevice<OQUSBDevice>(m_place.location ? std::optional<DWORD>(DWORD(*m_place.location)) : std::nullopt);
            m_state = State::Opening;
        } else if (!m_retryWake.isActive()) {
            wakeForRetry();
        }
        break;
    case State::Opening:
        if (m_device->failed())
            lose(m_device->error());
        else if (exchangeEnded())
            startReading();
        break;
    case State::Reading:
        if (m_device->failed())
            lose(m_device->error());
        break;
    case State::Ended:
        break;
    }
}

void CounterWatch::removed()
{
    m_removed = true;
    if (m_state == State::Away) { // waiting to try again: nothing left to try
        m_retryWake.stop();
        m_state = State::Ended;
        m_run.detached(*this);
    }
}

void CounterWatch::startReading()
{
    m_state = State::Reading;
    const auto info = m_device->info();
    const QString serial = info ? info->serialNumber() : QString();
    m_identity = serial.isEmpty() ? m_place.port : serial;
    if (m_reported)
        m_run.tell(*this, text(m_attached ? "oqtool.watch.csv.back" : "oqtool.watch.csv.found"));
    m_reported = false;
    m_attached = true;
    m_run.attached(*this, !serial.isEmpty());
    LGLogInfo("watch: counter %@ attached, starting online mode %i", m_identity, m_run.options().mode);
    QObject::connect(m_device.get(), &OQDevice::onlineValueChanged, this, [this] { valueChanged(); });
    tellSilence(*m_device, *this, m_run.several() ? label() : QString());
    if (m_run.options().mode == 1)
        m_device->startRateMode();
    else
        m_device->startDoseMode();
}

void CounterWatch::lose(const QString& reason)
{
    flushPending();
    const bool wasReading = m_state == State::Reading;
    QObject::disconnect(m_device.get(), nullptr, this, nullptr);
    m_device.reset();
    if (wasReading)
        m_run.detached(*this);
    // "device not found" also stands for a port that is there but refused (in use by another
    // program, not permitted): the cause is what helps, and a new cause is said again.
    const QString cause = wasReading ? QString() : oq::ft::lastOpenFailure();
    // A counter on the bus that is away is said once: its removal, told a moment after the
    // failure, ends the waiting for it, and its return is a new arrival.
    const bool quiet = m_onBus && m_reported;
    if (retries()) {
        m_state = State::Away;
        m_retryAt = oq::clock::now() + (wasReading && !m_onBus ? 0.0 : kCsvRetryInterval);
        wakeForRetry();
        const QString said = cause.isEmpty() ? reason : reason + QStringLiteral("; ") + cause;
        if (!quiet && (!m_reported || said != m_reportedReason)) {
            m_reported = true;
            m_reportedReason = said;
            LGLogWarn("watch: counter %@ away (%@); waiting for it", label(), said);
            m_run.tell(*this, wasReading ? text("oqtool.watch.csv.lost") : text("oqtool.watch.csv.waiting").arg(said));
        }
        return;
    }
    m_state = State::Ended;
    LGLogWarn("watch: counter %@ ended (%@)", label(), reason);
    // Pulled out while others are read on: its end, not a failure. The last counter's end is
    // the run's, told as a failure as it always was.
    const bool unplugged = m_removed || (wasReading && m_run.othersActive(*this) && m_run.session().bridgeGone(m_place.location));
    if (m_run.csv() || (unplugged && m_run.othersActive(*this))) {
        if (!quiet)
            m_run.tell(*this, text(m_run.csv() ? "oqtool.watch.csv.lost" : "oqtool.watch.unplugged"));
        return;
    }
    m_run.fail(*this, cause.isEmpty() ? reason : reason + QLatin1Char('\n') + cause);
}

// The device publishes a value and then its unit in one go on this thread, so the unit of a
// value is known once control comes back to the event loop, or when the next value arrives.
void CounterWatch::valueChanged()
{
    flushPending();
    const auto value = m_device ? m_device->onlineValue() : std::nullopt;
    if (!value)
        return;
    m_pending = CsvReading{QDateTime::fromMSecsSinceEpoch(m_device->onlineValueTime().value_or(QDateTime::currentMSecsSinceEpoch()), Qt::UTC),
        *value, m_run.options().mode, {}};
    QPointer<CounterWatch> self(this);
    QMetaObject::invokeMethod(this, [self] { if (self) self->flushPending(); }, Qt::QueuedConnection);
}

void CounterWatch::flushPending()
{
    if (!m_pending)
        return;
    CsvReading reading = *m_pending;
    m_pending.reset();
    reading.counterUnit = m_device ? m_device->onlineUnit() : QString();
    m_run.deliver(*this, reading, m_device && m_device->info() ? m_device->info().get() : nullptr);
}

// ---- The run

void WatchRun::attached(const CounterWatch& watch, bool hasSerial)
{
    const QString& who = watch.identity();
    if (!hasSerial && m_portsWithoutSerial.insert(watch.place().port).second)
        err(text("oqtool.watch.no_serial").arg(watch.place().port) + QLatin1Char('\n'));
    // Counters found on the bus are told as a whole: the first after a wait, and one back.
    if (m_waitingSaid) {
        m_waitingSaid = false;
        tell(watch, text("oqtool.watch.csv.found"));
    } else if (watch.onBus() && m_gone.contains(who)) {
        tell(watch, text("oqtool.watch.csv.back"));
    }
    m_gone.erase(who);
    m_seen.insert(who);
}

void WatchRun::detached(const CounterWatch& watch)
{
    if (watch.identity().isEmpty())
        return;
    m_gone.insert(watch.identity());
    if (const auto it = m_alerts.find(watch.identity()); it != m_alerts.end())
        it->second->interrupt();
}

AlertCommand* WatchRun::alertsFor(const QString& identity)
{
    if (m_options.alertCommand.isNull())
        return nullptr;
    auto& alerts = m_alerts[identity];
    if (!alerts)
        alerts = std::make_unique<AlertCommand>(m_options.alertCommand, m_options.alertTimeout);
    return alerts.get();
}

void WatchRun::deliver(const CounterWatch& watch, const CsvReading& reading, const OQDeviceInfo* info)
{
    const QString& who = watch.identity();
    if (m_stopped || reachedCount(who))
        return;
    if (m_options.also)
        m_options.also(reading, info);
    if (m_file) {
        QString error;
        if (!m_file->append(csvRow(reading, m_file->hasCounterColumn() ? std::optional<QString>(who) : std::nullopt), error)) {
            err(QStringLiteral("oqtool watch: %1\n").arg(error));
            m_stopped = true;
            ++m_failures;
            return;
        }
    } else {
        const QString shown = m_options.show(reading.value);
        if (!out((m_severalShown ? oq::terminalSafe(who) + QStringLiteral(": ") : QString()) + shown + QLatin1Char('\n'))) {
            m_stopped = true;
            return;
        }
    }
    if (AlertCommand* alerts = alertsFor(who))
        alerts->reading(reading.value, reading.mode, info ? info->serialNumber() : QString());
    ++m_readings[who];
}

void WatchRun::add(CounterPlace place, bool onBus)
{
    auto watch = std::make_unique<CounterWatch>(*this, std::move(place), onBus);
    m_watches.push_back(std::move(watch));
    const auto reading = std::count_if(m_watches.begin(), m_watches.end(), [](const auto& w) { return w->active(); });
    if (reading > 1 && !m_severalShown) {
        m_severalShown = true;
        LGLogInfo("watch: %i counters read; lines name their counter from now on", int(reading));
    }
}

void WatchRun::monitorFoundNewDevice(USBMonitor* monitor)
{
    const auto* device = monitor->reportedDevice();
    m_awaitingBus = false;
    if (!device)
        return;
    const unsigned long location = device->locationID;
    for (const auto& w : m_watches) {
        if (w->active() && w->place().location == location)
            return;
    }
    LGLogInfo("watch: counter arrived at USB location %X", uint32_t(location));
    add({location, oq::ft::portName(DWORD(location))}, true);
}

void WatchRun::monitorRemovedDevice(USBMonitor* monitor)
{
    const auto* device = monitor->reportedDevice();
    if (!device)
        return;
    for (const auto& w : m_watches) {
        if (w->active() && w->place().location == device->locationID)
            w->removed();
    }
}

void WatchRun::watchBus()
{
    DWORD listed = 0;
    if (FT_CreateDeviceInfoList(&listed) != FT_OK)
        listed = 0;
    m_monitor = m_session.simulated() ? USBMonitor::init(std::make_unique<SimRegistry>()) : USBMonitor::init();
    if (!m_monitor) {
        // Without the kernel's device events, the first counter listed, as one counter always was.
        LGLogWarn("watch: no USB device events; reading the first counter listed");
        add({std::nullopt, QString()}, false);
        return;
    }
    m_monitor->setDelegate(this);
    if (listed > 0) {
        m_awaitingBus = true; // they arrive through the event loop
    } else if (!csv()) {
        add({std::nullopt, QString()}, false); // fails as one counter always did: nothing to read
    } else {
        m_waitingSaid = true;
        err(text("oqtool.watch.csv.waiting").arg(oq::device::ftStatusMessage(FT_DEVICE_NOT_FOUND)) + QLatin1Char('\n'));
    }
}

bool WatchRun::done() const
{
    if (m_stopped || outFailed())
        return true;
    const bool unfinished = std::any_of(m_watches.begin(), m_watches.end(), [this](const auto& w) {
        return w->active() && (w->identity().isEmpty() || !reachedCount(w->identity()));
    });
    if (unfinished)
        return false;
    if (csv()) {
        // A counter short of its count that is away is waited for.
        return m_options.count > 0 && !m_readings.empty()
            && std::all_of(m_seen.begin(), m_seen.end(), [this](const QString& who) { return reachedCount(who); });
    }
    return !m_awaitingBus;
}

int WatchRun::run()
{
    const std::vector<CounterPlace> given = m_session.givenPlaces();
    for (const CounterPlace& place : given)
        add(place, false);
    if (given.empty())
        watchBus();
    const bool whole = m_session.runUntil([this] {
        for (const auto& w : m_watches)
            w->step();
        return done();
    });
    // Ctrl-C before a counter could be read, as it always was with one.
    if (!whole && !csv() && m_readings.empty() && std::any_of(m_watches.begin(), m_watches.end(), [](const auto& w) { return w->opening(); })) {
        err(QStringLiteral("oqtool watch: ") + text("oqtool.interrupted") + QLatin1Char('\n'));
        ++m_failures;
    }
    return finish();
}

int WatchRun::finish()
{
    if (m_monitor)
        m_monitor->setDelegate(nullptr);
    for (const auto& w : m_watches)
        w->finish();
    // Stop the counters' streams before leaving, also after Ctrl-C.
    std::vector<std::shared_ptr<OQUSBDevice>> streaming;
    for (const auto& w : m_watches) {
        if (auto device = w->streamingDevice())
            streaming.push_back(std::move(device));
    }
    size_t stopped = 0;
    for (const auto& device : streaming)
        device->stopOnlineMode([&stopped] { ++stopped; });
    m_session.runUntilDone([&] {
        return stopped == streaming.size()
            || std::all_of(streaming.begin(), streaming.end(), [](const auto& d) { return d->failed(); });
    });
    std::vector<std::shared_ptr<OQUSBDevice>> devices;
    for (const auto& w : m_watches) {
        if (w->device())
            devices.push_back(w->device());
    }
    m_session.waitForWork(devices);
    // An alert under way at the end is given time to finish its work. An alarm whose command could
    // not be run reached nobody: that fails the run.
    int unrun = 0;
    for (const auto& [who, alerts] : m_alerts) {
        alerts->finish(kAlertFinishWait);
        unrun += alerts->unrun();
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

int runCsvWatch(DeviceSession& session, const CsvOptions& options, int mode, long long count, const ReadingHook& also)
{
    WatchOptions watch;
    watch.mode = mode;
    watch.count = count;
    watch.csv = options;
    watch.also = also;
    return runWatch(session, watch);
}

} // namespace oqtool
