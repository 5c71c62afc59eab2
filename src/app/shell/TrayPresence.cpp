#include "app/shell/TrayPresence.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "alerts/DesktopNotifier.h"

namespace oq::tray {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
// A watcher that does not answer at once is taken as no tray; the caller asks again later.
constexpr int kAnswerMs = 1000;

template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// The X screen the connection was opened on, as DISPLAY names it (":0.1" is screen 1).
int defaultScreen()
{
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    return dot > display.lastIndexOf(':') ? display.mid(dot + 1).toInt() : 0;
}

} // namespace

bool statusNotifierHostRegistered()
{
    if (!oq::alerts::sessionBusAnnounced())
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kWatcher))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kAnswerMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

bool xembedTrayPresent()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c)
        return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(defaultScreen());
    const XcbReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, uint16_t(name.size()), name.constData()), nullptr), &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false; // no tray ever claimed it on this display
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr), &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

} // namespace oq::tray
