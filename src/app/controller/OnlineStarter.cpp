#include "app/controller/OnlineStarter.h"

#include <QPointer>

#include "device/OQDevice.h"
#include "platform/Dispatch.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

namespace {
long long chosenMode() { return oq::SettingsStore::shared().integerForKey(oq::settings::OnlineMode); }
} // namespace

OnlineStarter::OnlineStarter(std::shared_ptr<OQDevice> device, std::function<bool()> heldByAll, QObject* parent)
    : QObject(parent)
    , m_device(std::move(device))
    , m_heldByAll(std::move(heldByAll))
{
    connect(m_device.get(), &OQDevice::connectedChanged, this, &OnlineStarter::observe);
    connect(m_device.get(), &OQDevice::busyChanged, this, &OnlineStarter::observe);
}

OnlineStarter::~OnlineStarter() = default;

bool OnlineStarter::ready() const
{
    return m_device->connected() && !m_device->busy() && !held() && !(m_heldByAll && m_heldByAll());
}

void OnlineStarter::observe()
{
    if (!ready())
        return;
    const long long m = chosenMode();
    emit becameReady(m);
    // A switch's stop is under way: its completion starts the mode chosen last.
    if (m_stopping)
        return;
    const quint64 generation = ++m_generation;
    QPointer<OnlineStarter> self(this);
    oq::dispatchMainAfter(1.0, [self, m, generation] {
        if (self)
            self->start(m, generation);
    });
}

void OnlineStarter::start(long long mode, quint64 generation)
{
    // Void when a press or another readiness came since, while a stop of ours runs, and while the
    // counter is busy or held (it is started again when it is ready).
    if (generation != m_generation || m_stopping || !ready())
        return;
    ++m_generation;
    if (mode == 1)
        m_device->startRateMode();
    else if (mode == 2)
        m_device->startDoseMode();
}

void OnlineStarter::hold()
{
    ++m_holds;
}

void OnlineStarter::release()
{
    if (m_holds == 0)
        return;
    if (--m_holds == 0)
        observe();
}

void OnlineStarter::switchMode()
{
    if (!ready())
        return;
    ++m_generation; // a start scheduled for an earlier choice is void
    if (m_stopping)
        return; // the stop under way starts the mode chosen last
    m_stopping = true;
    QPointer<OnlineStarter> self(this);
    m_device->stopOnlineMode([self] {
        if (!self || !self->m_stopping)
            return;
        self->m_stopping = false;
        self->start(chosenMode(), self->m_generation);
    });
}
