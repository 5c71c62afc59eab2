#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QVariantMap>

#include "logging/Log.h"
#include "platform/StringTable.h"

namespace oq::alerts {

const QString DesktopNotifier::kService = QStringLiteral("org.freedesktop.Notifications");

namespace {
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kDefaultAction = QStringLiteral("default");
// Urgency hint values of the notification protocol.
constexpr uchar kNormalUrgency = 1;
constexpr uchar kCriticalUrgency = 2;
} // namespace

bool sessionBusAnnounced()
{
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(QDir(runtime).filePath(QStringLiteral("bus"))).exists();
}

DesktopNotifier::DesktopNotifier(QString appName, QString iconName, QObject* parent)
    : QObject(parent)
    , m_appName(std::move(appName))
    , m_iconName(std::move(iconName))
{
}

bool DesktopNotifier::connectBus()
{
    if (m_connected)
        return true;
    if (!sessionBusAnnounced())
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this, SLOT(onActionInvoked(uint, QString)));
    m_connected = true;
    return true;
}

void DesktopNotifier::notify(const Notification& n)
{
    if (!connectBus()) {
        fail(QStringLiteral("no session bus"));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(n.critical ? kCriticalUrgency : kNormalUrgency)},
        {QStringLiteral("desktop-entry"), m_iconName},
    };
    // A click on the notification shows the window; the label is for services that list actions.
    const QStringList actions{kDefaultAction, oq::localized(QStringLiteral("alerts.show_window"))};
    // Servers that render markup in the body would render a counter's serial number as markup.
    call << m_appName << uint(0) << m_iconName << n.summary << n.body.toHtmlEscaped() << actions << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            fail(reply.error().message());
            return;
        }
        m_failureLogged = false;
        m_ids.insert(reply.value());
        emit shown(reply.value());
    });
}

void DesktopNotifier::fail(const QString& reason)
{
    if (m_failureLogged)
        return;
    m_failureLogged = true;
    LGLogWarn("Desktop notifications are not shown: %@", reason);
    emit unavailable(reason);
}

void DesktopNotifier::onActionInvoked(uint id, const QString& action)
{
    if (action == kDefaultAction && m_ids.count(id))
        emit activated();
}

} // namespace oq::alerts
