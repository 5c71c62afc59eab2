#pragma once
// A counter attached through its FTDI USB-serial bridge. Construction starts the device's serial
// worker, the thread "OQDevice": it opens the bridge and reads the counter's information, and then
// runs every later exchange (online loop, stop, transfer, clock setting) one after the other, in
// the order they were asked for. Make it with makeDevice<OQUSBDevice>(): queued work holds a
// strong reference, so a dropped device lives until its work has run.
//
// One exchange at a time, by construction: the link (handle, receive buffer) is touched only by
// the worker, and each exchange ends its own closing sequence ("X", purge) before the next starts
// and before the device reports itself idle. A stop is a request the running online loop honours
// at its next poll; it names the loops started before it, so it can never end a later one, and a
// loop restarts its stream only while no stop names it. A transfer's cancel is a request through
// its progress record.
#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "device/OQDevice.h"
#include "device/ft/FtBackend.h"
#include "device/ft/ftd2xx.h"
#include "platform/Dispatch.h"
#include "platform/ErrorRecord.h"

class OQUSBDevice : public OQDevice {
    Q_OBJECT
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(QString calibration READ calibration NOTIFY calibrationChanged)
    Q_PROPERTY(QString hwInfo READ hwInfo NOTIFY hwInfoChanged)
    Q_PROPERTY(QString statc READ statc NOTIFY statcChanged)
    Q_PROPERTY(QString protocol READ protocol NOTIFY protocolChanged)
public:
    explicit OQUSBDevice(QObject* parent = nullptr);
    // Bound to the bridge at `bridgeLocation` (its bus location, as the hot-plug watch reports it)
    // from its first exchange on, which starts in makeDevice(). Without one the device takes the
    // first bridge listed and closes any handle left open on the others: right for one counter,
    // wrong for several.
    explicit OQUSBDevice(std::optional<DWORD> bridgeLocation, QObject* parent = nullptr);
    ~OQUSBDevice() override;

    bool usbConnected() const override { return true; }
    bool hasWorkInFlight() const override { return m_workInFlight.load() > 0; }

    // Runs once, by itself, as the worker's first exchange; a call from elsewhere is ignored.
    void getDeviceInfo() override;
    void getProtocol(ProtocolCompletion completion) override;
    void setDate(const QDateTime& date, DateCompletion completion) override;
    void startRateMode() override;
    void startDoseMode() override;
    void stopOnlineMode(std::function<void()> completion) override;

    void didMakeShared(const std::shared_ptr<OQDevice>& self) override;

    // Null: nothing names a device.
    QString name() const { return {}; }
    std::optional<DWORD> bridgeLocation() const { return m_bridgeLocation; }
    // The online loop running now has been asked to stop.
    bool cancelOnline() const { return loopStopRequested(m_runningLoop.load()); }
    // Why this device's bridge would not open; none when it opened or was not tried.
    oq::ft::OpenFailure openFailure() const;
    // Answers of the last protocol transfer, trimmed; null until one was read.
    QString calibration() const;
    QString hwInfo() const;
    QString statc() const;
    QString protocol() const;

    // ---- The serial link. The exchanges are built from these; they run on the worker, never on
    // the main thread.

    FT_HANDLE handle() const { return m_handle.load(); }
    // The next line with its "\r\n"; the empty text with the time-out error (-3) after about
    // 2.4 s of silence, a cancel, or a line that never ends; nothing with the driver's error.
    std::optional<QString> readLineFromHandle(FT_HANDLE handle, std::optional<oq::ErrorRecord>* error = nullptr);
    // One byte per driver write; only the status counts.
    FT_STATUS writeCommand(char command);
    // Purges both driver buffers and empties the receive buffer.
    void clearInput();
    // Records a failure with the driver's message for `status`.
    void failWithFtStatus(FT_STATUS status);
    // Records a failure (error, busy false, failed true) on the main thread and waits for it, then
    // closes the handle. Never call it on the main thread.
    void failWithError(const QString& message);
    // Builds the device information from a version line; on success sets info on the main thread.
    // The exchange that asked reports itself idle once its closing sequence has gone out.
    bool parseInformation(const QString& versionLine);
    // Stops a counter that is still sending: ESC until quiet, "X", purge.
    void cancelProtocolTransfer();

    // The exchanges on the calling thread (the worker). The loop runs until a stop names `loop`.
    void startOnlineModeInBackgroundWithCommand(const QString& command, quint64 loop);
    void loadProtocol(const ProtocolCompletion& completion);
    void setDateOnBackgroundQueue(const QDateTime& date, const DateCompletion& completion);

    // Characters not yet handed out as lines (tests look at it).
    QByteArray rxBuffer() const { return m_rxBuffer; }

    // Lines without "\r\n" are dropped once this many characters are buffered.
    static constexpr qsizetype kMaxPartialLine = 4096;

signals:
    void calibrationChanged();
    void hwInfoChanged();
    void statcChanged();
    void protocolChanged();

private:
    static std::shared_ptr<oq::ProgressRecord> makeProgress(qint64 total, bool cancellable, const char* key);
    std::shared_ptr<OQUSBDevice> strongSelf() const { return m_weakSelf.lock(); }
    // Queues `work` on the device's worker, after everything asked for before, with this device
    // kept alive until it has run.
    void runOnWorker(std::function<void(const std::shared_ptr<OQUSBDevice>&)> work);

    // Transport.
    bool openLink();
    // Opens the bridge at m_bridgeLocation, closing a handle an earlier device left on it.
    FT_STATUS openOwnBridge(DWORD count, FT_HANDLE* handle);
    void appendReceived(const char* bytes, DWORD count);
    std::optional<QString> readLine(std::optional<oq::ErrorRecord>& error);
    // A line read and written to the device log (and as "<- line" to the application log).
    std::optional<QString> readLoggedLine(std::optional<oq::ErrorRecord>& error, bool alsoApplicationLog = false);
    enum class VersionQuery { WriteFailed, ReadFailed, Unreadable, Read };
    // Sends "v" and reads the version record into info. `status` is the write's.
    VersionQuery queryVersion(std::optional<oq::ErrorRecord>& error, FT_STATUS& status);
    // Sends "X" and reads the counter's two answer lines; false when a read failed. A failing
    // write skips the reading.
    bool leavePCMode(std::optional<oq::ErrorRecord>& error);
    // Sends "X" without reading the answer, which is purged once it is in, so that the next
    // exchange does not read it.
    void leavePCModeUnread();
    // A line read while skipping online value lines still in flight.
    std::optional<QString> readLineSkippingValues(std::optional<oq::ErrorRecord>& error);
    void failWithReadError(const std::optional<oq::ErrorRecord>& error);

    // Information exchange.
    bool runDeviceInfoExchange();
    // Logs the confirmation of PC mode, or runs the recovery when `answer` is something else; false when
    // the recovery recorded a failure.
    bool acceptPCModeAnswer(std::optional<QString> answer, std::optional<oq::ErrorRecord> answerError);

    // Online mode. Loops are numbered from 1 in the order they are asked for; a stop names every
    // loop asked for before it.
    void startOnlineMode(const QString& command);
    bool loopStopRequested(quint64 loop) const { return loop != 0 && loop <= m_loopsStopped.load(); }
    bool runOnlineLoop(const QString& command, quint64 loop);
    // After a stop's "X": waits until nothing has arrived for kQuietLineSeconds (at most
    // kQuietLineLimit), dropping what comes; the modelled seconds it took.
    double waitForQuietLine();
    static constexpr double kQuietLineSeconds = 1.2; // longer than the gap between two value lines
    static constexpr double kQuietLineLimit = 10.0;

    // Protocol transfer.
    bool progressCancelled() const;
    void handleTransferCancel();
    // busy false, failed false, no progress record; on the main thread, waited for.
    void setTransferCancelledState();
    void setTransferTexts(const QString& calibration, const QString& hwInfo, const QString& statc);
    void setProtocolText(const QString& protocol);

    std::weak_ptr<OQUSBDevice> m_weakSelf;
    std::optional<DWORD> m_bridgeLocation;
    std::atomic<int> m_workInFlight{0};
    bool m_infoExchangeRun = false; // worker only
    int m_backgroundQueueClass = 25;

    std::atomic<FT_HANDLE> m_handle{nullptr};
    QByteArray m_rxBuffer;
    std::atomic<quint64> m_loopsAsked{0};   // written on the main thread
    std::atomic<quint64> m_loopsStopped{0}; // highest loop a stop names
    std::atomic<quint64> m_runningLoop{0};  // the loop on the worker now, 0 for none

    mutable QMutex m_textMutex;
    oq::ft::OpenFailure m_openFailure;
    QString m_calibration;
    QString m_hwInfo;
    QString m_statc;
    QString m_protocol;

    // Declared last, so it is stopped (and its thread joined) before the state its work uses goes.
    std::unique_ptr<oq::SerialQueue> m_worker;
};
