#include "app/shell/TrayIcon.h"

#include <QActionGroup>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cmath>

#include "app/controller/AppDelegate.h"
#include "app/windows/MainWindow.h"
#include "app/shell/TrayPresence.h"
#include "logging/Log.h"
#include "platform/Clock.h"
#include "platform/StringTable.h"
#include "app/windows/ColorManager.h"
#include "app/windows/SpokenReading.h"
#include "device/OQDevice.h"
#include "readings/Level.h"

using oq::localized;

namespace {
// How often and how long a desktop without a tray is asked again (modelled seconds): long enough
// for a panel that starts after us at login.
constexpr double kLookAgainEvery = 2.0;
constexpr double kLookAgainFor = 300.0;

QPixmap levelDot(const QColor& color)
{
    constexpr int kSize = 64;
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // A dark rim keeps the dot visible on light and dark panels.
    p.setPen(QPen(QColor(0, 0, 0, 140), 3));
    p.setBrush(color);
    p.drawEllipse(QRectF(4, 4, kSize - 8, kSize - 8));
    return pixmap;
}
} // namespace

TrayIcon::TrayIcon(AppDelegate* controller, MainWindow* window, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_window(window)
    , m_menu(std::make_unique<QMenu>())
{
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    m_showWindow = m_menu->addAction(localized(QStringLiteral("alerts.show_window")), this, &TrayIcon::showWindow);
    m_menu->addSeparator();
    auto* modes = new QActionGroup(m_menu.get());
    m_rate = m_menu->addAction(localized(QStringLiteral("ui.main.rate_button")));
    m_dose = m_menu->addAction(localized(QStringLiteral("ui.main.dose_button")));
    for (QAction* a : {m_rate, m_dose}) {
        a->setCheckable(true);
        modes->addAction(a);
    }
    // The same way as the window's buttons, so a switch runs through the controller's sequence.
    connect(m_rate, &QAction::triggered, controller, [this] { m_controller->onlineModeChanged(m_controller->rateButton); });
    connect(m_dose, &QAction::triggered, controller, [this] { m_controller->onlineModeChanged(m_controller->doseButton); });
    m_menu->addSeparator();
    m_quit = m_menu->addAction(localized(QStringLiteral("ui.menu.quit")), this, [this] {
        if (m_window)
            emit m_window->quitRequested();
    });

    connect(controller, &OQAppDelegate::onlineValueStringChanged, this, &TrayIcon::update);
    // With several counters the tooltip has a line for each.
    connect(controller, &OQAppDelegate::counterOnlineValueChanged, this, &TrayIcon::update);
    connect(controller, &OQAppDelegate::countersChanged, this, &TrayIcon::update);
    connect(controller, &OQAppDelegate::onlineModeChanged, this, &TrayIcon::showMode);
    if (auto* cm = controller->colorManager()) {
        connect(cm, &ColorManager::levelChanged, this, &TrayIcon::update);
        connect(cm, &ColorManager::barColorChanged, this, &TrayIcon::update); // also a new colour chosen
    }

    showMode();
    update();
    if (install())
        return;
    LGLogInfo("The desktop has no system tray yet; looking again for a while");
    m_looksLeft = int(std::lround(kLookAgainFor / kLookAgainEvery));
    m_lookAgain = new QTimer(this);
    m_lookAgain->setInterval(oq::clock::scaledMs(kLookAgainEvery));
    connect(m_lookAgain, &QTimer::timeout, this, [this] {
        if (install()) {
            LGLogInfo("A system tray came up; showing the tray icon");
            m_lookAgain->stop();
        } else if (--m_looksLeft <= 0) {
            LGLogInfo("No system tray came up; no tray icon");
            m_lookAgain->stop();
        }
    });
    m_lookAgain->start();
}

// Qt is asked only once a tray is known to be there: its answer about a StatusNotifier tray holds
// for the rest of the process.
bool TrayIcon::install()
{
    if (m_tray)
        return true;
    if (!oq::tray::present() || !QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            showWindow();
    });
    update();
    m_tray->show();
    return true;
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::showWindow()
{
    if (!m_window)
        return;
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}

void TrayIcon::showMode()
{
    const long long mode = m_controller->onlineMode().toLongLong();
    m_rate->setChecked(mode == 1);
    m_dose->setChecked(mode == 2);
}

void TrayIcon::update()
{
    const auto& device = m_controller->device();
    const auto* cm = m_controller->colorManager();
    const bool reading = device && device->onlineValue() && cm;
    const QString value = m_controller->onlineValueString();
    m_color = reading ? oq::levelColor(cm->level(), oq::LevelColor::Bar).toQColor() : QColor(Qt::gray);
    m_icon = QIcon(levelDot(m_color));
    m_toolTip = localized(QStringLiteral("ui.app.name"));
    const auto devices = m_controller->devices();
    const QVariant mode = m_controller->onlineMode();
    // The level in words beside each figure: the icon's colour alone does not tell everyone.
    const auto readingOf = [&](const OQDevice* d) {
        const QString v = m_controller->onlineValueString(d);
        if (!d->onlineValue() || v.isEmpty())
            return localized(QStringLiteral("ui.a11y.no_reading"));
        return localized(QStringLiteral("ui.tray.reading"))
            .arg(v, levelWord(oq::levelForValue(*d->onlineValue(), mode.isValid() ? mode.toLongLong() : 1)));
    };
    if (devices.size() > 1) {
        for (const auto& d : devices)
            m_toolTip += QLatin1Char('\n')
                + localized(d == device ? QStringLiteral("ui.tray.shown_counter_line") : QStringLiteral("ui.tray.counter_line"))
                      .arg(m_controller->counterName(d.get()), readingOf(d.get()));
    } else {
        m_toolTip += QLatin1Char('\n') + (reading ? readingOf(device.get()) : localized(QStringLiteral("ui.a11y.no_reading")));
    }
    if (m_tray) {
        m_tray->setIcon(m_icon);
        m_tray->setToolTip(m_toolTip);
    }
}
