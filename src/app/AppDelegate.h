#pragma once
// The application's controller: the base's duties plus the main window, the observation of the
// device, online-mode switching, the quit sequence and the font fitting of the value.
#include <QAbstractButton>
#include <QFont>
#include <QLabel>
#include <QPointer>
#include <QSizeF>
#include <QWidget>

#include "app/OQAppDelegate.h"

class AppDelegate : public OQAppDelegate {
    Q_OBJECT
public:
    enum class TerminateReply { Now, Later };

    // The base's construction, then the crash-reporting secret.
    explicit AppDelegate(QObject* parent = nullptr);

    // Non-owning references to the main window's parts.
    QPointer<QWidget> window;
    QPointer<QAbstractButton> rateButton;
    QPointer<QAbstractButton> doseButton;
    QPointer<QLabel> valueTextField;

    // Subscribes to the device's state, then runs the launch sequence.
    void applicationDidFinishLaunching() override;
    // Waits for a device that has streamed to stop; replyToApplicationShouldTerminate() follows.
    TerminateReply applicationShouldTerminate();

    // Fits the value's font to the proposed window size; the size is returned unchanged.
    QSizeF windowWillResize(QWidget* window, const QSizeF& proposed);
    static QFont fontSizedForAreaSize(const QSizeF& area, const QString& text, const QFont& font);
    static float scaleToAspectFit(const QSizeF& content, const QSizeF& target, float padding);

    // Seconds a quit or mode switch waits for the stop's completion before going ahead anyway.
    static constexpr double kStopWaitLimit = 5.0;

    // Another exchange (protocol download, clock setting) holds the online mode: while held, a
    // counter that becomes ready is not started. The last release treats the current device as
    // just become ready, so the configured mode starts 1 s later.
    void holdOnlineMode();
    void releaseOnlineMode();
    bool isOnlineModeHeld() const { return m_onlineHolds > 0; }

public slots:
    // The action of both mode buttons.
    void onlineModeChanged(QObject* sender);

signals:
    // Termination may go ahead (true) after applicationShouldTerminate() answered Later.
    void replyToApplicationShouldTerminate(bool terminate);

private:
    void observeConnection();
    void startMode(long long mode);
    void switchMode(long long mode);

    bool m_observing = false;
    QList<QMetaObject::Connection> m_observation;
    quint64 m_switchGeneration = 0;
    int m_onlineHolds = 0;
};
