// The publisher against Debian's mosquitto: oqtool watch as a user runs it, and the publisher
// itself against refusals and a broker that misbehaves.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <set>

#include "TestBroker.h"
#include "common/TestUtil.h"
#include "mqtt/Publisher.h"
#include "platform/Clock.h"

using namespace oq;
using namespace oq::test;

namespace {

const QString mu(QChar(0x03BC));

QProcessEnvironment toolEnvironment(const QString& dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OQ_CLOCK_SCALE"), QStringLiteral("0.05"));
    // Decimal commas everywhere a program might take them from.
    env.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    for (const char* xdg : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
        env.insert(QLatin1String(xdg), dir + QLatin1Char('/') + QLatin1String(xdg));
    env.remove(QStringLiteral("OQ_MQTT_CREDENTIALS"));
    return env;
}

QStringList csvRows(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList rows = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!rows.isEmpty())
        rows.removeFirst(); // the header
    return rows;
}

// The prefix the publisher chose ("oq-online/SERIAL/"), from the first state message.
QString statePrefix(const Subscriber& s)
{
    for (const auto& m : s.messages())
        if (m.topic.startsWith(QLatin1String("oq-online/")) && m.topic.endsWith(QLatin1String("/state")))
            return m.topic.chopped(5);
    return {};
}

} // namespace

// oqtool watch --mqtt under German number formats, with the history on: the newcomer sees the
// retained discovery and `online`; the broker is stopped for 30 s and started again; after Ctrl-C
// every row of the CSV recording has arrived, in order, once after dropping duplicates by time,
// with the same time, value and level. A second run killed with SIGKILL leaves `offline`.
TEST(MqttBroker, EveryReadingArrivesInOrderThroughAnOutageAndAKillLeavesOffline)
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    ASSERT_TRUE(broker.start());
    Subscriber all(broker.port(), "oq-test-all");
    ASSERT_TRUE(waitUntil([&] { return all.subscribed(); }));

    const QString csv = dir.filePath(QStringLiteral("readings.csv"));
    const QStringList args{QStringLiteral("watch"), QStringLiteral("--simulate"), QStringLiteral("--format"), QStringLiteral("csv"),
        QStringLiteral("--output"), csv, QStringLiteral("--db"), dir.filePath(QStringLiteral("history.sqlite3")),
        QStringLiteral("--mqtt"), broker.url()};
    QProcess tool;
    tool.setProcessEnvironment(toolEnvironment(dir.path()));
    tool.start(QStringLiteral(OQTOOL_PATH), args);
    ASSERT_TRUE(waitUntil([&] { return !statePrefix(all).isEmpty(); }, 30)) << tool.readAllStandardError().toStdString();
    const QString prefix = statePrefix(all);
    const QString serial = prefix.section(QLatin1Char('/'), 1, 1);

    {
        Subscriber newcomer(broker.port());
        const QString config = QStringLiteral("homeassistant/sensor/oq-online_%1/%2/config");
        ASSERT_TRUE(waitUntil([&] { return newcomer.messages().size() >= 6; }));
        const struct {
            const char* key;
            QString unit;
            const char* stateClass;
            const char* topic;
        } sensors[] = {{"dose_rate", mu + "Sv/h", "measurement", "dose_rate"}, {"dose", mu + "Sv", "total_increasing", "dose"},
            {"alarm_level", {}, "", "dose_rate"}, {"dose_alarm_level", {}, "", "dose"}};
        std::set<QString> ids;
        for (const auto& [key, unit, stateClass, topic] : sensors) {
            const auto got = newcomer.on(config.arg(serial, QLatin1String(key)));
            ASSERT_EQ(got.size(), 1u) << key;
            EXPECT_TRUE(got[0].retained);
            const QJsonObject c = QJsonDocument::fromJson(got[0].payload).object();
            EXPECT_EQ(c.value("state_topic").toString(), prefix + QLatin1String(topic));
            EXPECT_EQ(c.value("expire_after").toInt(), mqtt::kExpireAfterSeconds) << "a silent counter is not current for ever";
            EXPECT_EQ(c.value("availability_topic").toString(), prefix + "availability");
            EXPECT_EQ(c.value("unit_of_measurement").toString(), unit);
            EXPECT_EQ(c.value("state_class").toString(), QLatin1String(stateClass));
            EXPECT_EQ(c.value("device").toObject().value("identifiers").toArray().at(0).toString(), "oq-online_" + serial);
            EXPECT_EQ(c.value("device").toObject().value("serial_number").toString(), serial);
            ids.insert(c.value("unique_id").toString());
        }
        EXPECT_EQ(ids.size(), 4u);
        const auto online = newcomer.on(prefix + "availability");
        ASSERT_EQ(online.size(), 1u);
        EXPECT_TRUE(online[0].retained);
        EXPECT_EQ(online[0].payload, "online");
    }

    // Thirty modelled seconds without a broker.
    ASSERT_TRUE(waitUntil([&] { return csvRows(csv).size() >= 10; }, 30));
    broker.stop();
    const qsizetype beforeOutage = csvRows(csv).size();
    spin(30 * 0.05); // the tool's scale
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitUntil([&] { return csvRows(csv).size() >= beforeOutage + 40; }, 30));
    ::kill(pid_t(tool.processId()), SIGINT);
    ASSERT_TRUE(tool.waitForFinished(30000));
    const QByteArray toolErr = tool.readAllStandardError();
    EXPECT_EQ(tool.exitCode(), 0) << toolErr.toStdString();
    EXPECT_EQ(toolErr.count("MQTT: "), 4) << "connected, retrying, connected, once each:\n" << toolErr.toStdString();

    const QStringList rows = csvRows(csv);
    ASSERT_GE(rows.size(), beforeOutage + 40);
    std::vector<QJsonObject> states;
    std::set<QString> times;
    int duplicates = 0;
    ASSERT_TRUE(waitUntil([&] { return all.on(prefix + "state").size() >= size_t(rows.size()); }, 10));
    for (const auto& m : all.on(prefix + "state")) {
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(m.payload, &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << m.payload.toStdString();
        if (!times.insert(o.value("time").toString()).second) {
            ++duplicates;
            continue;
        }
        if (!states.empty()) {
            ASSERT_LT(states.back().value("time").toString(), o.value("time").toString()) << "out of order";
        }
        // The value goes out exactly as the CSV writes it.
        const QString row = rows.value(qsizetype(states.size()));
        const QStringList f = row.split(QLatin1Char(','));
        ASSERT_EQ(f.size(), 6) << row.toStdString();
        EXPECT_EQ(o.value("time").toString(), f[0]);
        EXPECT_TRUE(m.payload.contains("\"value\":" + f[1].toUtf8() + ",")) << m.payload.toStdString() << " / " << row.toStdString();
        EXPECT_EQ(o.value("unit").toString(), f[2]);
        EXPECT_EQ(o.value("counter_unit").toString(), f[3]);
        EXPECT_EQ(o.value("level").toString(), f[4]);
        EXPECT_EQ(o.value("serial").toString(), serial);
        EXPECT_EQ(f[5], serial);
        EXPECT_EQ(o.value("mode").toString(), "rate");
        states.push_back(o);
    }
    QStringList missing;
    for (const QString& row : rows)
        if (times.count(row.section(QLatin1Char(','), 0, 0)) == 0)
            missing << row;
    EXPECT_EQ(qsizetype(states.size()), rows.size()) << "readings lost: " << missing.join(QLatin1Char(' ')).toStdString();
    EXPECT_LT(duplicates, 100) << "only what was in flight at the outage may come twice";
    EXPECT_EQ(all.on(prefix + "availability").back().payload, "offline") << "a clean end says so";

    // SIGKILL: the broker sends the last will.
    QProcess killed;
    killed.setProcessEnvironment(toolEnvironment(dir.path()));
    killed.start(QStringLiteral(OQTOOL_PATH), {QStringLiteral("watch"), QStringLiteral("--simulate"), QStringLiteral("--mqtt"), broker.url()});
    ASSERT_TRUE(waitUntil([&] { return all.on(prefix + "availability").back().payload == "online"; }, 30));
    ::kill(pid_t(killed.processId()), SIGKILL);
    killed.waitForFinished(10000);
    ASSERT_TRUE(waitUntil([&] { return all.on(prefix + "availability").back().payload == "offline"; }, 10));
}

// A broker whose certificate the user's own CA signed, as a Home Assistant user sets it up: oqtool
// watch given the CA on its command line, and the window given it in Preferences (its settings
// key), both publish; the window without it names the untrusted certificate in its log.
TEST(MqttBroker, BothProgramsPublishThroughABrokerOfAPrivateCa)
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {QString(), QString(), true});
    ASSERT_TRUE(broker.start());
    Subscriber all(broker.port(), nullptr, {}, {}, broker.path("ca.pem"));
    ASSERT_TRUE(waitUntil([&] { return all.subscribed(); }));
    const QString window = QStringLiteral(ONLINE_PATH);
    const struct {
        const char* name;
        QString program;
        QStringList args;
        QString caSetting; // the window's MqttCaFile
        bool published;
    } cases[] = {
        {"oqtool watch --mqtt-ca", QStringLiteral(OQTOOL_PATH),
            {"watch", "--simulate", "--count", "5", "--mqtt", broker.url(), "--mqtt-ca", broker.path("ca.pem")}, {}, true},
        {"the window with the CA in Preferences", window, {"--simulate"}, broker.path("ca.pem"), true},
        {"the window without it", window, {"--simulate"}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir home;
        QProcessEnvironment env = toolEnvironment(home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("OQ_ONLINE_SEPARATE_INSTANCE"), QStringLiteral("1"));
        {
            QSettings settings(home.filePath(QStringLiteral("XDG_CONFIG_HOME/oq-online/oq-online.conf")), QSettings::IniFormat);
            settings.setValue(QStringLiteral("MqttBroker"), broker.url());
            if (!c.caSetting.isEmpty())
                settings.setValue(QStringLiteral("MqttCaFile"), c.caSetting);
        }
        const std::size_t before = all.count();
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(c.program, c.args + (c.program == window ? QStringList{"--time-scale", "0.05"} : QStringList{}));
        const auto states = [&] {
            const auto got = all.messages();
            return std::count_if(got.begin() + std::ptrdiff_t(before), got.end(), [](const Received& m) { return m.topic.endsWith("/state"); });
        };
        const auto logSays = [&](const char* what) {
            QDirIterator logs(home.filePath(QStringLiteral("XDG_STATE_HOME/oq-online/Logs")), {QStringLiteral("*.log")});
            while (logs.hasNext()) {
                QFile f(logs.next());
                if (f.open(QIODevice::ReadOnly) && f.readAll().contains(what))
                    return true;
            }
            return false;
        };
        if (c.published) {
            EXPECT_TRUE(waitUntil([&] { return states() >= 3; }, 30)) << program.readAllStandardError().toStdString();
        } else {
            EXPECT_TRUE(waitUntil([&] { return logSays("the broker's certificate is not trusted"); }, 30));
        }
        if (c.program == window)
            ::kill(pid_t(program.processId()), SIGTERM);
        ASSERT_TRUE(program.waitForFinished(30000));
        EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
        if (!c.published) {
            EXPECT_EQ(states(), 0);
        }
    }
}

namespace {

struct Outcome {
    std::vector<mqtt::Status> reports;
    quint64 acknowledged = 0;
};

// A publisher given a few readings and `realSeconds` (many retries at this scale).
Outcome publishFor(mqtt::PublisherOptions options, double realSeconds)
{
    options.station = {QStringLiteral("T-1"), QStringLiteral("6.10")};
    std::mutex m;
    Outcome run;
    {
        mqtt::Publisher p(options, {}, [&](const mqtt::Status& s) {
            std::lock_guard lock(m);
            run.reports.push_back(s);
        });
        for (int i = 0; i < 3; ++i)
            p.publish({QStringLiteral("T-1"), 1'700'000'000'000 + i * 1000, 1, 0.12, QStringLiteral("Sv"), 0});
        p.flush(realSeconds);
        run.acknowledged = p.acknowledged();
    }
    return run;
}

} // namespace

// Each way a connection fails is said once however often it is retried (scale 0.01: a retry every
// few real milliseconds at first), and each way it works publishes.
TEST(MqttBroker, RefusalsAreToldOnceAndTheirCauseNamed)
{
    const double scale = oq::clock::scale();
    oq::clock::setScale(0.01);
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("tls"));
    QDir(dir.path()).mkpath(QStringLiteral("auth"));
    TestBroker tls(dir.filePath(QStringLiteral("tls")), {QString(), QString(), true});
    TestBroker auth(dir.filePath(QStringLiteral("auth")), {QStringLiteral("station"), QStringLiteral("right"), false});
    ASSERT_TRUE(tls.start());
    ASSERT_TRUE(auth.start());
    const auto broker = [](const TestBroker& b) { return *mqtt::parseBroker(b.url()); };
    const QString notCa = dir.filePath(QStringLiteral("hostname"));
    QFile hostname(notCa);
    ASSERT_TRUE(hostname.open(QIODevice::WriteOnly) && hostname.write("station\n") == 8);
    hostname.close();
    const auto connections = [](const TestBroker* b) {
        QFile log(b ? b->path("mosquitto.log") : QString());
        return b && log.open(QIODevice::ReadOnly) ? log.readAll().count("New connection from") : 0;
    };

    const struct {
        const char* name;
        mqtt::Broker broker;
        QString caFile;
        mqtt::Credentials credentials;
        mqtt::State state;
        mqtt::Cause cause;
        const TestBroker* server; // whose log counts the attempts: a refusal is not asked again at once
    } cases[] = {
        {"right password", broker(auth), {}, {"station", "right"}, mqtt::State::Connected, mqtt::Cause::None, nullptr},
        {"wrong password", broker(auth), {}, {"station", "wrong"}, mqtt::State::Refused, mqtt::Cause::BadCredentials, &auth},
        {"TLS with our CA", broker(tls), tls.path("ca.pem"), {}, mqtt::State::Connected, mqtt::Cause::None, nullptr},
        {"TLS with the system's CAs", broker(tls), {}, {}, mqtt::State::Refused, mqtt::Cause::CertificateRefused, &tls},
        {"mqtts to a plain port", {true, "127.0.0.1", auth.port()}, tls.path("ca.pem"), {}, mqtt::State::Refused, mqtt::Cause::NotTls, &auth},
        {"mqtt to a TLS port", {false, "127.0.0.1", tls.port()}, {}, {}, mqtt::State::Refused, mqtt::Cause::WantsTls, nullptr},
        {"a CA file that is no certificate", broker(tls), notCa, {}, mqtt::State::Refused, mqtt::Cause::CaFile, nullptr},
        {"the same where nothing listens", {true, "127.0.0.1", freePort()}, notCa, {}, mqtt::State::Refused, mqtt::Cause::CaFile, nullptr},
        {"closed port", *mqtt::parseBroker(QStringLiteral("mqtt://127.0.0.1:%1").arg(freePort())), {}, {}, mqtt::State::Retrying,
            mqtt::Cause::ConnectionRefused, nullptr},
        {"unknown host", *mqtt::parseBroker(QStringLiteral("mqtt://no-such-broker.invalid")), {}, {}, mqtt::State::Retrying,
            mqtt::Cause::UnknownHost, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt::PublisherOptions o;
        o.broker = c.broker;
        o.caFile = c.caFile;
        o.credentials = c.credentials;
        o.maxRetrySeconds = 5; // 50 ms
        const qsizetype before = connections(c.server);
        const Outcome run = publishFor(o, c.state == mqtt::State::Connected ? 10 : 1.0);
        if (c.server) {
            EXPECT_TRUE(waitUntil([&] { return connections(c.server) > before; }, 5));
            EXPECT_EQ(connections(c.server) - before, 1) << "asked again within 100 modelled seconds";
        }
        ASSERT_EQ(run.reports.size(), 1u) << qPrintable(run.reports.back().logText(o.broker));
        EXPECT_EQ(run.reports[0].state, c.state);
        EXPECT_EQ(run.reports[0].cause, c.cause) << qPrintable(run.reports[0].logText(o.broker));
        EXPECT_FALSE(run.reports[0].text(o.broker).isEmpty());
        EXPECT_EQ(run.acknowledged, c.state == mqtt::State::Connected ? 3u : 0u);
    }

    // What waited for a broker that was not there goes on with a publisher that reaches one (the
    // window's publisher after a change of its settings); what the full backlog gave up is counted.
    mqtt::PublisherOptions away;
    away.broker = *mqtt::parseBroker(QStringLiteral("mqtt://127.0.0.1:%1").arg(freePort()));
    away.station = {QStringLiteral("T-2"), {}};
    mqtt::Publisher first(away, std::make_unique<mqtt::MemoryBacklog>(5));
    for (int i = 0; i < 7; ++i)
        first.publish({QStringLiteral("T-2"), 1'700'000'000'000 + i * 1000, 1, 0.1, QStringLiteral("Sv"), 0});
    EXPECT_EQ(first.dropped(), 2u);
    auto waiting = first.stop();
    ASSERT_EQ(waiting->size(), 5u);
    mqtt::PublisherOptions there = away;
    there.broker = broker(auth);
    there.credentials = {QStringLiteral("station"), QStringLiteral("right")};
    mqtt::Publisher second(there, std::move(waiting));
    EXPECT_TRUE(second.flush(10));
    EXPECT_EQ(second.acknowledged(), 5u);
    oq::clock::setScale(scale);
}

// Home Assistant's view, by rendering each sensor's template with jinja2 on what a real broker
// delivers: rate and dose readings interleaved, each sensor follows only its own quantity (value or
// level), and a newcomer (Home Assistant after a restart) finds both current states retained.
TEST(MqttBroker, EachSensorRendersItsOwnQuantityFromTheRealStream)
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    ASSERT_TRUE(broker.start());
    Subscriber all(broker.port(), "oq-test-templates");
    ASSERT_TRUE(waitUntil([&] { return all.subscribed(); }));
    const history::Reading readings[] = {{"J-1", 1, history::Rate, 0.12, "Sv", 0}, {"J-1", 2, history::Rate, 2.5, "Sv", 1},
        {"J-1", 3, history::Dose, 40.5, "Sv", 0}, {"J-1", 4, history::Rate, 12.25, "Sv", 2}, {"J-1", 5, history::Dose, 41, "Sv", 2}};
    mqtt::PublisherOptions o;
    o.broker = *mqtt::parseBroker(broker.url());
    o.station = {QStringLiteral("J-1"), {}};
    {
        mqtt::Publisher p(o);
        for (const auto& r : readings)
            p.publish(r);
        ASSERT_TRUE(p.flush(20));
    }
    Subscriber newcomer(broker.port());
    ASSERT_TRUE(waitUntil([&] { return newcomer.messages().size() >= 7; }));

    // Per sensor: its template and what it is handed in stream order, then as a newcomer.
    QJsonArray jobs;
    QStringList expected;
    const char* const levels[] = {"normal", "warning", "danger"};
    for (const auto& [key, mode] : {std::pair{"dose_rate", history::Rate}, std::pair{"dose", history::Dose},
             std::pair{"alarm_level", history::Rate}, std::pair{"dose_alarm_level", history::Dose}}) {
        const auto config = newcomer.on(QStringLiteral("homeassistant/sensor/oq-online_J-1/%1/config").arg(QLatin1String(key)));
        ASSERT_EQ(config.size(), 1u) << key;
        const QJsonObject c = QJsonDocument::fromJson(config[0].payload).object();
        QJsonArray payloads;
        for (const Subscriber* s : {&all, &newcomer})
            for (const auto& m : s->on(c.value("state_topic").toString()))
                payloads.append(QString::fromUtf8(m.payload));
        jobs.append(QJsonObject{{"template", c.value("value_template")}, {"payloads", payloads}});
        QStringList want;
        for (const auto& r : readings)
            if (r.mode == mode)
                want << (c.contains("state_class") ? QString::number(r.value) : QLatin1String(levels[r.level]));
        expected << (want << want.back()).join(QLatin1Char(' '));
    }
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral(R"(import json, sys, jinja2
env = jinja2.Environment(undefined=jinja2.StrictUndefined)
print("\n".join(" ".join(env.from_string(j["template"]).render(value_json=json.loads(p)) for p in j["payloads"]) for j in json.load(sys.stdin))))")});
    python.write(QJsonDocument(jobs).toJson());
    python.closeWriteChannel();
    ASSERT_TRUE(python.waitForFinished(30000));
    ASSERT_EQ(python.exitCode(), 0) << "python3-jinja2 (scripts/setup): " << python.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromUtf8(python.readAllStandardOutput()).trimmed().toStdString(), expected.join(QLatin1Char('\n')).toStdString());
}

// A broker side that sends what the publisher never asked for: a message on a topic it did not
// subscribe to (with bytes that are no UTF-8), then a packet MQTT does not have. The publisher
// takes neither for more than a broken connection, and ends at once when asked.
TEST(MqttBroker, AHostileBrokerSideBreaksOnlyTheConnection)
{
    const double scale = oq::clock::scale();
    oq::clock::setScale(0.01);
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    int served = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = server.nextPendingConnection();
        ++served;
        QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
            const QByteArray in = s->readAll();
            if (in.isEmpty() || (quint8(in[0]) >> 4) != 1)
                return; // only CONNECT is answered
            QByteArray out = QByteArray::fromHex("20020000"); // CONNACK, accepted
            const QByteArray topic = QByteArray::fromHex("fffe2f23c0");
            const QByteArray payload(300, '\xff');
            out += char(0x30) + QByteArray(1, char(0x80 | ((2 + topic.size() + payload.size()) & 0x7f)))
                + QByteArray(1, char((2 + topic.size() + payload.size()) >> 7)) + QByteArray(1, '\0') + char(topic.size()) + topic
                + payload;
            out += QByteArray::fromHex("00ffffffff7f"); // reserved type, absurd length
            s->write(out);
        });
    });
    std::vector<mqtt::Status> reports;
    std::mutex m;
    {
        mqtt::PublisherOptions o;
        o.broker = *mqtt::parseBroker(QStringLiteral("mqtt://127.0.0.1:%1").arg(server.serverPort()));
        o.station.serial = QStringLiteral("H/1+#");
        mqtt::Publisher p(o, {}, [&](const mqtt::Status& s) {
            std::lock_guard lock(m);
            reports.push_back(s);
        });
        p.publish({o.station.serial, 1'700'000'000'000, 1, 0.1, QStringLiteral("Sv"), 0});
        ASSERT_TRUE(waitUntil([&] { return served >= 3; }, 20)) << "it reconnects";
    }
    // Each connection is told once and its break once, with the cause; never a report per packet.
    ASSERT_GE(reports.size(), 2u);
    EXPECT_LE(reports.size(), std::size_t(2 * served));
    for (std::size_t i = 0; i < reports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reports[i].state, i % 2 ? mqtt::State::Retrying : mqtt::State::Connected);
        if (i % 2) {
            EXPECT_TRUE(reports[i].cause == mqtt::Cause::Protocol || reports[i].cause == mqtt::Cause::ConnectionLost)
                << qPrintable(reports[i].logText({}));
        }
    }

    // One packet announced at 200 MB and sent for real, at 64 MB/s: the publisher stops taking it
    // long before (the kernel's buffers hold some MB on their own).
    QTcpServer flood;
    ASSERT_TRUE(flood.listen(QHostAddress::LocalHost, 0));
    qint64 sent = 0;
    QObject::connect(&flood, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = flood.nextPendingConnection();
        s->write(QByteArray::fromHex("20020000") + QByteArray::fromHex("30ffffdf5f")); // CONNACK, PUBLISH of 200 MB
        auto* pace = new QTimer(s);
        QObject::connect(pace, &QTimer::timeout, s, [s, &sent] {
            if (s->bytesToWrite() < (1 << 20) && sent < (64 << 20) && s->state() == QAbstractSocket::ConnectedState)
                sent += s->write(QByteArray(1 << 16, 'x'));
        });
        pace->start(1);
    });
    mqtt::PublisherOptions o;
    o.broker = *mqtt::parseBroker(QStringLiteral("mqtt://127.0.0.1:%1").arg(flood.serverPort()));
    mqtt::Publisher p(o);
    EXPECT_TRUE(waitUntil([&] { return p.status().cause == mqtt::Cause::Protocol || sent >= (64 << 20); }, 30));
    EXPECT_EQ(p.status().cause, mqtt::Cause::Protocol);
    EXPECT_LT(sent, 24 << 20) << "taken in";

    // A broker that takes the connection and never acknowledges a reading: after 30 s the status
    // says so, rather than "connected" for ever.
    QTcpServer mute;
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&mute, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = mute.nextPendingConnection(); // a CONNECT gets its CONNACK, and nothing after
        QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
            if (s->readAll().startsWith('\x10'))
                s->write(QByteArray::fromHex("20020000"));
        });
    });
    mqtt::PublisherOptions quiet;
    quiet.broker = *mqtt::parseBroker(QStringLiteral("mqtt://127.0.0.1:%1").arg(mute.serverPort()));
    mqtt::Publisher unheard(quiet);
    unheard.publish({QStringLiteral("T-1"), 1'700'000'000'000, 1, 0.1, QStringLiteral("Sv"), 0});
    EXPECT_TRUE(waitUntil([&] { return unheard.status().cause == mqtt::Cause::Unacknowledged; }, 10))
        << qPrintable(unheard.status().logText(quiet.broker));
    EXPECT_EQ(unheard.status().state, mqtt::State::Retrying);
    oq::clock::setScale(scale);
}
