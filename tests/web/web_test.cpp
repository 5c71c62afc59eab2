// What the real-client tests cannot reach: the listen address as given on a command line, and the
// refusal to listen beyond loopback without the user's own, unguessable token.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "web/WebServer.h"

namespace {

TEST(WebServer, ListenAddressAsGiven)
{
    QString address;
    quint16 port = 0;
    EXPECT_TRUE(oq::web::parseListen(QStringLiteral("8080"), &address, &port));
    EXPECT_EQ(address + QString::number(port), QStringLiteral("127.0.0.18080"));
    EXPECT_TRUE(oq::web::parseListen(QStringLiteral("[::]:9000"), &address, &port));
    EXPECT_EQ(address + QString::number(port), QStringLiteral("::9000"));
    for (const char* bad : {"", "99999", "host:80", "::1:80", "0.0.0.0:", "1.2.3:80"})
        EXPECT_FALSE(oq::web::parseListen(QString::fromLatin1(bad), &address, &port)) << bad;
}

TEST(WebServer, AnotherAddressNeedsTheUsersOwnTokenFile)
{
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("token")));
    const auto write = [&](const char* token, QFile::Permissions mode) {
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(token);
        f.close();
        f.setPermissions(mode);
    };
    const auto owner = QFile::ReadOwner | QFile::WriteOwner;
    oq::web::WebServer server;
    oq::web::ServerOptions o;
    o.address = QStringLiteral("0.0.0.0");
    o.port = 0;
    EXPECT_FALSE(server.start(o).isEmpty()) << "no token";
    o.tokenFile = f.fileName();
    write("0123456789abcdef0123\n", owner | QFile::ReadGroup);
    EXPECT_FALSE(server.start(o).isEmpty()) << "group-readable";
    write("short\n", owner);
    EXPECT_FALSE(server.start(o).isEmpty()) << "guessable";
    EXPECT_FALSE(server.running());
    write("0123456789abcdef0123\n", owner);
    EXPECT_EQ(server.start(o), QString());
    EXPECT_TRUE(server.running() && server.port() != 0);
    o = {};
    o.certFile = f.fileName();
    EXPECT_FALSE(server.start(o).isEmpty()) << "a certificate without its key";
}

} // namespace
