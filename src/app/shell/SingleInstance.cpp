#include "app/shell/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "logging/Log.h"
#include "platform/SafeFile.h"
#include "platform/StringTable.h"

namespace {
// A request is a few paths; anything longer is not one of ours.
constexpr qint64 kMaxMessage = 64 * 1024;
// A peer that connects and says nothing is dropped after this.
constexpr int kSilentPeerMs = 5000;

QString socketPath(const QString& folder) { return folder + QStringLiteral("/instance"); }

std::optional<QJsonObject> parseObject(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

QByteArray line(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'; }

QJsonObject requestObject(const LaunchRequest& r)
{
    return {{QStringLiteral("simulate"), r.simulate}, {QStringLiteral("port"), r.portPath},
        {QStringLiteral("files"), QJsonArray::fromStringList(r.files)}, {QStringLiteral("hidden"), r.hidden}};
}

std::optional<LaunchRequest> requestFrom(const QJsonObject& o)
{
    if (!o.value(QStringLiteral("simulate")).isBool() || !o.value(QStringLiteral("port")).isString()
        || !o.value(QStringLiteral("files")).isArray() || !o.value(QStringLiteral("hidden")).isBool())
        return std::nullopt;
    LaunchRequest r;
    r.simulate = o.value(QStringLiteral("simulate")).toBool();
    r.portPath = o.value(QStringLiteral("port")).toString();
    r.hidden = o.value(QStringLiteral("hidden")).toBool();
    for (const QJsonValue& f : o.value(QStringLiteral("files")).toArray()) {
        if (!f.isString())
            return std::nullopt;
        r.files << f.toString();
    }
    return r;
}
} // namespace

QByteArray LaunchRequest::encode() const { return line(requestObject(*this)); }

std::optional<LaunchRequest> LaunchRequest::decode(const QByteArray& json)
{
    const auto o = parseObject(json);
    return o ? requestFrom(*o) : std::nullopt;
}

bool LaunchRequest::refuses(const LaunchRequest& later) const
{
    if (later.simulate)
        return !simulate;
    return !later.portPath.isEmpty() && (simulate || later.portPath != portPath);
}

QString LaunchRequest::counterOptions() const
{
    if (simulate)
        return QStringLiteral("--simulate");
    if (!portPath.isEmpty())
        return QStringLiteral("--port ") + portPath;
    return oq::localized(QStringLiteral("online.instance.usb"));
}

QByteArray LaunchReply::encode() const
{
    return line({{QStringLiteral("accepted"), accepted}, {QStringLiteral("running"), requestObject(running)}});
}

std::optional<LaunchReply> LaunchReply::decode(const QByteArray& json)
{
    const auto o = parseObject(json);
    if (!o || !o->value(QStringLiteral("accepted")).isBool() || !o->value(QStringLiteral("running")).isObject())
        return std::nullopt;
    const auto running = requestFrom(o->value(QStringLiteral("running")).toObject());
    if (!running)
        return std::nullopt;
    return LaunchReply{o->value(QStringLiteral("accepted")).toBool(), *running};
}

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent)
    , m_folder(std::move(folder))
{
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString SingleInstance::defaultFolder()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!QDir::isAbsolutePath(runtime))
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // Never a folder at the root: without a runtime folder there is no instance to find.
    return QDir::isAbsolutePath(runtime) ? runtime + QStringLiteral("/oq-online") : QString();
}

SingleInstance::Lock SingleInstance::tryLock()
{
    if (m_lockFd < 0) {
        const QByteArray path = QFile::encodeName(m_folder + QStringLiteral("/instance.lock"));
        // Close-on-exec: a program we start must not keep the lock alive after us.
        m_lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_lockFd < 0)
            return Lock::Unusable;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0)
        return Lock::Taken;
    // A file system without locks must not make every start wait for an instance that is not there.
    return errno == EWOULDBLOCK ? Lock::Held : Lock::Unusable;
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock, we own the name: a socket file left there is a crashed instance's.
    QLocalServer::removeServer(socketPath(m_folder));
    if (!m_server->listen(socketPath(m_folder))) {
        LGLogWarn("Later launches cannot reach this one: %@", m_server->errorString());
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection())
            serve(socket);
    });
}

void SingleInstance::serve(QLocalSocket* socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kSilentPeerMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kMaxMessage)
                socket->abort();
            return;
        }
        const auto request = LaunchRequest::decode(socket->readLine(kMaxMessage));
        if (!request || !m_handler) {
            socket->abort();
            return;
        }
        socket->write(m_handler(*request).encode());
        socket->disconnectFromServer();
    });
}

SingleInstance::Outcome SingleInstance::start(const LaunchRequest& request, int timeoutMs)
{
    // The folder is checked before anything is made private or put there: a runtime folder that
    // points at another user's folder, or one another user made, is not used.
    if (m_folder.isEmpty()) {
        m_problem = QStringLiteral("XDG_RUNTIME_DIR is not set");
        return {};
    }
    if (!oq::files::makeFolder(m_folder, oq::files::Privacy::Private, &m_problem)) {
        if (errno != EPERM) // the system's reason names no folder; a refusal does
            m_problem = QStringLiteral("%1: %2").arg(m_folder, m_problem);
        return {};
    }
    m_folder = oq::files::resolve(m_folder);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        switch (tryLock()) {
        case Lock::Taken:
            listen();
            return {Outcome::Running, {}};
        case Lock::Unusable:
            return {};
        case Lock::Held:
            break;
        }
        QLocalSocket socket;
        socket.connectToServer(socketPath(m_folder));
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(request.encode());
            while (!socket.canReadLine() && socket.bytesAvailable() <= kMaxMessage
                && socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())))) {
            }
            const auto reply = socket.canReadLine() ? LaunchReply::decode(socket.readLine(kMaxMessage)) : std::nullopt;
            if (reply)
                return {Outcome::HandedOver, *reply};
        }
        if (deadline.hasExpired())
            return {Outcome::NoAnswer, {}};
        // Still starting, or quitting: ask again in a moment.
        QThread::msleep(100);
    }
}

std::optional<int> handOverToRunningInstance(SingleInstance& instance, const LaunchRequest& request,
    const std::function<void(const QString&)>& tell, int timeoutMs)
{
    const auto outcome = instance.start(request, timeoutMs);
    switch (outcome.kind) {
    case SingleInstance::Outcome::Running:
        return std::nullopt;
    case SingleInstance::Outcome::Alone:
        if (!instance.problem().isEmpty())
            std::fprintf(stderr, "%s\n", qPrintable(oq::localized(QStringLiteral("online.instance.folder")).arg(instance.problem())));
        return std::nullopt;
    case SingleInstance::Outcome::NoAnswer: {
        // Started from the desktop's menu, nobody reads standard error.
        const QString text = oq::localized(QStringLiteral("online.instance.no_answer"));
        std::fprintf(stderr, "%s\n", qPrintable(text));
        if (tell)
            tell(text);
        return 1;
    }
    case SingleInstance::Outcome::HandedOver:
        break;
    }
    if (outcome.reply.accepted)
        return 0;
    std::fprintf(stderr, "%s\n",
        qPrintable(oq::localized(QStringLiteral("online.instance.refused"))
                       .arg(outcome.reply.running.counterOptions(), request.counterOptions())));
    return 1;
}
