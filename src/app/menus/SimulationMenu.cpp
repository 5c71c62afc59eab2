#include "app/menus/SimulationMenu.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QPointer>

#include "app/windows/MainWindow.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"

using oq::localized;
using namespace oq::sim;

namespace {
CounterConfig demoConfig()
{
    CounterConfig c;
    c.version = QStringLiteral("7.14Lb07");
    c.serial = QStringLiteral("10423");
    // Passes through the warning and danger levels within a minute or two.
    c.profile.kind = ProfileSpec::Walk;
    c.profile.value = 0.15;
    c.profile.seed = 7;
    return c;
}
} // namespace

SimulationMenu::SimulationMenu(MainWindow* window)
    : QObject(window)
    , m_counter(std::make_shared<SimCounter>(demoConfig()))
{
    auto* menu = window->addMenuAfterView(localized(QStringLiteral("ui.menu.simulation")));
    menu->setObjectName(QStringLiteral("simulationMenu"));
    m_plug = menu->addAction(localized(QStringLiteral("ui.menu.sim.plug")), this, &SimulationMenu::plug);
    m_unplug = menu->addAction(localized(QStringLiteral("ui.menu.sim.unplug")), this, &SimulationMenu::unplug);
    menu->addSeparator();
    auto* profiles = menu->addMenu(localized(QStringLiteral("ui.menu.sim.profile")));
    auto* group = new QActionGroup(profiles);
    struct Choice {
        const char* key;
        int kind;
        double value;
    };
    for (const Choice& c : {Choice{"ui.menu.sim.profile.walk", ProfileSpec::Walk, 0.15},
             Choice{"ui.menu.sim.profile.constant", ProfileSpec::Constant, 0.12},
             Choice{"ui.menu.sim.profile.warning", ProfileSpec::Constant, 4.5},
             Choice{"ui.menu.sim.profile.danger", ProfileSpec::Constant, 25.0}}) {
        auto* a = profiles->addAction(localized(QString::fromLatin1(c.key)));
        a->setCheckable(true);
        a->setChecked(c.kind == ProfileSpec::Walk);
        group->addAction(a);
        connect(a, &QAction::triggered, this, [this, c] { chooseProfile(c.kind, c.value); });
    }
    connect(&SimBus::instance(), &SimBus::deviceRemoved, this, [this](const SimBusEntry& e) {
        if (e.entryId == m_entryId) {
            m_entryId = 0;
            updateActions();
        }
    });
    updateActions();
}

SimulationMenu::~SimulationMenu() = default;

void SimulationMenu::plugSoon()
{
    oq::dispatchMainAfter(0.5, [self = QPointer<SimulationMenu>(this)] {
        if (self && !self->isPlugged())
            self->plug();
    });
}

void SimulationMenu::plug()
{
    if (m_entryId)
        return;
    m_entryId = SimBus::instance().plug(m_counter);
    updateActions();
}

void SimulationMenu::unplug()
{
    if (!m_entryId)
        return;
    const quint64 id = std::exchange(m_entryId, 0);
    SimBus::instance().unplug(id);
    updateActions();
}

void SimulationMenu::unplugAll()
{
    m_entryId = 0;
    SimBus::instance().unplugAll();
}

void SimulationMenu::updateActions()
{
    m_plug->setEnabled(!m_entryId);
    m_unplug->setEnabled(m_entryId != 0);
}

void SimulationMenu::chooseProfile(int kind, double value)
{
    m_counter->updateConfig([kind, value](CounterConfig& c) {
        c.profile.kind = ProfileSpec::Kind(kind);
        c.profile.value = value;
    });
}
