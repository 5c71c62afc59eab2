#include "mqtt/Publisher.h"

#include <QFile>

#include <mosquitto.h>

#include <linux/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "logging/Log.h"
#include "platform/CLocale.h"
#include "platform/Clock.h"
#include "platform/StringTable.h"

namespace oq::mqtt {

namespace {

struct CauseText {
    Cause cause;
    const char* key;     // string table
    const char* english; // log
};

constexpr CauseText kCauses[] = {
    {Cause::None, "", ""},
    {Cause::UnknownHost, "mqtt.cause.unknown_host", "the host name %1 is not known"},
    {Cause::ConnectionRefused, "mqtt.cause.connection_refused", "nothing accepts connections there"},
    {Cause::ConnectionLost, "mqtt.cause.connection_lost", "the connection was lost"},
    {Cause::NoAnswer, "mqtt.cause.no_answer", "the broker does not answer"},
    {Cause::BadCredentials, "mqtt.cause.bad_credentials", "wrong user name or password"},
    {Cause::NotAuthorised, "mqtt.cause.not_authorised", "the broker wants a user name and password"},
    {Cause::CertificateRefused, "mqtt.cause.certificate_refused", "the broker's certificate is not trusted"},
    {Cause::Tls, "mqtt.cause.tls", "TLS failed: %1"},
    {Cause::Protocol, "mqtt.cause.protocol", "the broker broke the MQTT protocol"},
    {Cause::BadPrefix, "mqtt.cause.bad_prefix", "the topic prefix %1 cannot be published to"},
    {Cause::Other, "mqtt.cause.other", "%1"},
    {Cause::NotTls, "mqtt.cause.not_tls", "this port does not speak TLS: use mqtt:// for it"},
    {Cause::WantsTls, "mqtt.cause.wants_tls", "the broker closed the connection without answering: if this port speaks TLS, use mqtts://"},
    {Cause::CaFile, "mqtt.cause.ca_file", "the CA file %1 holds no certificate that can be read"},
    {Cause::Unacknowledged, "mqtt.cause.unacknowledged", "the broker has not acknowledged what was sent for 30 s"},
};

// OpenSSL only says, once connected, that TLS failed, which reads like a port without TLS: a CA
// file that holds no certificate is said as such before anything is sent.
bool holdsCertificate(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.read(16 << 20);
    const QByteArray begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    for (qsizetype at = text.indexOf(begin); at >= 0; at = text.indexOf(begin, at + 1)) {
        const qsizetype stop = text.indexOf(end, at);
        if (stop < 0)
            return false;
        QByteArray body = text.mid(at + begin.size(), stop - at - begin.size());
        body.replace('\r', "").replace('\n', "").replace(' ', "");
        const auto der = QByteArray::fromBase64Encoding(body, QByteArray::AbortOnBase64DecodingErrors);
        if (der && der.decoded.size() > 2 && uchar(der.decoded.at(0)) == 0x30) // a DER SEQUENCE
            return true;
    }
    return false;
}

const CauseText& causeText(Cause c)
{
    for (const auto& t : kCauses)
        if (t.cause == c)
            return t;
    return kCauses[0];
}

QString withDetail(QString text, const QString& detail) { return text.contains(QLatin1String("%1")) ? text.arg(detail) : text; }

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

using Clock = std::chrono::steady_clock;

constexpr double kSteadySeconds = 30.0;
constexpr double kRefusedRetrySeconds = 600.0;

// The project only publishes: a broker has nothing to send but its answer to the connection
// (behind a TLS handshake), short acknowledgements and answers to pings. Beyond this allowance the
// connection ends before the library, which takes a packet's announced length on trust, holds
// hundreds of MB for one. Checked after each of the library's turns, which end whenever the
// socket has nothing more to read: a broker cannot send faster than that for long.
constexpr quint64 kInboundBase = 256 * 1024;
constexpr quint64 kInboundPerMessage = 64; // an acknowledgement, in a TLS record at worst
constexpr quint64 kInboundPerMinute = 1024; // pings

std::optional<quint64> bytesReceived(int socket)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(socket, 6 /* IPPROTO_TCP */, TCP_INFO, &info, &size) != 0
        || size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return std::nullopt;
    return info.tcpi_bytes_received;
}

} // namespace

QString Status::text(const Broker& broker) const
{
    const QString cause = withDetail(localized(QString::fromLatin1(causeText(this->cause).key)), detail);
    switch (state) {
    case State::Connecting:
        return localized(QStringLiteral("mqtt.status.connecting")).arg(broker.text());
    case State::Connected:
        return localized(QStringLiteral("mqtt.status.connected")).arg(broker.text());
    case State::Retrying:
        return localized(QStringLiteral("mqtt.status.retrying")).arg(broker.text(), cause);
    case State::Refused:
        return localized(QStringLiteral("mqtt.status.refused")).arg(broker.text(), cause);
    }
    return {};
}

QString Status::logText(const Broker& broker) const
{
    const QString cause = withDetail(QString::fromLatin1(causeText(this->cause).english), detail);
    switch (state) {
    case State::Connecting:
        return QStringLiteral("connecting to %1").arg(broker.text());
    case State::Connected:
        return QStringLiteral("connected to %1").arg(broker.text());
    case State::Retrying:
        return QStringLiteral("%1: %2; retrying").arg(broker.text(), cause);
    case State::Refused:
        return QStringLiteral("%1 refused: %2").arg(broker.text(), cause);
    }
    return {};
}

QString optionsProblem(const PublisherOptions& o)
{
    QString why;
    if (expandPrefix(o.prefix, o.station, &why).isEmpty())
        return why;
    if (o.discovery && expandPrefix(o.discoveryPrefix, o.station, &why).isEmpty())
        return why;
    return {};
}

struct Publisher::Impl {
    // A message sent and not yet acknowledged; `position` is a reading's, or -1.
    struct InFlight {
        int mid = 0;
        qint64 position = -1;
        bool acked = false;
        double sentAt = 0; // modelled
    };

    PublisherOptions o;
    std::unique_ptr<Backlog> backlog;
    StatusCallback onStatus;
    Topics topics;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::condition_variable progress;
    Status status;
    quint64 acknowledged = 0;

    // Network thread only, for the connection under way.
    std::deque<InFlight> inFlight;
    std::size_t readingsInFlight = 0;
    quint64 messagesSent = 0;
    qint64 lastSent = 0;
    bool connected = false;
    int connackCode = -1;
    bool certificateRefused = false;
    QString tlsWords;

    std::thread thread;

    void run();
    bool session();
    void sendReadings(mosquitto* mosq);
    bool publishOne(mosquitto* mosq, const QString& topic, const QByteArray& payload, bool retain, qint64 position);
    void acked(int mid);
    void report(State state, Cause cause = Cause::None, const QString& detail = {});
    void reportFailure(int rc, int error);
    void sleepFor(double modelledSeconds);
    void drainWake();

    static void onConnect(mosquitto*, void* self, int rc)
    {
        auto* d = static_cast<Impl*>(self);
        d->connackCode = rc;
        d->connected = rc == 0;
    }
    static void onPublish(mosquitto*, void* self, int mid) { static_cast<Impl*>(self)->acked(mid); }
    static void onLog(mosquitto*, void* self, int level, const char* text)
    {
        auto* d = static_cast<Impl*>(self);
        if (!(level & MOSQ_LOG_ERR) || !text)
            return;
        if (std::strstr(text, "certificate verify failed"))
            d->certificateRefused = true;
        if (std::strstr(text, "OpenSSL Error"))
            d->tlsWords = QString::fromUtf8(text).section(QLatin1Char(':'), -1).trimmed();
    }
};

Publisher::Publisher(PublisherOptions options, std::unique_ptr<Backlog> backlog, StatusCallback onStatus)
    : d(std::make_unique<Impl>())
{
    initLibrary();
    d->o = std::move(options);
    d->backlog = backlog ? std::move(backlog) : std::make_unique<MemoryBacklog>();
    d->onStatus = std::move(onStatus);
    d->topics = topicsFor(expandPrefix(d->o.prefix, d->o.station));
    d->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->thread = std::thread([this] { d->run(); });
}

Publisher::~Publisher()
{
    stop();
    close(d->wakeFd);
}

std::unique_ptr<Backlog> Publisher::stop()
{
    if (d->thread.joinable()) {
        d->stopping = true;
        const uint64_t one = 1;
        (void)!write(d->wakeFd, &one, sizeof one);
        d->thread.join();
    }
    return std::move(d->backlog);
}

void Publisher::publish(history::Reading reading)
{
    if (!d->backlog)
        return;
    d->backlog->add(std::move(reading));
    const uint64_t one = 1;
    (void)!write(d->wakeFd, &one, sizeof one);
}

bool Publisher::flush(double timeoutSeconds)
{
    std::unique_lock lock(d->mutex);
    return d->progress.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [this] { return !d->backlog || d->backlog->size() == 0; });
}

Status Publisher::status() const
{
    std::lock_guard lock(d->mutex);
    return d->status;
}

std::size_t Publisher::waiting() const { return d->backlog ? d->backlog->size() : 0; }

quint64 Publisher::acknowledged() const
{
    std::lock_guard lock(d->mutex);
    return d->acknowledged;
}

quint64 Publisher::dropped() const { return d->backlog ? quint64(d->backlog->dropped()) : 0; }

const PublisherOptions& Publisher::options() const { return d->o; }

void Publisher::Impl::report(State state, Cause cause, const QString& detail)
{
    const Status next{state, cause, detail};
    {
        std::lock_guard lock(mutex);
        if (next == status)
            return;
        status = next;
    }
    if (state == State::Refused || (state == State::Retrying && cause != Cause::ConnectionLost))
        LGLogWarn("MQTT: %@", next.logText(o.broker));
    else
        LGLogInfo("MQTT: %@", next.logText(o.broker));
    if (onStatus)
        onStatus(next);
}

void Publisher::Impl::drainWake()
{
    uint64_t n = 0;
    (void)!read(wakeFd, &n, sizeof n);
}

void Publisher::Impl::sleepFor(double modelledSeconds)
{
    const auto until = Clock::now() + clock::scaled(modelledSeconds);
    while (!stopping) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return;
        pollfd fd{wakeFd, POLLIN, 0};
        if (poll(&fd, 1, int(std::min<qint64>(left, 60000))) > 0)
            drainWake();
    }
}

void Publisher::Impl::run()
{
    pthread_setname_np(pthread_self(), "OQMqtt");
    if (QString why = optionsProblem(o); !why.isEmpty()) {
        report(State::Refused, Cause::BadPrefix, o.prefix);
        return;
    }
    double retry = o.firstRetrySeconds;
    while (!stopping) {
        // A broker that takes the connection and breaks it at once is retried ever later, like one
        // that refuses it: only a connection that held for a while starts the waits afresh.
        const double began = clock::now();
        if (session() && clock::now() - began >= kSteadySeconds)
            retry = o.firstRetrySeconds;
        if (stopping)
            break;
        // Asking again every few seconds with a wrong password only fills the broker's log.
        const bool refused = [this] {
            std::lock_guard lock(mutex);
            return status.state == State::Refused;
        }();
        sleepFor(refused ? std::max(retry, kRefusedRetrySeconds) : retry);
        retry = std::min(retry * 2, o.maxRetrySeconds);
    }
}

void Publisher::Impl::reportFailure(int rc, int error)
{
    if (connackCode == 4)
        return report(State::Refused, Cause::BadCredentials);
    // Brokers speaking MQTT 3.1.1 answer a wrong password with "not authorised".
    if (connackCode == 5)
        return report(State::Refused, o.credentials.username.isEmpty() ? Cause::NotAuthorised : Cause::BadCredentials);
    if (connackCode > 0)
        return report(State::Refused, Cause::Other, QStringLiteral("CONNACK %1").arg(connackCode));
    if (certificateRefused)
        return report(State::Refused, Cause::CertificateRefused);
    // Closed before any answer: TLS spoken to a plain port, or plain MQTT to a TLS port. A TLS
    // alert is the far end speaking TLS, refusing something else.
    const bool alert = tlsWords.contains(QLatin1String("alert"), Qt::CaseInsensitive);
    const bool closed = rc == MOSQ_ERR_CONN_LOST || (rc == MOSQ_ERR_TLS && !alert)
        || (rc == MOSQ_ERR_ERRNO && (error == ECONNRESET || error == EPIPE || error == 0));
    if (connackCode < 0 && closed)
        return report(State::Refused, o.broker.tls ? Cause::NotTls : Cause::WantsTls);
    switch (rc) {
    case MOSQ_ERR_EAI:
        return report(State::Retrying, Cause::UnknownHost, o.broker.host);
    case MOSQ_ERR_TLS:
        return report(State::Refused, Cause::Tls, tlsWords);
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_DUPLICATE_PROPERTY:
        return report(State::Retrying, Cause::Protocol);
    case MOSQ_ERR_ERRNO:
        if (error == ECONNREFUSED)
            return report(State::Retrying, Cause::ConnectionRefused);
        if (error == ECONNRESET || error == EPIPE)
            return report(State::Retrying, Cause::ConnectionLost);
        return report(State::Retrying, Cause::Other, QString::fromUtf8(cStrerror(error)));
    default:
        return report(State::Retrying, Cause::ConnectionLost);
    }
}

bool Publisher::Impl::session()
{
    std::unique_ptr<mosquitto, void (*)(mosquitto*)> owner(mosquitto_new(nullptr, true, this), mosquitto_destroy);
    mosquitto* mosq = owner.get();
    if (!mosq) {
        report(State::Retrying, Cause::Other, QString::fromUtf8(cStrerror(errno)));
        return false;
    }
    inFlight.clear();
    readingsInFlight = 0;
    messagesSent = 0;
    lastSent = 0;
    connected = false;
    connackCode = -1;
    certificateRefused = false;
    tlsWords.clear();

    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, &Impl::onConnect);
    mosquitto_publish_callback_set(mosq, &Impl::onPublish);
    mosquitto_log_callback_set(mosq, &Impl::onLog);
    // Our window bounds what is in flight; the library is not to hold back any of it.
    mosquitto_max_inflight_messages_set(mosq, 0);
    if (!o.credentials.username.isEmpty())
        mosquitto_username_pw_set(mosq, o.credentials.username.toUtf8().constData(),
            o.credentials.password.isEmpty() ? nullptr : o.credentials.password.toUtf8().constData());
    mosquitto_will_set(mosq, topics.availability.toUtf8().constData(), 7, "offline", 1, true);
    if (o.broker.tls && !o.caFile.isEmpty() && !holdsCertificate(o.caFile)) {
        report(State::Refused, Cause::CaFile, o.caFile);
        return false;
    }
    if (o.broker.tls) {
        const int rc = o.caFile.isEmpty() ? mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                          : mosquitto_tls_set(mosq, o.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            report(State::Refused, Cause::Tls, o.caFile);
            return false;
        }
    }

    const int rc = mosquitto_connect_async(mosq, o.broker.host.toUtf8().constData(), o.broker.port, o.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        reportFailure(rc, errno);
        return false;
    }
    // The library waits with select(), which must not be handed a descriptor past its set.
    if (mosquitto_socket(mosq) >= FD_SETSIZE) {
        report(State::Retrying, Cause::Other, QString::fromUtf8(cStrerror(EMFILE)));
        return false;
    }
    // Little is ever received; a small buffer hands the library a flood in small reads, between
    // which the allowance below is checked.
    const int receiveBuffer = 64 * 1024;
    setsockopt(mosquitto_socket(mosq), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const auto began = Clock::now();
    const auto answerBy = began + clock::scaled(o.answerSeconds);
    bool welcomed = false;
    bool unacknowledged = false; // told
    int idleWrites = 0;
    while (!stopping) {
        if (connected && !welcomed) {
            welcomed = true;
            for (const Message& m : discoveryMessages(o.station, topics, o.discoveryPrefix, o.discovery))
                publishOne(mosq, m.topic, m.payload, true, -1);
            publishOne(mosq, topics.availability, QByteArrayLiteral("online"), true, -1);
            report(State::Connected);
        }
        if (connected) {
            sendReadings(mosq);
            // A broker that takes the connection and acknowledges nothing is not "connected" for
            // the readings; the connection is kept, as the acknowledgements may still come.
            const bool overdue = !inFlight.empty() && clock::now() - inFlight.front().sentAt >= o.ackSeconds;
            if (overdue != unacknowledged) {
                unacknowledged = overdue;
                report(overdue ? State::Retrying : State::Connected, overdue ? Cause::Unacknowledged : Cause::None);
            }
        } else if (Clock::now() > answerBy) {
            report(State::Retrying, Cause::NoAnswer);
            return false;
        }
        // While TLS is shaking hands the library may want nothing written yet; a socket that only
        // ever says "writable" must not spin us.
        const bool wantWrite = mosquitto_want_write(mosq) && idleWrites < 3;
        pollfd fds[2] = {{mosquitto_socket(mosq), short(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {wakeFd, POLLIN, 0}};
        const int ready = poll(fds, 2, wantWrite || !inFlight.empty() ? 50 : 1000);
        if (fds[1].revents & POLLIN)
            drainWake();
        idleWrites = ready > 0 && fds[0].revents == POLLOUT ? idleWrites + 1 : 0;
        const int loop = mosquitto_loop(mosq, 0, 1);
        const int error = errno;
        if (loop != MOSQ_ERR_SUCCESS || connackCode > 0) {
            reportFailure(loop, error);
            return welcomed;
        }
        const auto received = bytesReceived(mosquitto_socket(mosq));
        const auto minutes = quint64(std::chrono::duration_cast<std::chrono::minutes>(Clock::now() - began).count());
        if (received && *received > kInboundBase + kInboundPerMessage * messagesSent + kInboundPerMinute * minutes) {
            report(State::Retrying, Cause::Protocol);
            return welcomed;
        }
    }
    if (welcomed) {
        // A clean goodbye: the will is not sent, so say it ourselves.
        const auto by = Clock::now() + std::chrono::seconds(1);
        publishOne(mosq, topics.availability, QByteArrayLiteral("offline"), true, -1);
        while (!inFlight.empty() && Clock::now() < by && mosquitto_loop(mosq, 50, 1) == MOSQ_ERR_SUCCESS) {
        }
        mosquitto_disconnect(mosq);
        mosquitto_loop(mosq, 0, 1);
    }
    return welcomed;
}

bool Publisher::Impl::publishOne(mosquitto* mosq, const QString& topic, const QByteArray& payload, bool retain, qint64 position)
{
    int mid = 0;
    if (mosquitto_publish(mosq, &mid, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 1, retain) != MOSQ_ERR_SUCCESS)
        return false;
    inFlight.push_back({mid, position, false, clock::now()});
    ++messagesSent;
    if (position >= 0) {
        ++readingsInFlight;
        lastSent = position;
    }
    return true;
}

void Publisher::Impl::sendReadings(mosquitto* mosq)
{
    while (readingsInFlight < o.window) {
        const auto batch = backlog->after(lastSent, o.window - readingsInFlight);
        if (batch.empty())
            return;
        for (const Waiting& w : batch) {
            const QByteArray json = stateJson(w.reading, o.station, o.displayUnit);
            // The quantity's own retained state first: the reading counts as sent with the stream's.
            if (!publishOne(mosq, topics.of(w.reading.mode), json, true, -1)
                || !publishOne(mosq, topics.state, json, false, w.position))
                return; // the connection is failing; the loop finds out why
        }
    }
}

void Publisher::Impl::acked(int mid)
{
    for (auto& f : inFlight)
        if (f.mid == mid)
            f.acked = true;
    qint64 through = -1;
    quint64 readings = 0;
    while (!inFlight.empty() && inFlight.front().acked) {
        if (inFlight.front().position >= 0) {
            through = inFlight.front().position;
            ++readings;
            --readingsInFlight;
        }
        inFlight.pop_front();
    }
    if (through < 0)
        return;
    {
        // Together, so a flush() that sees the backlog empty also sees the count.
        std::lock_guard lock(mutex);
        backlog->delivered(through);
        acknowledged += readings;
    }
    progress.notify_all();
}

} // namespace oq::mqtt
