#include "app/controller/WebPage.h"

#include <QFileInfo>

#include "app/controller/OQAppDelegate.h"
#include "logging/Log.h"
#include "platform/SafeFile.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "web/CounterSnapshot.h"
#include "web/WebServer.h"

using oq::localized;

WebPage::WebPage(OQAppDelegate* controller, const QString& historyPath, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_historyPath(historyPath)
{
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, [this](const QString& key) {
        if (key == oq::settings::WebPage || key == oq::settings::WebListen || key == oq::settings::WebTokenFile)
            restart();
    });
    restart();
}

// The feed goes before the server it publishes to.
WebPage::~WebPage()
{
    m_feed.reset();
    m_server.reset();
}

QString WebPage::defaultTokenPath()
{
    const QString config = oq::files::configHome();
    return config.isEmpty() ? QString() : config + QStringLiteral("/oq-online/http-token");
}

bool WebPage::serving() const { return m_server && m_server->running(); }
QString WebPage::url() const { return serving() ? m_server->url() : QString(); }

void WebPage::restart()
{
    m_feed.reset();
    m_server.reset();
    auto& store = oq::SettingsStore::shared();
    const QVariant on = store.objectForKey(oq::settings::WebPage);
    if (!m_controller || !(on.isValid() && on.toBool())) {
        setStatus(localized(QStringLiteral("preferences.web.off")));
        return;
    }
    oq::web::ServerOptions options;
    const QString listen = store.stringForKey(oq::settings::WebListen).trimmed();
    if (!listen.isEmpty() && !oq::web::parseListen(listen, &options.address, &options.port)) {
        setStatus(localized(QStringLiteral("preferences.web.bad_listen")).arg(listen));
        return;
    }
    options.tokenFile = store.stringForKey(oq::settings::WebTokenFile).trimmed();
    if (options.tokenFile.isEmpty() && QFileInfo::exists(defaultTokenPath()))
        options.tokenFile = defaultTokenPath();
    options.historyPath = m_historyPath;
    auto server = std::make_unique<oq::web::WebServer>();
    if (QString why = server->start(options); !why.isEmpty()) {
        // The server's own words name oqtool's option; here the token comes from Preferences.
        if (options.tokenFile.isEmpty() && why == localized(QStringLiteral("web.token.needed")).arg(options.address))
            why = localized(QStringLiteral("preferences.web.token_needed")).arg(options.address, defaultTokenPath());
        LGLogWarn("Web page not served: %@", why);
        setStatus(why);
        return;
    }
    m_server = std::move(server);
    m_feed = std::make_unique<oq::web::SnapshotFeed>(m_controller->counterSet(), *m_server);
    LGLogInfo("Web page served at %@", m_server->url());
    setStatus(localized(QStringLiteral("preferences.web.serving")).arg(m_server->url()));
}

void WebPage::setStatus(const QString& status)
{
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged(status);
}
