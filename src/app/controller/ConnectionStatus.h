#pragma once
// Where the reading stands, in words for the main window: no counter, connecting, failed (with the
// cause), starting, silent (the stream runs but brings no readings: the last one is not current),
// or reading (no words: the figure speaks). Follows the controller's device.
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>

class OQAppDelegate;

class ConnectionStatus : public QObject {
    Q_OBJECT
public:
    enum class State { NoCounter, Connecting, Failed, Starting, Silent, Reading };
    Q_ENUM(State)

    explicit ConnectionStatus(OQAppDelegate* controller, QObject* parent = nullptr);

    State state() const { return m_state; }
    // Localised; empty while reading.
    QString text() const { return m_text; }

signals:
    void changed();

private:
    void observeDevice();
    void update();

    OQAppDelegate* m_controller;
    QList<QMetaObject::Connection> m_observation;
    State m_state = State::NoCounter;
    bool m_told = false;
    QString m_text;
};
