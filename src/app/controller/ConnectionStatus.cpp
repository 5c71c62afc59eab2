#include "ConnectionStatus.h"

#include <QFileInfo>
#include <QMetaEnum>

#include "app/controller/OQAppDelegate.h"
#include "app/controller/OpeningProblem.h"
#include "counters/CounterSet.h"
#include "device/OQUSBDevice.h"
#include "logging/Log.h"
#include "platform/StringTable.h"

using oq::localized;

ConnectionStatus::ConnectionStatus(OQAppDelegate* controller, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
{
    connect(controller, &OQAppDelegate::deviceChanged, this, &ConnectionStatus::observeDevice);
    connect(controller, &OQAppDelegate::deviceOnlineValueChanged, this, &ConnectionStatus::update);
    // The shown counter's silence and state are its own.
    connect(&controller->counterSet(), &oq::counters::CounterSet::countersChanged, this, &ConnectionStatus::update);
    observeDevice();
}

void ConnectionStatus::observeDevice()
{
    for (const auto& c : m_observation)
        disconnect(c);
    m_observation.clear();
    if (const auto d = m_controller->device()) {
        for (auto signal : {&OQDevice::connectedChanged, &OQDevice::busyChanged, &OQDevice::failedChanged})
            m_observation << connect(d.get(), signal, this, &ConnectionStatus::update);
        m_observation << connect(d.get(), &OQDevice::errorChanged, this, &ConnectionStatus::update);
    }
    update();
}

void ConnectionStatus::update()
{
    const auto d = m_controller->device();
    State state = State::Reading;
    QString text;
    if (!d) {
        state = State::NoCounter;
        text = localized(QStringLiteral("ui.status.no_counter"));
    } else if (d->failed()) {
        state = State::Failed;
        // A port that would not open: what is wrong with it and what to do, rather than the
        // driver's "device not found".
        const auto* usb = qobject_cast<const OQUSBDevice*>(d.get());
        const QString problem = d->info() || !usb ? QString() : openingProblemText(usb->openFailure());
        const QString cause = problem.isEmpty() ? d->error() : problem;
        // A given port that is not there at all was mistyped or not made yet: replugging would not help.
        const QString port = m_controller->launchOptions().portPath;
        const bool noSuchPort = !port.isEmpty() && !QFileInfo::exists(port);
        text = noSuchPort ? localized(QStringLiteral("ui.status.no_port")).arg(port)
                          : localized(QStringLiteral("ui.status.failed"));
        if (!cause.isEmpty() && !noSuchPort)
            text += QLatin1Char('\n') + cause;
    } else if (const auto* counter = m_controller->shownCounter(); counter && counter->state() == oq::counters::State::Silent) {
        state = State::Silent;
        text = localized(QStringLiteral("ui.status.silent")).arg(oq::counters::Counter::kSilenceSeconds);
    } else if (d->onlineValue()) {
        state = State::Reading;
    } else if (!d->connected() || d->busy()) {
        state = State::Connecting;
        text = localized(QStringLiteral("ui.status.connecting"));
    } else {
        state = State::Starting;
        text = localized(QStringLiteral("ui.status.starting"));
    }
    if (state == m_state && text == m_text)
        return;
    // What the window said is the first question of every support request.
    if (state != m_state || !m_told)
        LGLogInfo("Window shows: %s", QMetaEnum::fromType<State>().valueToKey(int(state)));
    m_told = true;
    m_state = state;
    m_text = text;
    emit changed();
}
