#pragma once
// The counters plugged in, listed in the Device menu (serial, firmware, current reading): the one
// checked is the one the window shows, and choosing another switches the window to it.
#include <QList>
#include <QObject>
#include <QPointer>

class OQAppDelegate;
class OQDevice;
class QAction;
class QActionGroup;
class QMenu;

class CounterMenu : public QObject {
    Q_OBJECT
public:
    // Adds its entries to the end of `menu`.
    CounterMenu(OQAppDelegate* controller, QMenu* menu);

    // One per counter, in arrival order; none without a counter.
    QList<QAction*> actions() const { return m_actions; }
    // What an entry says of `device`.
    static QString describe(const OQAppDelegate& controller, const OQDevice* device);

private:
    void rebuild();
    void refresh();

    QPointer<OQAppDelegate> m_controller;
    QMenu* m_menu;
    QActionGroup* m_group;
    QAction* m_separator = nullptr;
    QList<QAction*> m_actions;
    QList<QMetaObject::Connection> m_valueWatches;
};
