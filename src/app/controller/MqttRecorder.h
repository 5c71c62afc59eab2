#pragma once
// Publishes what the application shows to the MQTT broker set in Preferences: every reading
// taken, through a publisher of the counter it came from (a new counter, or a change of the MQTT
// settings or the display unit, starts a new one). While the history records, readings the broker
// missed are read back from there.
#include <QObject>
#include <QString>

#include <memory>

#include "history/HistoryTypes.h"

class HistoryRecorder;

namespace oq::mqtt {
class Publisher;
}

class MqttRecorder : public QObject {
    Q_OBJECT
public:
    explicit MqttRecorder(HistoryRecorder* history, QObject* parent = nullptr);
    // Says `offline` for the counter.
    ~MqttRecorder() override;

    // For people: off, waiting for a counter, connected, retrying or refused with the cause.
    QString status() const { return m_status; }

signals:
    void statusChanged(const QString& status);

private:
    void readingTaken(const oq::history::Reading& reading, const QString& firmware);
    void settingChanged(const QString& key);
    void restart();
    void setStatus(const QString& status);

    HistoryRecorder* m_history;
    std::unique_ptr<oq::mqtt::Publisher> m_publisher;
    QString m_serial;
    QString m_firmware;
    QString m_status;
    quint64 m_generation = 0;
};
