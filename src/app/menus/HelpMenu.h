#pragma once
// The Help menu: About (version, build, Qt, licence and the folders where settings, logs and crash
// reports live), Open Log Folder, and the keyboard shortcuts.
#include <QObject>

class AppDelegate;
class QAction;
class QMenu;
class QWidget;

class HelpMenu : public QObject {
    Q_OBJECT
public:
    HelpMenu(AppDelegate* controller, QWidget* window, QMenu* menu);

    QAction* aboutAction() const { return m_about; }
    QAction* openLogFolderAction() const { return m_openLogs; }
    QAction* shortcutsAction() const { return m_shortcuts; }

    // The About box's text (rich text), also what the tests read.
    QString aboutText() const;
    // Every key of the window's buttons and menus with what it does (rich text).
    QString shortcutsText() const;
    // The folder of the running application log.
    QString logFolder() const;

private:
    void showAbout();
    void showShortcuts();
    void openLogFolder();

    AppDelegate* m_controller;
    QWidget* m_window;
    QAction* m_about = nullptr;
    QAction* m_openLogs = nullptr;
    QAction* m_shortcuts = nullptr;
};
