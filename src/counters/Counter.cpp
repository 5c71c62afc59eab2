#include "counters/Counter.h"

#include "counters/CounterSet.h"
#include "device/OQDevice.h"
#include "device/OQUSBDevice.h"
#include "logging/Log.h"
#include "mqtt/Broker.h"
#include "parser/OQDeviceInfo.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "recording/Recording.h"

namespace oq::counters {

const char* stateName(State state)
{
    switch (state) {
    case State::Away:
        return "away";
    case State::Opening:
        return "opening";
    case State::Starting:
        return "starting";
    case State::Reading:
        return "reading";
    case State::Silent:
        return "silent";
    case State::Ended:
        break;
    }
    return "ended";
}

Counter::Counter(CounterSet& set, Place place)
    : QObject(nullptr)
    , m_set(set)
    , m_place(std::move(place))
{
    m_silence.setSingleShot(true);
    m_silence.setTimerType(Qt::PreciseTimer);
    connect(&m_silence, &QTimer::timeout, this, [this] {
        LGLogWarn("counter %@: no reading for %.0f s", key().isEmpty() ? m_place.port : key(), kSilenceSeconds);
        m_rule.interrupt();
        updateState();
    });
    m_retry.setSingleShot(true);
    m_retry.setTimerType(Qt::PreciseTimer);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (!m_departed)
            attach(m_set.makeDevice(m_place));
    });
}

Counter::~Counter()
{
    detach();
}

QString Counter::key() const
{
    if (!m_identified)
        return {};
    return m_twin ? serial() + QLatin1Char('@') + m_place.port : counterKey(serial(), m_place.port);
}

QString Counter::serial() const
{
    const auto info = m_device ? m_device->info() : nullptr;
    return info ? info->serialNumber() : QString();
}

QString Counter::firmware() const
{
    const auto info = m_device ? m_device->info() : nullptr;
    return info ? info->firmwareVersion() : QString();
}

std::optional<Reading> Counter::reading() const
{
    return m_device ? m_device->reading() : std::nullopt;
}

bool Counter::needsStop() const
{
    return m_device && !m_device->failed() && (m_device->onlineMode() || m_device->hasWorkInFlight());
}

void Counter::detach()
{
    for (const auto& c : m_deviceConnections)
        disconnect(c);
    m_deviceConnections.clear();
    m_device.reset();
    m_silence.stop();
    m_rule.interrupt();
    m_asked = false;
    m_stopping = false;
    ++m_generation;
}

void Counter::attach(std::shared_ptr<OQDevice> device)
{
    detach();
    m_retry.stop();
    m_departed = false;
    m_failure.clear();
    m_identified = false;
    m_readings = 0;
    m_device = std::move(device);
    if (!m_device) {
        setState(State::Ended);
        return;
    }
    if (m_device->port().isEmpty())
        m_device->setPort(m_place.port);
    auto* d = m_device.get();
    m_deviceConnections << connect(d, &OQDevice::connectedChanged, this, &Counter::observe);
    m_deviceConnections << connect(d, &OQDevice::busyChanged, this, &Counter::observe);
    m_deviceConnections << connect(d, &OQDevice::failedChanged, this, &Counter::observe);
    m_deviceConnections << connect(d, &OQDevice::infoChanged, this, &Counter::identify);
    m_deviceConnections << connect(d, &OQDevice::readingArrived, this, &Counter::onReading);
    m_deviceConnections << connect(d, &OQDevice::onlineValueChanged, this, [this] {
        // The value went (a stop, a stream that dried up): the next readings start a new run.
        if (m_device && !m_device->onlineValue())
            m_rule.interrupt();
        updateState();
        emit m_set.valueChanged(this);
    });
    if (m_device->info())
        identify();
    observe();
}

void Counter::depart()
{
    m_departed = true;
    m_retry.stop();
    // Kept by the set: its device fails on its own in a moment, with the cause the user is told.
    if (m_set.options().keepDeparted && m_device && !m_device->failed()) {
        QPointer<Counter> self(this);
        dispatchMainAfter(kDepartWait, [self, device = std::weak_ptr<OQDevice>(m_device)] {
            if (self && self->m_departed && self->m_device && self->m_device == device.lock() && !self->m_device->failed())
                self->end();
        });
        return;
    }
    end();
}

void Counter::end()
{
    detach();
    m_recorder.reset();
    setState(State::Ended);
}

void Counter::identify()
{
    const auto info = m_device ? m_device->info() : nullptr;
    if (!info || m_identified)
        return;
    m_identified = true;
    const QString now = key();
    const bool same = m_lastKey.isEmpty() || m_lastKey == now;
    if (info->serialNumber().isEmpty())
        LGLogWarn("A counter without a serial number: told apart by its port %@", m_place.port);
    else
        LGLogInfo("Counter %@ at bus location %08x (%@)", info->serialNumber(), unsigned(m_place.location.value_or(0)), m_place.port);
    if (!same)
        LGLogInfo("counter %@ at %@ is not the one read there before (%@)", now, m_place.port, m_lastKey);
    m_lastKey = now;
    makeRecorder();
    emit identifiedChanged(same);
    updateState();
}

void Counter::makeRecorder()
{
    auto* recording = m_set.recording();
    if (!recording || !m_identified) {
        m_recorder.reset();
        return;
    }
    const mqtt::Station station{serial(), firmware()};
    if (m_recorder && m_recorder->station().serial == (station.serial.isNull() ? QStringLiteral("") : station.serial)
        && m_recorder->station().firmware == station.firmware)
        return;
    // Another counter or firmware here: a new publisher, with what the old one still held.
    auto waiting = m_recorder ? m_recorder->stop() : nullptr;
    m_recorder.reset();
    const quint64 generation = ++m_statusGeneration;
    QPointer<Counter> self(this);
    m_recorder = recording->recorder(station, [self, generation](const mqtt::Status& s, const mqtt::Broker& broker) {
        QMetaObject::invokeMethod(self.data(), [self, generation, text = s.text(broker)] {
            if (self && self->m_statusGeneration == generation)
                self->setMqttStatus(text);
        }, Qt::QueuedConnection);
    }, std::move(waiting));
    // Where it starts, without a word: its publisher tells each change from here.
    const auto broker = mqtt::parseBroker(recording->options().mqtt.url);
    m_mqttStatus = broker && m_recorder->publisher() ? mqtt::Status{}.text(*broker) : QString();
}

void Counter::recordingChanged()
{
    // The recording started this counter's publisher again itself; its status starts afresh.
    if (m_recorder && m_set.recording() && m_recorder->publisher()) {
        const auto broker = mqtt::parseBroker(m_set.recording()->options().mqtt.url);
        setMqttStatus(broker ? mqtt::Status{}.text(*broker) : QString());
        return;
    }
    m_recorder.reset();
    makeRecorder();
    if (!m_recorder)
        setMqttStatus({});
}

void Counter::setMqttStatus(const QString& text)
{
    if (text == m_mqttStatus)
        return;
    m_mqttStatus = text;
    emit mqttStatusChanged(text);
}

void Counter::onReading(const Reading& r)
{
    // Lines read before a stop was asked for may still come in after it: they are not wanted.
    if (m_stopped || m_stopping)
        return;
    ++m_readings;
    // Silent again only if no reading comes for that long from now.
    m_silence.start(clock::scaledMs(kSilenceSeconds));
    if (m_recorder)
        m_recorder->record(r);
    updateState();
    emit readingArrived(r);
    emit m_set.readingArrived(this, r);
    if (const auto event = m_rule.observe(r.level)) {
        emit levelChanged(r, *event);
        emit m_set.levelChanged(this, r, *event);
    }
}

bool Counter::ready() const
{
    return m_device && m_device->connected() && !m_device->busy() && !held() && !m_set.allHeld() && !m_departed;
}

void Counter::observe()
{
    if (m_device && m_device->failed()) {
        fail();
        return;
    }
    updateState();
    if (!ready() || m_stopped)
        return;
    // A switch's stop is under way: its completion starts the mode chosen last.
    if (m_stopping)
        return;
    scheduleStart();
}

void Counter::scheduleStart()
{
    const quint64 generation = ++m_generation;
    QPointer<Counter> self(this);
    dispatchMainAfter(m_set.options().startDelay, [self, generation] {
        if (self)
            self->start(generation);
    });
}

void Counter::start(quint64 generation)
{
    // Void when a press or another readiness came since, while a stop of ours runs, and while the
    // counter is busy or held (it is started again when it is ready).
    if (generation != m_generation || m_stopping || m_stopped || !ready())
        return;
    ++m_generation;
    const int mode = m_set.mode();
    if (mode != 1 && mode != 2)
        return;
    m_asked = true;
    // Silence counts from the moment the stream is asked for: a stream whose first line never
    // comes is as silent as one that stopped.
    m_silence.start(clock::scaledMs(kSilenceSeconds));
    if (mode == 1)
        m_device->startRateMode();
    else
        m_device->startDoseMode();
    updateState();
}

void Counter::switchMode()
{
    m_stopped = false;
    if (!ready())
        return;
    ++m_generation; // a start scheduled for an earlier choice is void
    if (m_stopping)
        return; // the stop under way starts the mode chosen last
    m_stopping = true;
    m_silence.stop();
    m_rule.interrupt();
    QPointer<Counter> self(this);
    const std::weak_ptr<OQDevice> device = m_device;
    m_device->stopOnlineMode([self, device] {
        if (!self || !self->m_stopping || self->m_device != device.lock())
            return;
        self->m_stopping = false;
        self->m_asked = false;
        self->start(self->m_generation);
        self->updateState();
    });
    updateState();
}

void Counter::stop(std::function<void()> done)
{
    m_stopped = true;
    ++m_generation;
    m_silence.stop();
    if (!needsStop()) {
        m_asked = false;
        updateState();
        if (done)
            done();
        return;
    }
    m_stopping = true;
    QPointer<Counter> self(this);
    m_device->stopOnlineMode([self, done = std::move(done)] {
        if (self) {
            self->m_stopping = false;
            self->m_asked = false;
            self->updateState();
        }
        if (done)
            done();
    });
}

void Counter::hold() { ++m_holds; }

void Counter::release()
{
    if (m_holds == 0)
        return;
    if (--m_holds == 0)
        observe();
}

void Counter::fail()
{
    m_silence.stop();
    m_rule.interrupt();
    m_asked = false;
    QString cause = m_device ? m_device->error() : QString();
    // A port that would not open says why; the driver's "device not found" does not.
    if (auto* usb = qobject_cast<OQUSBDevice*>(m_device.get()); usb && !m_device->info()) {
        const QString why = usb->openFailure().text;
        if (!why.isEmpty() && !cause.contains(why))
            cause = cause.isEmpty() ? why : cause + QLatin1Char('\n') + why;
    }
    m_failure = cause;
    if (m_departed)
        return end();
    switch (m_set.options().onFailure) {
    case OnFailure::Reopen:
        return retryLater();
    case OnFailure::End:
        m_stopped = true;
        return setState(State::Ended);
    case OnFailure::StartAgain:
        break;
    }
    setState(State::Ended);
    // As the window has always done: a failed device that reports itself idle is started again
    // 1 s later (and fails again until its counter is pulled out).
    if (ready() && !m_stopped && !m_stopping)
        scheduleStart();
}

void Counter::retryLater()
{
    detach();
    setState(State::Away);
    m_retry.start(clock::scaledMs(m_set.options().reopenAfter));
}

void Counter::updateState()
{
    if (!m_device) {
        setState(m_departed || m_state == State::Ended ? State::Ended : State::Away);
        return;
    }
    if (m_device->failed())
        return setState(State::Ended);
    if (!m_device->connected() || m_device->busy())
        return setState(m_device->onlineValue() ? State::Reading : State::Opening);
    if (m_asked && !m_stopping && !m_silence.isActive())
        return setState(State::Silent);
    if (m_device->onlineValue())
        return setState(State::Reading);
    setState(State::Starting);
}

void Counter::setState(State state)
{
    if (state == m_state)
        return;
    LGLogInfo("counter %@: %s", key().isEmpty() ? m_place.port : key(), stateName(state));
    m_state = state;
    emit stateChanged(state);
    emit m_set.countersChanged();
}

} // namespace oq::counters
