#pragma once
// The application's icon in the desktop's tray, where the desktop has one: a dot in the colour of
// the current level (grey without a reading), the reading as its tooltip (a line per counter when
// there are several), and a menu that shows the window, switches the mode and quits. The menu is
// built with or without a tray. A tray that comes up a little later (the panel at login) still
// gets the icon.
#include <QIcon>
#include <QObject>
#include <QPointer>

#include <memory>

class AppDelegate;
class MainWindow;
class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(AppDelegate* controller, MainWindow* window, QObject* parent = nullptr);
    ~TrayIcon() override;

    QMenu* menu() const { return m_menu.get(); }
    QAction* showWindowAction() const { return m_showWindow; }
    QAction* rateAction() const { return m_rate; }
    QAction* doseAction() const { return m_dose; }
    QAction* quitAction() const { return m_quit; }
    // Null where the desktop has no tray (yet).
    QSystemTrayIcon* systemTrayIcon() const { return m_tray; }

    QColor iconColor() const { return m_color; }
    QIcon icon() const { return m_icon; }
    QString toolTip() const { return m_toolTip; }

public slots:
    void showWindow();

private:
    bool install();
    void update();
    void showMode();

    AppDelegate* m_controller;
    QPointer<MainWindow> m_window;
    std::unique_ptr<QMenu> m_menu;
    QAction* m_showWindow = nullptr;
    QAction* m_rate = nullptr;
    QAction* m_dose = nullptr;
    QAction* m_quit = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QTimer* m_lookAgain = nullptr;
    int m_looksLeft = 0;
    QColor m_color;
    QIcon m_icon;
    QString m_toolTip;
};
