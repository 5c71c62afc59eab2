#pragma once
// Runs the quit sequence for every way of quitting: the menu, closing the main window, and the
// SIGTERM/SIGINT that logout, systemctl or Ctrl-C send.
#include <QObject>
#include <QPointer>

class AppDelegate;
class MainWindow;
class QCoreApplication;

// Qt's own texts (standard dialogs, key names) in the language the window speaks, when the
// system has Qt's translations; returns whether they were found. English needs none.
bool installQtTranslations(QCoreApplication& app);
class QSocketNotifier;

class ApplicationShell : public QObject {
    Q_OBJECT
public:
    ApplicationShell(AppDelegate* controller, MainWindow* window, QObject* parent = nullptr);

    // Routes SIGTERM and SIGINT into requestQuit() on the main thread.
    void installSignalHandlers();

public slots:
    void requestQuit();

signals:
    void terminated();

private:
    void finish();

    AppDelegate* m_controller;
    QPointer<MainWindow> m_window;
    QSocketNotifier* m_signalNotifier = nullptr;
    bool m_quitting = false;
    bool m_finished = false;
};
