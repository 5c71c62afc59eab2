#pragma once
// A mosquitto of the test's own on a free port of 127.0.0.1, configured in the test's folder, and
// a subscriber that keeps every message it is sent.
#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <mosquitto.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace oq::test {

inline int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs a program to its end; its exit code.
inline int runTool(const QString& program, const QStringList& args, const QString& dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(program, args);
    p.waitForFinished(30000);
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

class TestBroker {
public:
    struct Options {
        QString user;     // set: only this user, with `password`, may connect
        QString password;
        bool tls = false; // a certificate for 127.0.0.1 signed by ca.pem in the folder
    };

    TestBroker(QString dir, Options options)
        : m_dir(std::move(dir))
        , m_options(std::move(options))
        , m_port(freePort())
    {
        QStringList conf{QStringLiteral("listener %1 127.0.0.1").arg(m_port), QStringLiteral("persistence true"),
            QStringLiteral("persistence_location %1/").arg(m_dir), QStringLiteral("max_queued_messages 0"),
            QStringLiteral("log_dest file %1/mosquitto.log").arg(m_dir)};
        if (geteuid() == 0)
            conf << QStringLiteral("user root");
        if (m_options.user.isEmpty()) {
            conf << QStringLiteral("allow_anonymous true");
        } else {
            runTool(QStringLiteral("mosquitto_passwd"),
                {QStringLiteral("-b"), QStringLiteral("-c"), path("passwd"), m_options.user, m_options.password}, m_dir);
            conf << QStringLiteral("allow_anonymous false") << QStringLiteral("password_file %1").arg(path("passwd"));
        }
        if (m_options.tls) {
            makeCertificates();
            conf << QStringLiteral("certfile %1").arg(path("server.pem")) << QStringLiteral("keyfile %1").arg(path("server.key"));
        }
        QFile f(path("mosquitto.conf"));
        if (f.open(QIODevice::WriteOnly))
            f.write((conf.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    }
    ~TestBroker() { stop(); }

    QString path(const char* name) const { return m_dir + QLatin1Char('/') + QLatin1String(name); }
    int port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    QString url() const { return QStringLiteral("%1://127.0.0.1:%2").arg(m_options.tls ? "mqtts" : "mqtt").arg(m_port); }

    // Starts it (again, on the same port); true once it accepts connections.
    bool start()
    {
        m_process.start(QStringLiteral(MOSQUITTO_PATH), {QStringLiteral("-c"), path("mosquitto.conf")});
        if (!m_process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 500; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
            if (s.waitForConnected(100))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(10);
        }
        return false;
    }
    // Stops it as a service manager would (it saves its sessions first).
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    void makeCertificates()
    {
        const QString ec = QStringLiteral("ec_paramgen_curve:prime256v1");
        const auto openssl = [&](QStringList args) { runTool(QStringLiteral("openssl"), args, m_dir); };
        openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=oq test CA"});
        openssl({"req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
            "/CN=127.0.0.1"});
        QFile ext(path("server.ext"));
        if (ext.open(QIODevice::WriteOnly))
            ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        ext.close();
        openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out", "server.pem",
            "-days", "2", "-extfile", "server.ext"});
    }

    QString m_dir;
    Options m_options;
    int m_port;
    QProcess m_process;
};

struct Received {
    QString topic;
    QByteArray payload;
    bool retained = false;
    qint64 receivedMs = 0; // UTC
};

// Subscribes to everything. A `persistent` subscriber's session outlives a restart of the broker,
// so what is published while it reconnects waits for it. With `caFile`, over TLS.
class Subscriber {
public:
    Subscriber(int port, const char* id = nullptr, const QString& user = {}, const QString& password = {}, const QString& caFile = {})
    {
        static const int init = mosquitto_lib_init();
        (void)init;
        m_mosq = mosquitto_new(id, id == nullptr, this);
        if (!user.isEmpty())
            mosquitto_username_pw_set(m_mosq, user.toUtf8().constData(), password.toUtf8().constData());
        if (!caFile.isEmpty())
            mosquitto_tls_set(m_mosq, caFile.toUtf8().constData(), nullptr, nullptr, nullptr, nullptr);
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
        // A session the broker kept has the subscription already; subscribing again while the broker
        // delivers what it queued meanwhile can lose a message.
        mosquitto_connect_with_flags_callback_set(m_mosq, [](mosquitto* m, void* self, int rc, int flags) {
            if (rc != 0)
                return;
            if (!(flags & 1))
                mosquitto_subscribe(m, nullptr, "#", 1);
            static_cast<Subscriber*>(self)->m_connects++;
        });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->m_subscribed = true;
        });
        mosquitto_message_callback_set(m_mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->m_mutex);
            s->m_messages.push_back({QString::fromUtf8(m->topic),
                QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->retain, QDateTime::currentMSecsSinceEpoch()});
        });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_mosq);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    bool subscribed() const { return m_subscribed; }
    std::size_t count() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages.size();
    }
    std::vector<Received> messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<Received> on(const QString& topic) const
    {
        std::vector<Received> out;
        for (auto& m : messages())
            if (m.topic == topic)
                out.push_back(m);
        return out;
    }

private:
    mosquitto* m_mosq = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Received> m_messages;
    std::atomic<bool> m_subscribed{false};
    std::atomic<int> m_connects{0};
};

} // namespace oq::test
