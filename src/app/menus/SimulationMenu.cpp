#include "app/menus/SimulationMenu.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QPointer>

#include <algorithm>
#include <utility>

#include "app/controller/OQAppDelegate.h"
#include "app/windows/MainWindow.h"
#include "parser/OQDeviceInfo.h"
#include "platform/Dispatch.h"
#include "platform/StringTable.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"

using oq::localized;
using namespace oq::sim;

namespace {
// The n-th counter (from 0): serials 10423, 10424, ..., each walking its own way.
CounterConfig demoConfig(int n, int profileKind, double profileValue)
{
    CounterConfig c;
    c.version = QStringLiteral("7.14Lb07");
    c.serial = QString::number(10423 + n);
    // Passes through the warning and danger levels within a minute or two.
    c.profile.kind = ProfileSpec::Kind(profileKind);
    c.profile.value = profileValue;
    c.profile.seed = uint32_t(7 + n);
    return c;
}
} // namespace

SimulationMenu::SimulationMenu(MainWindow* window, const OQAppDelegate* controller, int count)
    : QObject(window)
    , m_controller(controller)
    , m_profileKind(ProfileSpec::Walk)
    , m_profileValue(0.15)
{
    for (int i = 0; i < std::max(count, 1); ++i)
        addCounter();
    auto* menu = window->addMenuAfterView(localized(QStringLiteral("ui.menu.simulation")));
    menu->setObjectName(QStringLiteral("simulationMenu"));
    m_plug = menu->addAction(localized(QStringLiteral("ui.menu.sim.plug")), this, &SimulationMenu::plug);
    m_plugAnother = menu->addAction(localized(QStringLiteral("ui.menu.sim.plug_another")), this, &SimulationMenu::plugAnother);
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
        for (auto& p : m_counters) {
            if (p.entryId == e.entryId)
                p.entryId = 0;
        }
        updateActions();
    });
    updateActions();
}

SimulationMenu::~SimulationMenu() = default;

void SimulationMenu::addCounter()
{
    m_counters.push_back({std::make_shared<SimCounter>(demoConfig(int(m_counters.size()), m_profileKind, m_profileValue)), 0});
}

bool SimulationMenu::isPlugged() const
{
    return std::any_of(m_counters.begin(), m_counters.end(), [](const Plugged& p) { return p.entryId != 0; });
}

void SimulationMenu::plugSoon()
{
    oq::dispatchMainAfter(0.5, [self = QPointer<SimulationMenu>(this)] {
        if (self)
            self->plug();
    });
}

void SimulationMenu::plug()
{
    for (auto& p : m_counters) {
        if (!p.entryId)
            p.entryId = SimBus::instance().plug(p.counter);
    }
    updateActions();
}

void SimulationMenu::plugAnother()
{
    addCounter();
    plug();
}

void SimulationMenu::unplug()
{
    const auto shown = m_controller && m_controller->device() && m_controller->device()->info()
        ? m_controller->device()->info()->serialNumber()
        : QString();
    Plugged* out = nullptr;
    for (auto& p : m_counters) {
        if (!p.entryId)
            continue;
        if (!shown.isEmpty() && p.counter->serialNumber() == shown) {
            out = &p;
            break;
        }
        if (!out || p.entryId > out->entryId)
            out = &p;
    }
    if (!out)
        return;
    SimBus::instance().unplug(std::exchange(out->entryId, 0));
    updateActions();
}

void SimulationMenu::unplugAll()
{
    for (auto& p : m_counters)
        p.entryId = 0;
    SimBus::instance().unplugAll();
}

void SimulationMenu::updateActions()
{
    const bool anyOut = std::any_of(m_counters.begin(), m_counters.end(), [](const Plugged& p) { return p.entryId == 0; });
    m_plug->setEnabled(anyOut);
    m_unplug->setEnabled(isPlugged());
}

void SimulationMenu::chooseProfile(int kind, double value)
{
    m_profileKind = kind;
    m_profileValue = value;
    for (const auto& p : m_counters) {
        p.counter->updateConfig([kind, value](CounterConfig& c) {
            c.profile.kind = ProfileSpec::Kind(kind);
            c.profile.value = value;
        });
    }
}
