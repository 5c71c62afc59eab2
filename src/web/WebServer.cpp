#include "web/WebServer.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSysInfo>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <atomic>
#include <deque>
#include <mutex>

#include "platform/StringTable.h"
#include "web/HistoryFeed.h"
#include "web/Metrics.h"
#include "web/Request.h"

static void initWebResources() { Q_INIT_RESOURCE(web); }

namespace oq::web {
namespace {

// Sized for a household's phones and a Prometheus or two, not for the internet.
constexpr unsigned kMaxConnections = 200;
constexpr unsigned kMaxPerAddress = 32;
constexpr unsigned kIdleSeconds = 15;
constexpr size_t kRequestMemory = 32 * 1024; // holds the request line and headers: bigger ones get 431
constexpr unsigned kThreads = 4;
constexpr size_t kMaxSessions = 64;
constexpr qsizetype kMinTokenLength = 16;

bool isLoopback(const QString& address)
{
    in_addr v4{};
    in6_addr v6{};
    const QByteArray a = address.toLatin1();
    if (inet_pton(AF_INET, a.constData(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, a.constData(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Like the MQTT credentials: the user's own file, readable by nobody else.
std::optional<QByteArray> readToken(const QString& path, QString* why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 4096) {
        *why = localized(QStringLiteral("web.token.unreadable")).arg(path, file.errorString());
        return std::nullopt;
    }
    struct stat st = {};
    if (::fstat(file.handle(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077)) {
        *why = localized(QStringLiteral("web.token.too_open")).arg(path);
        return std::nullopt;
    }
    const QByteArray token = file.readAll().trimmed();
    if (token.size() < kMinTokenLength || token.contains('\n') || token.contains(' ') || token.contains(';')) {
        *why = localized(QStringLiteral("web.token.too_short")).arg(path).arg(kMinTokenLength);
        return std::nullopt;
    }
    return token;
}

bool sameSecret(std::string_view a, const QByteArray& b)
{
    unsigned char diff = a.size() != size_t(b.size());
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[qsizetype(i % std::max<size_t>(1, size_t(b.size())))]);
    return diff == 0;
}

// The names a browser on this box or the network may call it by; anything else is a rebinding.
QStringList allowedHosts(const ServerOptions& o)
{
    QStringList hosts{QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("::1")};
    const QString host = QSysInfo::machineHostName().toLower();
    if (!host.isEmpty())
        hosts << host << host + QStringLiteral(".local");
    const bool wildcard = o.address == QLatin1String("0.0.0.0") || o.address == QLatin1String("::");
    if (!wildcard)
        hosts << o.address.toLower();
    ifaddrs* list = nullptr;
    if (wildcard && getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            char text[INET6_ADDRSTRLEN] = {};
            if (!i->ifa_addr)
                continue;
            if (i->ifa_addr->sa_family == AF_INET)
                inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
            else if (i->ifa_addr->sa_family == AF_INET6)
                inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, text, sizeof text);
            if (*text)
                hosts << QString::fromLatin1(text).toLower();
        }
        freeifaddrs(list);
    }
    for (const QString& h : o.extraHosts)
        hosts << h.toLower();
    hosts.removeDuplicates();
    return hosts;
}

struct StaticFile {
    QByteArray body;
    QByteArray type;
};

const char* headerOf(MHD_Connection* c, const char* name)
{
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "";
}

} // namespace

struct WebServer::State {
    ServerOptions options;
    MHD_Daemon* daemon = nullptr;
    std::atomic<quint16> port = 0; // known only once listening when 0 was asked for
    QStringList hosts;
    std::optional<QByteArray> token;
    QByteArray cert, key;
    QHash<QString, StaticFile> files;

    std::mutex mutex; // guards snapshot and sessions
    std::shared_ptr<const Snapshot> snapshot = std::make_shared<Snapshot>();
    std::deque<QByteArray> sessions;

    std::shared_ptr<const Snapshot> current()
    {
        std::lock_guard lock(mutex);
        return snapshot;
    }
    bool knownSession(std::string_view id)
    {
        std::lock_guard lock(mutex);
        for (const QByteArray& s : sessions) {
            if (sameSecret(id, s))
                return true;
        }
        return false;
    }
    QByteArray newSession()
    {
        QByteArray raw(32, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), raw.size() / 4);
        const QByteArray id = raw.toHex();
        std::lock_guard lock(mutex);
        sessions.push_back(id);
        if (sessions.size() > kMaxSessions)
            sessions.pop_front();
        return id;
    }

    MHD_Result answer(MHD_Connection* c, const Target& target, bool head);
};

namespace {

// The raw target of a connection's current request. Owned by the connection, not the request:
// libmicrohttpd tells the end of every connection, but not of a request that never reached the
// handler (headers too large, a client gone), which would leak what was kept per request.
struct Pending {
    std::string target;
    bool seen = false;
};

void connectionChanged(void*, MHD_Connection*, void** socketContext, MHD_ConnectionNotificationCode code)
{
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        *socketContext = new Pending;
    } else {
        delete static_cast<Pending*>(*socketContext);
        *socketContext = nullptr;
    }
}

void* keepTarget(void*, const char* uri, MHD_Connection* c)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* p = info ? static_cast<Pending*>(info->socket_context) : nullptr;
    if (p) {
        p->target.assign(uri, strnlen(uri, kMaxTarget + 1));
        p->seen = false;
    }
    return p;
}

void addSafetyHeaders(MHD_Response* r)
{
    MHD_add_response_header(r, "Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
}

MHD_Result send(MHD_Connection* c, unsigned status, const QByteArray& body, const char* type,
    std::initializer_list<std::pair<const char*, QByteArray>> headers = {})
{
    // libmicrohttpd leaves the body out of an answer to HEAD itself, keeping its length.
    MHD_Response* r = MHD_create_response_from_buffer(size_t(body.size()), const_cast<char*>(body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    addSafetyHeaders(r);
    for (const auto& [name, value] : headers)
        MHD_add_response_header(r, name, value.constData());
    const MHD_Result result = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return result;
}

MHD_Result sendText(MHD_Connection* c, unsigned status, const char* text)
{
    return send(c, status, QByteArray(text) + '\n', "text/plain; charset=utf-8");
}

ssize_t readExport(void* cls, uint64_t, char* buf, size_t max)
{
    const long n = static_cast<ExportStream*>(cls)->read(buf, max);
    return n > 0 ? ssize_t(n) : n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
}

void endExport(void* cls) { delete static_cast<ExportStream*>(cls); }

MHD_Result handle(void* cls, MHD_Connection* c, const char*, const char* method, const char*, const char*, size_t* uploadSize, void** reqCls)
{
    auto* state = static_cast<WebServer::State*>(cls);
    auto* pending = static_cast<Pending*>(*reqCls);
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    // Refused at once, before any body is read (the connection is then closed): nothing here takes one.
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
        return send(c, MHD_HTTP_METHOD_NOT_ALLOWED, "GET and HEAD only\n", "text/plain; charset=utf-8",
            {{"Allow", "GET, HEAD"}});
    }
    const char* length = headerOf(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (*headerOf(c, MHD_HTTP_HEADER_TRANSFER_ENCODING) || (*length && std::strcmp(length, "0") != 0))
        return sendText(c, MHD_HTTP_CONTENT_TOO_LARGE, "a GET takes no body");
    // Answered on the second call, once the request is complete, so the connection can be kept.
    if (pending && !pending->seen) {
        pending->seen = true;
        return MHD_YES;
    }
    *uploadSize = 0;
    if (!hostAllowed(headerOf(c, MHD_HTTP_HEADER_HOST), state->hosts, state->port))
        return sendText(c, MHD_HTTP_MISDIRECTED_REQUEST, "unknown host name");
    const auto target = pending ? parseTarget(pending->target) : std::nullopt;
    if (!target)
        return sendText(c, MHD_HTTP_BAD_REQUEST, "bad request target");
    return state->answer(c, *target, head);
}

QByteArray contentType(const QString& name)
{
    if (name.endsWith(QLatin1String(".html")))
        return "text/html; charset=utf-8";
    if (name.endsWith(QLatin1String(".js")))
        return "text/javascript; charset=utf-8";
    if (name.endsWith(QLatin1String(".css")))
        return "text/css; charset=utf-8";
    if (name.endsWith(QLatin1String(".svg")))
        return "image/svg+xml";
    return "application/octet-stream";
}

} // namespace

MHD_Result WebServer::State::answer(MHD_Connection* c, const Target& target, bool head)
{
    const QString& path = target.path;
    const QString language = preferredLanguage(headerOf(c, MHD_HTTP_HEADER_ACCEPT_LANGUAGE));
    if (path.startsWith(QLatin1String("/static/"))) { // the page's own files, also for the sign-in form
        const auto f = files.constFind(path.mid(8));
        if (f == files.constEnd())
            return sendText(c, MHD_HTTP_NOT_FOUND, "not found");
        return send(c, MHD_HTTP_OK, f->body, f->type.constData(), {{"Cache-Control", "no-cache"}});
    }
    const bool tls = !cert.isEmpty();
    const auto page = [&](const char* view) {
        QByteArray html = files.value(QStringLiteral("index.html")).body;
        html.replace("{{lang}}", language.toLatin1()).replace("{{view}}", view);
        return send(c, MHD_HTTP_OK, html, "text/html; charset=utf-8", {{"Cache-Control", "no-store"}});
    };
    if (token) {
        const auto bearer = bearerToken(headerOf(c, MHD_HTTP_HEADER_AUTHORIZATION));
        const auto session = cookieValue(headerOf(c, MHD_HTTP_HEADER_COOKIE), "oq_session");
        const bool byToken = bearer && sameSecret(*bearer, *token);
        // The sign-in form sends the token as a header from script, so it never stands in a URL
        // (history, logs); the session cookie holds a random id, not the token.
        if (path == QLatin1String("/login") && byToken) {
            const QByteArray cookie = "oq_session=" + newSession() + "; Path=/; HttpOnly; SameSite=Strict" + (tls ? "; Secure" : "");
            return send(c, MHD_HTTP_NO_CONTENT, {}, "text/plain", {{"Set-Cookie", cookie}, {"Cache-Control", "no-store"}});
        }
        if (!byToken && !(session && knownSession(*session))) {
            // A browser is shown the form, as a page of its own rather than an error.
            if (path == QLatin1String("/") || (path == QLatin1String("/login") && !bearer))
                return page("signin");
            return send(c, MHD_HTTP_UNAUTHORIZED, "token needed\n", "text/plain; charset=utf-8",
                {{"WWW-Authenticate", "Bearer realm=\"oq-online\""}});
        }
    }
    if (path == QLatin1String("/"))
        return page("readings");
    if (path == QLatin1String("/metrics"))
        return send(c, MHD_HTTP_OK, metricsText(*current()), "text/plain; version=0.0.4; charset=utf-8");
    if (path == QLatin1String("/api/counters"))
        return send(c, MHD_HTTP_OK, countersJson(*current()), "application/json", {{"Cache-Control", "no-store"}});
    if (path == QLatin1String("/api/history") || path == QLatin1String("/export")) {
        if (options.historyPath.isEmpty())
            return sendText(c, MHD_HTTP_NOT_FOUND, "no history is kept");
        const QString serial = target.value(u"counter").value_or(QString());
        const QString range = target.value(u"range").value_or(QStringLiteral("day"));
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (path == QLatin1String("/api/history")) {
            PlotRequest request{serial, target.value(u"mode") == QLatin1String("2") ? 2 : 1, range,
                target.value(u"width").value_or(QStringLiteral("360")).toInt(), language, now};
            QString problem;
            const auto json = plotJson(options.historyPath, request, &problem);
            if (!json)
                return sendText(c, MHD_HTTP_BAD_REQUEST, "unknown range");
            return send(c, MHD_HTTP_OK, *json, "application/json", {{"Cache-Control", "no-store"}});
        }
        // The range the page showed, to the millisecond, so the file holds what was drawn.
        const auto from = parseMs(target.value(u"from").value_or(QString()));
        const auto to = parseMs(target.value(u"to").value_or(QString()));
        const QString format = target.value(u"format").value_or(QStringLiteral("csv"));
        if (!from || !to || *from > *to || (format != QLatin1String("csv") && format != QLatin1String("json")))
            return sendText(c, MHD_HTTP_BAD_REQUEST, "from, to (ms) and format=csv|json are needed");
        const bool json = format == QLatin1String("json");
        const QByteArray type = json ? "application/json" : "text/csv; charset=utf-8";
        QByteArray name = "history";
        for (const QChar ch : serial)
            name += ch.isLetterOrNumber() && ch.unicode() < 128 ? char(ch.unicode()) : '_';
        const QByteArray disposition = "attachment; filename=\"" + name + (json ? ".json\"" : ".csv\"");
        if (head)
            return send(c, MHD_HTTP_OK, {}, type.constData(), {{"Content-Disposition", disposition}});
        const auto snap = current();
        auto stream = ExportStream::start(options.historyPath, serial, *from, *to, json, snap->warningRate, snap->dangerRate);
        if (!stream)
            return sendText(c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many exports at once");
        MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, readExport, stream.get(), endExport);
        if (!r)
            return MHD_NO;
        stream.release();
        MHD_add_response_header(r, "Content-Type", type.constData());
        MHD_add_response_header(r, "Content-Disposition", disposition.constData());
        addSafetyHeaders(r);
        const MHD_Result result = MHD_queue_response(c, MHD_HTTP_OK, r);
        MHD_destroy_response(r);
        return result;
    }
    return sendText(c, MHD_HTTP_NOT_FOUND, "not found");
}

WebServer::WebServer() : d(std::make_unique<State>()) { }

WebServer::~WebServer() { stop(); }

QString WebServer::start(const ServerOptions& options)
{
    stop();
    d->options = options;
    d->token.reset();
    if (!options.tokenFile.isEmpty()) {
        QString why;
        d->token = readToken(options.tokenFile, &why);
        if (!d->token)
            return why;
    } else if (!isLoopback(options.address)) {
        return localized(QStringLiteral("web.token.needed")).arg(options.address);
    }
    d->cert.clear();
    d->key.clear();
    if (options.certFile.isEmpty() != options.keyFile.isEmpty())
        return localized(QStringLiteral("web.tls.both"));
    if (!options.certFile.isEmpty()) {
        QFile cert(options.certFile), key(options.keyFile);
        if (!cert.open(QIODevice::ReadOnly))
            return localized(QStringLiteral("web.tls.unreadable")).arg(options.certFile, cert.errorString());
        if (!key.open(QIODevice::ReadOnly))
            return localized(QStringLiteral("web.tls.unreadable")).arg(options.keyFile, key.errorString());
        d->cert = cert.readAll();
        d->key = key.readAll();
    }

    // Read here, on the caller's thread, so the handlers never touch Qt's resource system.
    initWebResources();
    d->files.clear();
    for (QDirIterator it(QStringLiteral(":/web")); it.hasNext();) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            d->files.insert(it.fileName(), {f.readAll(), contentType(it.fileName())});
    }

    sockaddr_storage address{};
    const QByteArray a = options.address.toLatin1();
    // poll(), not epoll: with epoll, Debian's libmicrohttpd 0.9.75 left connections that a client
    // closed mid-request in CLOSE-WAIT past every timeout until the connection cap was reached.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;
    if (inet_pton(AF_INET, a.constData(), &reinterpret_cast<sockaddr_in*>(&address)->sin_addr) == 1) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(options.port);
    } else if (inet_pton(AF_INET6, a.constData(), &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr) == 1) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(options.port);
        flags |= MHD_USE_IPv6;
    } else {
        return localized(QStringLiteral("web.bad_address")).arg(options.address);
    }
    if (!d->cert.isEmpty())
        flags |= MHD_USE_TLS;
    d->port = options.port;
    d->hosts = allowedHosts(options);
    // TLS options only when asked for: a plain daemon refuses them.
    const char* keyData = d->key.isEmpty() ? nullptr : d->key.constData();
    const char* certData = d->cert.isEmpty() ? nullptr : d->cert.constData();
    d->daemon = MHD_start_daemon(flags, options.port, nullptr, nullptr, handle, d.get(),
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
        MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestMemory,
        MHD_OPTION_THREAD_POOL_SIZE, kThreads,
        MHD_OPTION_NOTIFY_CONNECTION, connectionChanged, nullptr,
        MHD_OPTION_URI_LOG_CALLBACK, keepTarget, nullptr,
        keyData ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, keyData,
        MHD_OPTION_HTTPS_MEM_CERT, certData,
        MHD_OPTION_END);
    if (!d->daemon)
        return localized(QStringLiteral("web.cannot_listen")).arg(options.address).arg(options.port);
    if (const MHD_DaemonInfo* info = MHD_get_daemon_info(d->daemon, MHD_DAEMON_INFO_BIND_PORT))
        d->port = info->port;
    return {};
}

void WebServer::publish(Snapshot snapshot)
{
    auto next = std::make_shared<const Snapshot>(std::move(snapshot));
    std::lock_guard lock(d->mutex);
    d->snapshot = std::move(next);
}

void WebServer::stop()
{
    if (d->daemon)
        MHD_stop_daemon(d->daemon);
    d->daemon = nullptr;
}

bool WebServer::running() const { return d->daemon != nullptr; }

quint16 WebServer::port() const { return d->port; }

QString WebServer::url() const
{
    const QString host = d->options.address.contains(QLatin1Char(':')) ? QLatin1Char('[') + d->options.address + QLatin1Char(']') : d->options.address;
    return QStringLiteral("%1://%2:%3/").arg(d->cert.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"), host).arg(d->port.load());
}

bool parseListen(const QString& text, QString* address, quint16* port)
{
    QString host = QStringLiteral("127.0.0.1"), portText = text;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1String("]:"));
        if (close < 0)
            return false;
        host = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        portText = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return false; // an IPv6 address goes in brackets
    }
    bool ok = false;
    const uint p = portText.toUInt(&ok);
    if (!ok || p > 65535 || host.isEmpty())
        return false;
    in6_addr scratch{};
    const QByteArray h = host.toLatin1();
    if (inet_pton(AF_INET, h.constData(), &scratch) != 1 && inet_pton(AF_INET6, h.constData(), &scratch) != 1)
        return false;
    *address = host;
    *port = quint16(p);
    return true;
}

} // namespace oq::web
