#pragma once
// The configured online mode on one counter: started 1 s after the counter becomes ready
// (attached, idle, not held), and on a new choice stopped and started again in the mode chosen
// last. Each plugged counter has one; the controller owns them.
#include <QObject>

#include <functional>
#include <memory>

class OQDevice;

class OnlineStarter : public QObject {
    Q_OBJECT
public:
    // `heldByAll`: every counter is held (the quit sequence has begun, or a hold of the whole).
    OnlineStarter(std::shared_ptr<OQDevice> device, std::function<bool()> heldByAll, QObject* parent = nullptr);
    ~OnlineStarter() override;

    const std::shared_ptr<OQDevice>& device() const { return m_device; }
    bool ready() const;
    bool held() const { return m_holds > 0; }
    // Another exchange with this counter (protocol download, clock setting) holds its online mode.
    void hold();
    // The last release treats the counter as just become ready.
    void release();
    // The choice changed: a ready counter is stopped, then started in the mode chosen last; a
    // busy or held one gets the choice when it is ready.
    void switchMode();
    // Looks whether the counter is ready; if so its mode starts 1 s later.
    void observe();

signals:
    // The counter is ready with `mode` chosen; the start follows unless something comes between.
    void becameReady(long long mode);

private:
    void start(long long mode, quint64 generation);

    std::shared_ptr<OQDevice> m_device;
    std::function<bool()> m_heldByAll;
    // Starts scheduled before the last press or readiness are void.
    quint64 m_generation = 0;
    // A stop of ours runs; its completion starts the mode chosen last.
    bool m_stopping = false;
    int m_holds = 0;
};
