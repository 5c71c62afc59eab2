#include "app/menus/CounterMenu.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include "app/controller/OQAppDelegate.h"
#include "parser/OQDeviceInfo.h"
#include "platform/StringTable.h"

using oq::localized;

CounterMenu::CounterMenu(OQAppDelegate* controller, QMenu* menu)
    : QObject(menu)
    , m_controller(controller)
    , m_menu(menu)
    , m_group(new QActionGroup(this))
{
    m_group->setExclusive(true);
    connect(controller, &OQAppDelegate::countersChanged, this, &CounterMenu::rebuild);
    connect(controller, &OQAppDelegate::deviceChanged, this, &CounterMenu::refresh);
    connect(controller, &OQAppDelegate::displayValueTransformerChanged, this, &CounterMenu::refresh);
    rebuild();
}

QString CounterMenu::describe(const OQAppDelegate& controller, const OQDevice* device)
{
    const auto info = device->info();
    const QString firmware = info ? info->firmwareVersion() : QString();
    const QString value = controller.onlineValueString(device);
    return localized(QStringLiteral("ui.menu.device.counter"))
        .arg(controller.counterName(device), firmware.isEmpty() ? QStringLiteral("…") : firmware,
            value.isEmpty() ? localized(QStringLiteral("ui.a11y.no_reading")) : value);
}

void CounterMenu::rebuild()
{
    for (const auto& c : m_valueWatches)
        disconnect(c);
    m_valueWatches.clear();
    qDeleteAll(m_actions);
    m_actions.clear();
    delete m_separator;
    m_separator = nullptr;
    if (!m_controller)
        return;
    const auto devices = m_controller->devices();
    if (devices.empty())
        return;
    m_separator = m_menu->addSeparator();
    for (const auto& device : devices) {
        auto* action = new QAction(m_menu);
        action->setCheckable(true);
        m_group->addAction(action);
        m_menu->addAction(action);
        m_actions << action;
        const std::weak_ptr<OQDevice> weak = device;
        connect(action, &QAction::triggered, this, [this, weak] {
            if (const auto d = weak.lock(); d && m_controller)
                m_controller->chooseDevice(d);
        });
        m_valueWatches << connect(device.get(), &OQDevice::onlineValueChanged, this, &CounterMenu::refresh);
    }
    refresh();
}

void CounterMenu::refresh()
{
    if (!m_controller)
        return;
    const auto devices = m_controller->devices();
    if (qsizetype(devices.size()) != m_actions.size())
        return; // a rebuild is on its way
    for (size_t i = 0; i < devices.size(); ++i) {
        QAction* action = m_actions[qsizetype(i)];
        action->setText(describe(*m_controller, devices[i].get()));
        action->setChecked(devices[i] == m_controller->device());
    }
}
