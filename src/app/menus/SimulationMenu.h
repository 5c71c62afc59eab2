#pragma once
// The "Simulation" menu of `oq-online --simulate`: plugs the simulated counter in and out and picks
// its radiation profile.
#include <QObject>

#include <memory>

class MainWindow;
class QAction;

namespace oq::sim {
class SimCounter;
}

class SimulationMenu : public QObject {
    Q_OBJECT
public:
    explicit SimulationMenu(MainWindow* window);
    ~SimulationMenu() override;

    // Plugs the counter in shortly after start, so the user sees it arrive.
    void plugSoon();
    void plug();
    void unplug();
    void unplugAll();
    bool isPlugged() const { return m_entryId != 0; }
    const std::shared_ptr<oq::sim::SimCounter>& counter() const { return m_counter; }

private:
    void updateActions();
    void chooseProfile(int kind, double value);

    std::shared_ptr<oq::sim::SimCounter> m_counter;
    quint64 m_entryId = 0;
    QAction* m_plug = nullptr;
    QAction* m_unplug = nullptr;
};
