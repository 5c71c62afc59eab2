#include "app/preferences/WebPageBox.h"

#include <QCheckBox>
#include <QFormLayout>

#include "app/preferences/SwitchPreference.h"
#include "platform/SettingsKeys.h"
#include "platform/StringTable.h"
#include "web/WebServer.h"

namespace {
QString text(const char* key) { return oq::localized(QString::fromLatin1(key)); }
} // namespace

WebPageBox::WebPageBox(QWidget* parent)
    : SettingsFieldsBox(text("preferences.web.group"), parent)
{
    namespace keys = oq::settings;
    m_switch = makeSwitchPreference(keys::WebPage, text("preferences.web.switch"), false, this);
    form()->addRow(m_switch);
    m_listen = addField(keys::WebListen, text("preferences.web.listen"), text("preferences.web.listen_placeholder"), [](QString& value) {
        QString address;
        quint16 port = 0;
        return oq::web::parseListen(value, &address, &port) ? QString() : text("preferences.web.bad_listen").arg(value);
    });
    // The token is read again at each start, wherever the program was started: kept by its full path.
    m_tokenFile = addField(keys::WebTokenFile, text("preferences.web.token"), text("preferences.web.token_placeholder"), [](QString& value) {
        value = fullPath(value);
        return QString();
    });
    addStatusLines(QStringLiteral("WebStatus"), text("preferences.web.off"));
}

// Its own moc output, so programs without windows that link this library do not take it in.
#include "moc_WebPageBox.cpp"
