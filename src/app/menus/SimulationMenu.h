#pragma once
// The "Simulation" menu of `oq-online --simulate`: plugs simulated counters in and out and picks
// their radiation profile. Each counter has a serial of its own.
#include <QObject>

#include <memory>
#include <vector>

class MainWindow;
class OQAppDelegate;
class QAction;

namespace oq::sim {
class SimCounter;
}

class SimulationMenu : public QObject {
    Q_OBJECT
public:
    // `count` counters to begin with; `controller` says which one the window shows.
    explicit SimulationMenu(MainWindow* window, const OQAppDelegate* controller = nullptr, int count = 1);
    ~SimulationMenu() override;

    // Plugs the counters in shortly after start, so the user sees them arrive.
    void plugSoon();
    // Plugs in those of ours that are out.
    void plug();
    // Makes one more counter, with the next serial, and plugs it in.
    void plugAnother();
    // Pulls out the counter shown, else the one plugged in last.
    void unplug();
    void unplugAll();
    bool isPlugged() const;
    const std::shared_ptr<oq::sim::SimCounter>& counter() const { return m_counters.front().counter; }
    std::size_t counterCount() const { return m_counters.size(); }

private:
    struct Plugged {
        std::shared_ptr<oq::sim::SimCounter> counter;
        quint64 entryId = 0;
    };
    void addCounter();
    void updateActions();
    void chooseProfile(int kind, double value);

    const OQAppDelegate* m_controller;
    std::vector<Plugged> m_counters;
    // The profile chosen last, for counters made later.
    int m_profileKind;
    double m_profileValue;
    QAction* m_plug = nullptr;
    QAction* m_plugAnother = nullptr;
    QAction* m_unplug = nullptr;
};
