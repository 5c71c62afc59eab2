#include "app/menus/DeviceMenu.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QMenu>

#include "app/controller/AppDelegate.h"
#include "app/menus/CounterMenu.h"
#include "app/controller/DeviceExchanges.h"
#include "app/windows/DeviceInfoWindow.h"
#include "app/controller/ErrorPresenter.h"
#include "app/windows/ProtocolFile.h"
#include "app/windows/ProtocolWindow.h"
#include "platform/StringTable.h"

using oq::localized;

DeviceMenu::DeviceMenu(AppDelegate* controller, QWidget* window, QMenu* fileMenu, QMenu* deviceMenu)
    : QObject(window)
    , m_controller(controller)
    , m_window(window)
    , m_exchanges(new DeviceExchanges(controller, window))
    // Made at once and kept: it notes when each record arrives, to tell the clock's difference.
    , m_infoWindow(new DeviceInfoWindow(controller, window))
{
    QAction* before = deviceMenu->actions().value(0);
    m_info = new QAction(localized(QStringLiteral("ui.menu.device.info")), this);
    m_info->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    m_download = new QAction(localized(QStringLiteral("ui.menu.device.download")), this);
    m_download->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
    m_setClock = new QAction(localized(QStringLiteral("ui.menu.device.set_clock")), this);
    deviceMenu->insertActions(before, {m_info, m_download, m_setClock});
    if (before)
        deviceMenu->insertSeparator(before);

    m_open = new QAction(localized(QStringLiteral("ui.menu.open_protocol")), this);
    m_open->setShortcut(QKeySequence::Open);
    QAction* firstFileAction = fileMenu->actions().value(0);
    fileMenu->insertAction(firstFileAction, m_open);
    if (firstFileAction)
        fileMenu->insertSeparator(firstFileAction);
    if (controller)
        m_counters = new CounterMenu(controller, deviceMenu);

    connect(m_info, &QAction::triggered, this, &DeviceMenu::showDeviceInformation);
    connect(m_download, &QAction::triggered, m_exchanges, &DeviceExchanges::downloadProtocol);
    connect(m_setClock, &QAction::triggered, m_exchanges, &DeviceExchanges::setClockToComputerTime);
    connect(m_open, &QAction::triggered, this, &DeviceMenu::openProtocol);
    connect(m_infoWindow, &DeviceInfoWindow::setClockRequested, m_exchanges, &DeviceExchanges::setClockToComputerTime);

    connect(m_exchanges, &DeviceExchanges::runningChanged, this, &DeviceMenu::updateActions);
    connect(m_exchanges, &DeviceExchanges::protocolDownloaded, this,
        [this](std::shared_ptr<OQProtocol> protocol, const QString& path) {
            if (auto* window = showProtocol(std::move(protocol), path))
                emit protocolDownloaded(window);
        });
    connect(m_exchanges, &DeviceExchanges::clockSet, this, &DeviceMenu::showDeviceInformation);
    if (controller)
        connect(controller, &OQAppDelegate::deviceChanged, this, &DeviceMenu::watchDevice);
    watchDevice();
}

QList<ProtocolWindow*> DeviceMenu::protocolWindows() const
{
    QList<ProtocolWindow*> windows;
    for (const auto& w : m_protocolWindows) {
        if (w)
            windows << w;
    }
    return windows;
}

void DeviceMenu::watchDevice()
{
    for (const auto& c : m_deviceConnections)
        disconnect(c);
    m_deviceConnections.clear();
    if (const auto d = m_controller ? m_controller->device() : nullptr) {
        m_deviceConnections << connect(d.get(), &OQDevice::connectedChanged, this, &DeviceMenu::updateActions);
        m_deviceConnections << connect(d.get(), &OQDevice::busyChanged, this, &DeviceMenu::updateActions);
        m_deviceConnections << connect(d.get(), &OQDevice::failedChanged, this, &DeviceMenu::updateActions);
    }
    updateActions();
}

void DeviceMenu::updateActions()
{
    const bool ready = m_exchanges->canStart();
    for (QAction* a : {m_info, m_download, m_setClock})
        a->setEnabled(ready);
    m_infoWindow->setSetClockEnabled(ready);
}

void DeviceMenu::showDeviceInformation()
{
    m_infoWindow->show();
    m_infoWindow->raise();
    m_infoWindow->activateWindow();
}

void DeviceMenu::openProtocol()
{
    const QString path = QFileDialog::getOpenFileName(m_window, localized(QStringLiteral("ui.protocol.open_title")),
        oq::protocolfile::dialogFolder(), localized(QStringLiteral("ui.protocol.file_filter")));
    oq::protocolfile::rememberDialogFolder(path);
    if (path.isEmpty())
        return;
    openProtocolFile(path);
}

ProtocolWindow* DeviceMenu::openProtocolFile(const QString& path)
{
    oq::ErrorRecord error;
    auto protocol = oq::protocolfile::load(path, &error);
    if (!protocol) {
        ErrorPresenter::present(m_controller, m_window, error);
        return nullptr;
    }
    auto* window = showProtocol(std::move(protocol), path);
    if (window)
        emit protocolFileOpened(window);
    return window;
}

ProtocolWindow* DeviceMenu::showProtocol(std::shared_ptr<OQProtocol> protocol, const QString& path)
{
    oq::ErrorRecord error;
    auto* window = ProtocolWindow::create(m_controller, std::move(protocol), path, m_window, &error);
    if (!window) {
        offerDownloadAgain(ErrorPresenter::present(m_controller, m_window, error));
        return nullptr;
    }
    m_protocolWindows.removeAll(nullptr);
    m_protocolWindows << window;
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

void DeviceMenu::offerDownloadAgain(int option)
{
    // The first recovery option of a parsing error reads the protocol from the counter again.
    if (option == 0 && m_exchanges->canStart())
        m_exchanges->downloadProtocol();
}
