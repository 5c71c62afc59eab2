// The server's parsing of what a client sends, its refusal to start unsafely, and /metrics' shape.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "web/Metrics.h"
#include "web/Request.h"
#include "web/WebServer.h"

namespace {

TEST(WebRequest, TargetsOutsideTheTreeOrBadlyEncodedAreRefused)
{
    const struct {
        const char* raw;
        const char* path; // nullptr: refused
    } cases[] = {
        {"/", "/"},
        {"/static/app.js", "/static/app.js"},
        {"/a%20b", "/a b"},
        {"/x?counter=OQ%2D1&range=day", "/x"},
        {"/static/../etc/passwd", nullptr},
        {"/static/%2e%2e/%2E%2E/etc/passwd", nullptr},
        {"/static/..%2fsecret", nullptr},
        {"/static/%5c..%5csecret", nullptr},
        {"/a%00b", nullptr},
        {"/a%zz", nullptr},
        {"/a%2", nullptr},
        {"/%ff%fe", nullptr},
        {"relative", nullptr},
        {"http://evil/", nullptr},
        {"/a b", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        const auto t = oq::web::parseTarget(c.raw);
        ASSERT_EQ(t.has_value(), c.path != nullptr) << c.raw;
        if (t) {
            EXPECT_EQ(t->path.toStdString(), c.path) << c.raw;
        }
    }
    const auto q = oq::web::parseTarget("/x?counter=OQ%2D1&&range=a+b&flag&counter=second");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->value(u"counter"), QStringLiteral("OQ-1"));
    EXPECT_EQ(q->value(u"range"), QStringLiteral("a b"));
    EXPECT_EQ(q->value(u"flag"), QString());
    EXPECT_FALSE(q->value(u"missing"));
    EXPECT_FALSE(oq::web::parseTarget("/" + std::string(oq::web::kMaxTarget, 'a')));
}

TEST(WebRequest, HostHeaderMustNameThisBoxOnItsPort)
{
    const QStringList allowed{QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("::1"), QStringLiteral("box.local")};
    const struct {
        const char* host;
        bool ok;
    } cases[] = {
        {"localhost:8080", true}, {"LOCALHOST:8080", true}, {"localhost", true}, {"127.0.0.1:8080", true}, {"[::1]:8080", true},
        {"box.local.:8080", true}, {"localhost:8081", false}, {"evil.example:8080", false}, {"127.0.0.1.evil:8080", false},
        {"[::1]x", false}, {"[::1", false}, {"localhost:", false}, {"localhost:80a", false}, {"", false}, {":8080", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(oq::web::hostAllowed(c.host, allowed, 8080), c.ok) << c.host;
}

TEST(WebRequest, LanguageCookieTokenAndListenAddress)
{
    EXPECT_EQ(oq::web::preferredLanguage("de-DE,de;q=0.9,en;q=0.8"), QStringLiteral("de"));
    EXPECT_EQ(oq::web::preferredLanguage("fr-FR, en;q=0.5, de;q=0.4"), QStringLiteral("en"));
    EXPECT_EQ(oq::web::preferredLanguage("fr"), QStringLiteral("en"));
    EXPECT_EQ(oq::web::preferredLanguage("en;q=0.1, de-AT;q=0.7"), QStringLiteral("de"));
    EXPECT_EQ(oq::web::cookieValue("a=1; oq_session=abc; b=2", "oq_session"), "abc");
    EXPECT_FALSE(oq::web::cookieValue("xoq_session=abc", "oq_session"));
    EXPECT_EQ(oq::web::bearerToken("Bearer s3cret"), "s3cret");
    EXPECT_FALSE(oq::web::bearerToken("Basic s3cret"));

    QString address;
    quint16 port = 0;
    EXPECT_TRUE(oq::web::parseListen(QStringLiteral("8080"), &address, &port));
    EXPECT_EQ(address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(port, 8080);
    EXPECT_TRUE(oq::web::parseListen(QStringLiteral("[::]:9000"), &address, &port));
    EXPECT_EQ(address, QStringLiteral("::"));
    for (const char* bad : {"", "99999", "host:80", "::1:80", "0.0.0.0:", "1.2.3:80"})
        EXPECT_FALSE(oq::web::parseListen(QString::fromLatin1(bad), &address, &port)) << bad;
}

TEST(WebServer, AnotherAddressNeedsTheUsersOwnTokenFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("token"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("0123456789abcdef0123\n");
    f.close();
    oq::web::WebServer server;
    oq::web::ServerOptions o;
    o.address = QStringLiteral("0.0.0.0");
    o.port = 0;
    EXPECT_FALSE(server.start(o).isEmpty());
    EXPECT_FALSE(server.running());
    o.tokenFile = path;
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    EXPECT_FALSE(server.start(o).isEmpty()) << "group-readable";
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_EQ(server.start(o), QString());
    EXPECT_TRUE(server.running() && server.port() != 0);
    server.stop();
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("short\n");
    f.close();
    EXPECT_FALSE(server.start(o).isEmpty()) << "a guessable token";
    o.tokenFile.clear();
    o.address = QStringLiteral("127.0.0.1");
    o.certFile = path;
    EXPECT_FALSE(server.start(o).isEmpty()) << "a certificate without its key";
}

TEST(WebMetrics, BaseUnitsAndAnUnpluggedCountersValuesGone)
{
    oq::web::Snapshot s;
    s.counters.push_back({"a", "A\"1", "", "reading", true, 1700000000500, 3.6, 1, "Sv", "warning"});
    s.counters.push_back({"b", "B2", "", "reading", true, 1700000001000, 1500.0, 2, "Sv", "danger"});
    s.counters.push_back({"c", "C3", "", "away", false, 1700000002000, 0.2, 1, "Sv", "normal"});
    const QByteArray text = oq::web::metricsText(s);
    for (const char* line : {"oq_dose_rate_sieverts_per_second{serial=\"A\\\"1\"} 1e-09\n", "oq_dose_sieverts{serial=\"B2\"} 0.0015\n",
             "oq_alarm_level{serial=\"A\\\"1\"} 1\n", "oq_alarm_level{serial=\"B2\"} 2\n",
             "oq_last_reading_timestamp_seconds{serial=\"A\\\"1\"} 1700000000.5\n", "oq_connected{serial=\"C3\"} 0\n",
             "# TYPE oq_connected gauge\n"})
        EXPECT_TRUE(text.contains(line)) << line << "\n" << text.toStdString();
    EXPECT_EQ(text.count("serial=\"C3\""), 1) << text.toStdString();
}

} // namespace
