#include "counters/CounterSet.h"

#include <QPointer>

#include <algorithm>

#include "device/OQUSBDevice.h"
#include "device/ft/FtBackend.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "recording/Recording.h"
#include "sim/SimRegistry.h"

namespace oq::counters {

Place placeOf(const USBDeviceInternal& reported)
{
    Place place;
    place.entryID = reported.entryID;
    place.location = reported.locationID ? std::optional<uint32_t>(reported.locationID) : std::nullopt;
    place.port = ft::portName(reported.locationID);
    return place;
}

CounterSet::CounterSet(Options options, QObject* parent)
    : QObject(parent)
    , m_options(options)
{
}

CounterSet::~CounterSet()
{
    if (m_monitor)
        m_monitor->setDelegate(nullptr);
    while (!m_counters.empty())
        remove(m_counters.back().get());
}

std::shared_ptr<OQDevice> CounterSet::makeDevice(const Place& place) const
{
    if (m_factory)
        return m_factory(place);
    // Bound to its own bridge: unbound, it would take the first one and close the others' handles.
    return ::makeDevice<OQUSBDevice>(place.location ? std::optional<DWORD>(*place.location) : std::nullopt);
}

void CounterSet::setRecording(recording::Recording* recording)
{
    if (recording == m_recording)
        return;
    for (const auto& c : m_counters)
        c->m_recorder.reset();
    m_recording = recording;
    recordingChanged();
}

void CounterSet::recordingChanged()
{
    for (const auto& c : m_counters)
        c->recordingChanged();
}

Counter* CounterSet::counterOf(const OQDevice* device) const
{
    for (const auto& c : m_counters) {
        if (device && c->device().get() == device)
            return c.get();
    }
    return nullptr;
}

Counter* CounterSet::counterAt(quint64 entryID) const
{
    for (const auto& c : m_counters) {
        if (c->place().entryID == entryID)
            return c.get();
    }
    return nullptr;
}

std::vector<Counter*> CounterSet::withKey(const QString& key) const
{
    std::vector<Counter*> found;
    for (const auto& c : m_counters) {
        if (!key.isEmpty() && c->key() == key)
            found.push_back(c.get());
    }
    return found;
}

void CounterSet::wire(Counter* counter)
{
    connect(counter, &Counter::identifiedChanged, this, [this, counter] {
        // Two counters that say they are the same one are told apart by their ports, and it is
        // said once: their readings would otherwise run together as one counter's.
        const QString serial = counter->serial();
        std::vector<Counter*> twins;
        for (const auto& c : m_counters) {
            if (!serial.isEmpty() && c->identified() && c->serial() == serial && !c->departed())
                twins.push_back(c.get());
        }
        if (twins.size() > 1) {
            for (Counter* twin : twins)
                twin->m_twin = true;
            LGLogWarn("Counters at %@ and %@ both report the serial %@", twins.front()->place().port, counter->place().port, serial);
            emit sharedSerial(serial, twins);
        }
        emit countersChanged();
    });
}

Counter* CounterSet::add(const Place& place, std::shared_ptr<OQDevice> device)
{
    Counter* counter = place.entryID ? counterAt(place.entryID) : nullptr;
    if (!counter) {
        m_counters.push_back(std::make_unique<Counter>(*this, place));
        counter = m_counters.back().get();
        wire(counter);
        emit counterAdded(counter);
    } else {
        counter->m_place = place;
    }
    counter->attach(device ? std::move(device) : makeDevice(place));
    emit countersChanged();
    return counter;
}

bool CounterSet::depart(quint64 entryID)
{
    Counter* counter = counterAt(entryID);
    if (!counter)
        return false;
    if (m_options.keepDeparted)
        counter->depart();
    else
        remove(counter);
    emit countersChanged();
    return true;
}

void CounterSet::remove(Counter* counter)
{
    const auto it = std::find_if(m_counters.begin(), m_counters.end(), [counter](const auto& c) { return c.get() == counter; });
    if (it == m_counters.end())
        return;
    emit counterRemoving(counter);
    std::unique_ptr<Counter> gone = std::move(*it);
    m_counters.erase(it);
    gone.reset();
    emit countersChanged();
}

bool CounterSet::watchBus(bool simulated)
{
    m_monitor = simulated ? USBMonitor::init(std::make_unique<SimRegistry>()) : USBMonitor::init();
    if (!m_monitor)
        return false;
    m_monitor->setDelegate(this);
    return true;
}

void CounterSet::monitorFoundNewDevice(USBMonitor* monitor)
{
    const USBDeviceInternal* reported = monitor ? monitor->reportedDevice() : nullptr;
    if (!reported)
        return;
    const Place place = placeOf(*reported);
    // A bridge back at the place of a counter kept after it left: the same counter object, opened again.
    if (m_options.keepDeparted) {
        for (const auto& c : m_counters) {
            if (c->m_departed && c->place().location == place.location) {
                c->m_place = place;
                c->attach(makeDevice(place));
                emit countersChanged();
                return;
            }
        }
    }
    add(place);
}

void CounterSet::monitorRemovedDevice(USBMonitor* monitor)
{
    const USBDeviceInternal* reported = monitor ? monitor->reportedDevice() : nullptr;
    if (reported)
        depart(reported->entryID);
}

void CounterSet::setMode(int mode)
{
    m_options.mode = mode;
    for (const auto& c : m_counters)
        c->switchMode();
}

void CounterSet::holdAll() { ++m_holds; }

void CounterSet::releaseAll()
{
    if (m_holds == 0)
        return;
    if (--m_holds == 0) {
        for (const auto& c : m_counters)
            c->observe();
    }
}

void CounterSet::stopAll(std::function<void()> done, double limit)
{
    struct Wait {
        std::size_t left = 0;
        bool told = false;
        std::function<void()> done;
        void tell()
        {
            if (told)
                return;
            told = true;
            if (done)
                done();
        }
    };
    auto wait = std::make_shared<Wait>();
    wait->done = std::move(done);
    std::vector<Counter*> streaming;
    for (const auto& c : m_counters) {
        if (c->needsStop())
            streaming.push_back(c.get());
    }
    wait->left = streaming.size();
    if (streaming.empty()) {
        wait->tell();
        return;
    }
    for (Counter* c : streaming) {
        c->stop([wait] {
            if (--wait->left == 0)
                wait->tell();
        });
    }
    dispatchMainAfter(limit, [wait] { wait->tell(); });
}

bool CounterSet::hasWorkInFlight() const
{
    return std::any_of(m_counters.begin(), m_counters.end(), [](const auto& c) { return c->device() && c->device()->hasWorkInFlight(); });
}

} // namespace oq::counters
