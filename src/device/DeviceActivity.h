#pragma once
// Keeps the computer from idle sleep while a transfer or clock setting runs: an "idle" inhibitor
// of systemd-logind, taken over the system bus. Where logind is unreachable (containers, no
// system bus) the activity does nothing.
#include <QString>

#include <memory>

namespace oq::device {

class Activity {
public:
    // Begins an activity for `reason`; never fails.
    static std::shared_ptr<Activity> begin(const QString& reason);
    ~Activity();
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

    // Releases the inhibitor; further calls do nothing.
    void end();
    bool isInhibiting() const { return m_fd >= 0; }
    const QString& reason() const { return m_reason; }

private:
    explicit Activity(QString reason);
    QString m_reason;
    int m_fd = -1;
};

} // namespace oq::device
