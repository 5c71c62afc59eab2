#pragma once
// The exchanges the Device menu starts besides the online mode: the protocol download and the
// clock setting. Each holds the controller's online mode, stops the stream, runs the exchange
// under a progress dialog, and hands the online mode back to the controller once the counter has
// been left alone long enough to finish talking. Errors go through the error presentation.
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

#include "platform/ErrorRecord.h"

class AppDelegate;
class OQDevice;
class OQProtocol;
class QWidget;
class TransferProgressDialog;

class DeviceExchanges : public QObject {
    Q_OBJECT
public:
    // Modelled seconds the counter is left alone after an exchange before the online mode comes
    // back. The device reports itself idle only after its closing sequence, so the link needs
    // none of them; they only space the stream's return from the end of the exchange.
    static constexpr double kSettleAfterTransfer = 1.0;
    static constexpr double kSettleAfterCancel = 3.0;
    static constexpr double kSettleAfterClock = 0.2;
    // Seconds a driver failure waits for the counter's removal to arrive: a pulled cable fails the
    // transfer a moment before the removal, and the message should say it was unplugged.
    static constexpr double kUnplugNotice = 2.0;

    DeviceExchanges(AppDelegate* controller, QWidget* window);
    ~DeviceExchanges() override;

    bool isRunning() const { return m_kind != Kind::None; }
    // A counter is attached and idle, and no exchange of ours runs.
    bool canStart() const;

    // False when nothing could be started.
    bool downloadProtocol();
    bool setClockToComputerTime();

    // Asks where a downloaded protocol goes; the empty text keeps it unsaved. The default asks
    // with a file dialog.
    using SaveLocationChooser = std::function<QString(const QString& suggestedPath)>;
    void setSaveLocationChooser(SaveLocationChooser chooser) { m_chooseSaveLocation = std::move(chooser); }

    TransferProgressDialog* progressDialog() const { return m_dialog; }

signals:
    void runningChanged(bool running);
    // `savedPath` is empty when the protocol was not saved.
    void protocolDownloaded(std::shared_ptr<OQProtocol> protocol, const QString& savedPath);
    void transferCancelled();
    void clockSet();
    void failed(const oq::ErrorRecord& error);
    // The online mode has been handed back to the controller.
    void finished();

private:
    enum class Kind { None, Protocol, Clock };
    enum class Phase { Idle, Stopping, Running, Settling };

    bool begin(Kind kind);
    void onlineStopped();
    void progressReplaced();
    void protocolArrived(std::shared_ptr<OQProtocol> protocol, std::optional<oq::ErrorRecord> error);
    void clockArrived(std::optional<oq::ErrorRecord> error);
    void cancelRequested();
    // The exchange's completion came: the dialog goes, the settling begins. False when it came late.
    bool exchangeEnded(double settleSeconds);
    void settle(double seconds);
    void finish();
    // About `counter`, else the exchange's.
    void present(const oq::ErrorRecord& error, const std::shared_ptr<OQDevice>& counter = nullptr);
    void presentTransferError(const oq::ErrorRecord& error);
    QString defaultSaveLocation(const QString& suggestedPath);

    QPointer<AppDelegate> m_controller;
    QPointer<QWidget> m_window;
    TransferProgressDialog* m_dialog = nullptr;
    std::shared_ptr<OQDevice> m_device;
    QMetaObject::Connection m_progressWatch;
    Kind m_kind = Kind::None;
    Phase m_phase = Phase::Idle;
    bool m_abortBeforeStart = false;
    quint64 m_generation = 0;
    SaveLocationChooser m_chooseSaveLocation;
};
