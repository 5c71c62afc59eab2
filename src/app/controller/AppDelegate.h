#pragma once
// The application's controller: the base's duties plus the main window, the observation of the
// device, online-mode switching, the quit sequence and the font fitting of the value.
#include <QAbstractButton>
#include <QFont>
#include <QLabel>
#include <QPointer>
#include <QSizeF>
#include <QWidget>

#include <memory>

#include "app/controller/OQAppDelegate.h"

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

    // Modelled seconds a quit waits for the counter to be left alone before going ahead anyway.
    // The longest legitimate wait: a clock setting under way (about 10 s; it cannot be cut short)
    // or a cancelled transfer (a line read, ESC until quiet, "X"), then the stop (2.5 s).
    static constexpr double kQuitWaitLimit = 15.0;

    // Another exchange (protocol download, clock setting) holds the online mode of `device`, or
    // without one of every counter: while held, a counter that becomes ready is not started. The
    // last release treats the counter as just become ready, so the configured mode starts 1 s later.
    void holdOnlineMode(const std::shared_ptr<OQDevice>& device = nullptr);
    void releaseOnlineMode(const std::shared_ptr<OQDevice>& device = nullptr);
    // Held for the counter shown.
    bool isOnlineModeHeld() const;
    // The quit sequence has begun: nothing new is started on the counter.
    bool isQuitting() const { return m_quitting; }

public slots:
    // The action of both mode buttons.
    void onlineModeChanged(QObject* sender);

signals:
    // Termination may go ahead (true) after applicationShouldTerminate() answered Later.
    void replyToApplicationShouldTerminate(bool terminate);

private:
    // The shown counter became ready: the buttons and the colours show the mode it starts in.
    void counterReady(oq::counters::Counter* counter);
    // Sets the buttons to show `mode`.
    void showMode(long long mode);
    void switchMode(long long mode);

    bool m_quitting = false;
};
