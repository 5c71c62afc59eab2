#include "app/controller/DeviceExchanges.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QWidget>

#include <utility>

#include "app/controller/AppDelegate.h"
#include "app/controller/ErrorPresenter.h"
#include "app/windows/ProtocolFile.h"
#include "app/windows/TransferProgressDialog.h"
#include "device/DeviceError.h"
#include "device/OQDevice.h"
#include "logging/Log.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQProtocol.h"
#include "platform/Dispatch.h"
#include "platform/ProgressRecord.h"
#include "platform/StringTable.h"

using oq::localized;

DeviceExchanges::DeviceExchanges(AppDelegate* controller, QWidget* window)
    : QObject(window)
    , m_controller(controller)
    , m_window(window)
    , m_dialog(new TransferProgressDialog(window))
{
    connect(m_dialog, &TransferProgressDialog::cancelRequested, this, &DeviceExchanges::cancelRequested);
    m_chooseSaveLocation = [this](const QString& suggested) { return defaultSaveLocation(suggested); };
}

DeviceExchanges::~DeviceExchanges()
{
    // The controller must not stay held by an exchange nobody will finish.
    if (isRunning() && m_controller)
        m_controller->releaseOnlineMode(m_device);
}

bool DeviceExchanges::canStart() const
{
    if (isRunning() || !m_controller)
        return false;
    const auto d = m_controller->device();
    return d && d->connected() && !d->failed() && !d->busy();
}

bool DeviceExchanges::downloadProtocol() { return begin(Kind::Protocol); }

bool DeviceExchanges::setClockToComputerTime() { return begin(Kind::Clock); }

bool DeviceExchanges::begin(Kind kind)
{
    if (!canStart())
        return false;
    m_device = m_controller->device();
    m_kind = kind;
    m_phase = Phase::Stopping;
    m_abortBeforeStart = false;
    const quint64 generation = ++m_generation;
    LGLogInfo("%@ requested; stopping the online mode", kind == Kind::Protocol ? QStringLiteral("Protocol download") : QStringLiteral("Clock setting"));
    m_controller->holdOnlineMode(m_device);
    emit runningChanged(true);
    m_dialog->showWaiting(localized(QStringLiteral("ui.progress.stopping_online")), true);
    m_dialog->show();
    QPointer<DeviceExchanges> self(this);
    m_device->stopOnlineMode([self, generation] {
        if (self && self->m_generation == generation)
            self->onlineStopped();
    });
    return true;
}

void DeviceExchanges::onlineStopped()
{
    if (m_phase != Phase::Stopping)
        return;
    if (m_abortBeforeStart || (m_controller && m_controller->isQuitting())) {
        emit transferCancelled();
        finish();
        return;
    }
    // Another counter may be shown by now; this one goes on as long as it is plugged.
    if (!m_controller || !m_controller->hasDevice(m_device) || !m_device->connected()) {
        // The counter went while its stream was being stopped.
        const auto error = oq::device::deviceError(oq::device::DeviceErrorReadTimeout,
            localized(QStringLiteral("errors.device.connection.description")));
        const auto gone = m_device;
        finish();
        present(error, gone);
        return;
    }
    m_phase = Phase::Running;
    m_dialog->follow(m_device);
    m_progressWatch = connect(m_device.get(), &OQDevice::progressChanged, this, &DeviceExchanges::progressReplaced);
    QPointer<DeviceExchanges> self(this);
    const quint64 generation = m_generation;
    if (m_kind == Kind::Protocol) {
        m_device->getProtocol([self, generation](std::shared_ptr<OQProtocol> protocol, std::optional<oq::ErrorRecord> error) {
            if (self && self->m_generation == generation)
                self->protocolArrived(std::move(protocol), std::move(error));
        });
    } else {
        m_device->setDate(QDateTime::currentDateTime(), [self, generation](bool, std::optional<oq::ErrorRecord> error) {
            if (self && self->m_generation == generation)
                self->clockArrived(std::move(error));
        });
    }
}

void DeviceExchanges::progressReplaced()
{
    // A cancelled transfer ends without its completion; it takes the progress record away instead.
    if (m_phase != Phase::Running || m_device->progress())
        return;
    LGLogInfo("Protocol download cancelled");
    disconnect(m_progressWatch);
    m_phase = Phase::Settling;
    m_dialog->showWaiting(localized(QStringLiteral("ui.progress.cancelling")), false);
    emit transferCancelled();
    settle(kSettleAfterCancel);
}

bool DeviceExchanges::exchangeEnded(double settleSeconds)
{
    if (m_phase != Phase::Running)
        return false;
    disconnect(m_progressWatch);
    m_phase = Phase::Settling;
    m_dialog->hide();
    settle(settleSeconds);
    return true;
}

void DeviceExchanges::protocolArrived(std::shared_ptr<OQProtocol> protocol, std::optional<oq::ErrorRecord> error)
{
    if (!exchangeEnded(kSettleAfterTransfer))
        return;
    if (error || !protocol) {
        presentTransferError(error.value_or(oq::device::deviceError(oq::device::DeviceErrorIncompleteProtocol,
            localized(QStringLiteral("errors.device.timeout")))));
        return;
    }
    LGLogInfo("Protocol downloaded: %lld characters", qint64(protocol->protocolData().size()));
    const auto info = protocol->info();
    const QString suggested = oq::protocolfile::suggestedFileName(info ? info->serialNumber() : QString(),
        protocol->transmissionDate());
    QString path = m_chooseSaveLocation ? m_chooseSaveLocation(suggested) : QString();
    if (!path.isEmpty()) {
        oq::ErrorRecord saveError;
        if (oq::protocolfile::save(*protocol, path, &saveError)) {
            LGLogInfo("Protocol saved to %@", path);
        } else {
            present(saveError);
            path.clear();
        }
    }
    emit protocolDownloaded(std::move(protocol), path);
}

void DeviceExchanges::clockArrived(std::optional<oq::ErrorRecord> error)
{
    if (!exchangeEnded(kSettleAfterClock))
        return;
    if (error) {
        presentTransferError(*error);
        return;
    }
    LGLogInfo("Counter clock set to the computer's time");
    emit clockSet();
}

void DeviceExchanges::cancelRequested()
{
    if (m_phase == Phase::Stopping) {
        // Nothing has been asked of the counter yet beyond the stop; skip the exchange.
        m_abortBeforeStart = true;
        m_dialog->showWaiting(localized(QStringLiteral("ui.progress.cancelling")), false);
    } else if (m_phase == Phase::Running) {
        if (const auto progress = m_device->progress())
            progress->cancel();
        m_dialog->cancelButton()->setEnabled(false);
    }
}

void DeviceExchanges::settle(double seconds)
{
    QPointer<DeviceExchanges> self(this);
    const quint64 generation = m_generation;
    oq::dispatchMainAfter(seconds, [self, generation] {
        if (self && self->m_generation == generation && self->m_phase == Phase::Settling)
            self->finish();
    });
}

void DeviceExchanges::finish()
{
    disconnect(m_progressWatch);
    m_dialog->follow(nullptr);
    m_dialog->hide();
    m_kind = Kind::None;
    m_phase = Phase::Idle;
    const auto device = std::exchange(m_device, nullptr);
    ++m_generation;
    if (m_controller)
        m_controller->releaseOnlineMode(device);
    emit runningChanged(false);
    emit finished();
}

void DeviceExchanges::present(const oq::ErrorRecord& error, const std::shared_ptr<OQDevice>& counter)
{
    emit failed(error);
    ErrorPresenter::present(m_controller, m_window, error, counter ? counter : m_device);
}

void DeviceExchanges::presentTransferError(const oq::ErrorRecord& error)
{
    // Positive codes are driver failures, what a pulled cable gives.
    const bool driverFailure = error.domain() == oq::device::OQDeviceErrorDomain && error.code() > 0;
    if (!driverFailure || !m_controller || !m_controller->hasDevice(m_device)) {
        present(error);
        return;
    }
    QPointer<DeviceExchanges> self(this);
    auto waiting = std::make_shared<QMetaObject::Connection>();
    // The exchange may have settled by then: the error stays about its counter.
    const auto show = [self, error, waiting, counter = m_device] {
        if (!*waiting)
            return; // shown already
        QObject::disconnect(*waiting);
        *waiting = {};
        if (self)
            self->present(error, counter);
    };
    *waiting = connect(m_controller, &OQAppDelegate::countersChanged, this, show);
    oq::dispatchMainAfter(kUnplugNotice, show);
}

QString DeviceExchanges::defaultSaveLocation(const QString& suggestedPath)
{
    const QString path = QFileDialog::getSaveFileName(m_window, localized(QStringLiteral("ui.protocol.save_title")),
        QDir(oq::protocolfile::dialogFolder()).filePath(suggestedPath), localized(QStringLiteral("ui.protocol.file_filter")));
    oq::protocolfile::rememberDialogFolder(path);
    return path;
}
