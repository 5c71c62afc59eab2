#pragma once
// The main window: the reading in large figures, the two mode buttons, and the menus.
#include <QMainWindow>
#include <QStringList>

#include <memory>
#include <optional>

#include "readings/Level.h"

class AppDelegate;
class ConnectionStatus;
class DeviceMenu;
class HelpMenu;
class HistoryStrip;
class HistoryWindow;
class QLabel;
class QPushButton;
class QAction;
class QMenu;
class QTimer;
class OQDevice;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Connects itself to `controller` the way the window description would.
    explicit MainWindow(AppDelegate* controller, QWidget* parent = nullptr);

    QLabel* valueLabel() const { return m_value; }
    QLabel* statusLabel() const { return m_status; }
    // The level in words under the figure; hidden without a figure.
    QLabel* levelLabel() const { return m_levelText; }
    // A notification for a screen reader alone: what the status, an unplug or a switch of counter
    // brought, in one phrase.
    QLabel* announcementLabel() const { return m_announcement; }
    // A screen reader reads a window that shows first; news of that moment waits so long.
    static constexpr int kFirstAnnouncementDelayMs = 800;
    static constexpr int kCounterNameWaitMs = 2000;
    ConnectionStatus* connectionStatus() const { return m_connectionStatus; }
    QPushButton* rateButton() const { return m_rate; }
    QPushButton* doseButton() const { return m_dose; }
    QWidget* backgroundView() const { return m_background; }
    QMenu* addMenuAfterView(const QString& title);
    QAction* cancelTransferAction() const { return m_cancelTransfer; }
    DeviceMenu* deviceMenu() const { return m_deviceMenu; }
    HelpMenu* helpMenu() const { return m_helpMenu; }
    HistoryStrip* historyStrip() const { return m_history; }
    QAction* showHistoryAction() const { return m_showHistory; }
    QAction* historyWindowAction() const { return m_historyWindowAction; }
    // View > Reading History…, made at first use.
    HistoryWindow* historyWindow();
    // Shows or hides the history strip under the figure; the choice is kept for the next start.
    void setHistoryVisible(bool visible);
    // The area the figure's font is fitted to: the window, less the strip while it shows.
    QSizeF valueFitArea(const QSize& windowSize) const;

    // A line under the connection's status while the history cannot be written; empty: none.
    void setHistoryTrouble(const QString& trouble);

    // The smallest size that keeps the fitted value font positive.
    static QSize minimumWindowSize() { return {360, 220}; }

signals:
    // The user asked to quit (menu, shortcut or closing the window).
    void quitRequested();
    // Closing hid the window, as the user chose to keep the program running.
    void keptRunning();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildMenus();
    void updateValueText();
    void updateStatusText();
    void updateTextColor();
    void updateModeButtonStyle();
    void updateLevelText();
    bool counterSilent() const;
    void updateShownCounter();
    // Device > Cancel Transfer follows the shown counter's transfer.
    void observeTransfer();
    void queueAnnouncement();
    void announce();
    void addHistoryReading();
    void updateHistoryMode();

    AppDelegate* m_controller;
    QWidget* m_background = nullptr;
    QLabel* m_value = nullptr;
    QLabel* m_status = nullptr;
    QString m_historyTrouble;
    QLabel* m_levelText = nullptr;
    std::optional<oq::Level> m_announcedLevel;
    QLabel* m_announcement = nullptr;
    QTimer* m_announceTimer = nullptr;
    bool m_announceReady = false;
    QStringList m_counterNews;
    QString m_announcedStatus;
    std::weak_ptr<OQDevice> m_shownDevice;
    const OQDevice* m_shownRaw = nullptr;
    QString m_shownName;
    bool m_pendingShownNews = false;
    QList<QMetaObject::Connection> m_transferWatch;
    ConnectionStatus* m_connectionStatus = nullptr;
    QPushButton* m_rate = nullptr;
    QPushButton* m_dose = nullptr;
    QAction* m_cancelTransfer = nullptr;
    QMenu* m_viewMenu = nullptr;
    QAction* m_showHistory = nullptr;
    HistoryStrip* m_history = nullptr;
    QAction* m_historyWindowAction = nullptr;
    HistoryWindow* m_historyWindow = nullptr;
    DeviceMenu* m_deviceMenu = nullptr;
    HelpMenu* m_helpMenu = nullptr;
    QMenu* m_helpMenuBar = nullptr;
    bool m_allowClose = false;

public:
    // Closing after the quit sequence has run.
    void allowClose() { m_allowClose = true; }
};
