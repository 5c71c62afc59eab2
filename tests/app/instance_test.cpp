// The hand-over between launches: which later launch the running one serves, and what crosses the
// socket, including what a stranger might write there.
#include <gtest/gtest.h>

#include <QDir>
#include <QLocalSocket>
#include <QTemporaryDir>

#include "app/shell/SingleInstance.h"
#include "common/OtherUser.h"
#include "common/TestUtil.h"
#include "platform/StringTable.h"

namespace {
LaunchRequest sim() { return {true, {}, {}, false}; }
LaunchRequest port(const char* path) { return {false, QString::fromLatin1(path), {}, false}; }
LaunchRequest usb() { return {}; }
} // namespace

TEST(LaunchRequest, ALaterLaunchNamingAnotherCounterIsRefused)
{
    struct Case {
        const char* name;
        LaunchRequest running, later;
        bool refused;
    };
    const Case cases[] = {
        {"plain launch, simulated running", sim(), usb(), false},
        {"plain launch, port running", port("/dev/ttyUSB0"), usb(), false},
        {"same simulation", sim(), sim(), false},
        {"same port", port("/dev/ttyUSB0"), port("/dev/ttyUSB0"), false},
        {"other port", port("/dev/ttyUSB0"), port("/dev/ttyUSB1"), true},
        {"port while watching USB", usb(), port("/dev/ttyUSB0"), true},
        {"simulation while watching USB", usb(), sim(), true},
        {"simulation while on a port", port("/dev/ttyUSB0"), sim(), true},
        {"port while simulating", sim(), port("/dev/ttyUSB0"), true},
        {"files and hidden change nothing", sim(), {false, {}, {QStringLiteral("/a.txt")}, true}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.running.refuses(c.later), c.refused) << c.name;
}

TEST(LaunchRequest, CrossesTheSocketWholeAndAnythingElseIsNoRequest)
{
    const LaunchRequest request{false, QStringLiteral("/dev/oq-counter"),
        {QStringLiteral("/home/u/dumps/ä b.txt"), QStringLiteral("/tmp/\"x\"\n.txt")}, true};
    const auto back = LaunchRequest::decode(request.encode());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->portPath, request.portPath);
    EXPECT_EQ(back->files, request.files);
    EXPECT_TRUE(back->hidden);
    EXPECT_FALSE(back->simulate);
    EXPECT_TRUE(request.encode().endsWith('\n'));
    EXPECT_EQ(request.encode().count('\n'), 1); // one line, whatever the paths hold

    const auto reply = LaunchReply::decode(LaunchReply{true, sim()}.encode());
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->accepted);
    EXPECT_TRUE(reply->running.simulate);

    for (const char* junk : {"", "{", "[]", "null", "{\"simulate\":true}", "{\"simulate\":1,\"port\":\"\",\"files\":[],\"hidden\":false}",
             "{\"simulate\":true,\"port\":\"\",\"files\":[3],\"hidden\":false}", "\xff\xfe"}) {
        EXPECT_FALSE(LaunchRequest::decode(QByteArray(junk))) << junk;
        EXPECT_FALSE(LaunchReply::decode(QByteArray(junk))) << junk;
    }
}

TEST(SingleInstance, ALaterLaunchIsAnsweredAndAStrangerCannotStopIt)
{
    QTemporaryDir dir;
    SingleInstance running(dir.filePath(QStringLiteral("oq-online")));
    ASSERT_EQ(running.start(sim()).kind, SingleInstance::Outcome::Running);
    QList<LaunchRequest> served;
    running.setHandler([&](const LaunchRequest& later) {
        served << later;
        return LaunchReply{!sim().refuses(later), sim()};
    });

    // Peers that send garbage, too much, or nothing at all are dropped; the instance goes on.
    const QString socketPath = dir.filePath(QStringLiteral("oq-online/instance"));
    for (const QByteArray& junk : {QByteArray("not json\n"), QByteArray(100 * 1024, 'x'), QByteArray()}) {
        QLocalSocket stranger;
        stranger.connectToServer(socketPath);
        ASSERT_TRUE(stranger.waitForConnected(2000));
        stranger.write(junk);
        stranger.flush();
        if (!junk.isEmpty()) {
            EXPECT_TRUE(oq::test::waitUntil([&] { return stranger.state() == QLocalSocket::UnconnectedState; }, 5));
        }
    }

    // The later launch blocks while it waits, so it runs on a thread of its own.
    const auto ask = [&](const LaunchRequest& request) {
        SingleInstance later(dir.filePath(QStringLiteral("oq-online")));
        SingleInstance::Outcome outcome;
        std::unique_ptr<QThread> thread(QThread::create([&] { outcome = later.start(request, 5000); }));
        thread->start();
        EXPECT_TRUE(oq::test::waitUntil([&] { return thread->isFinished(); }, 10));
        return outcome;
    };
    const auto accepted = ask({false, {}, {QStringLiteral("/x.txt")}, false});
    EXPECT_EQ(accepted.kind, SingleInstance::Outcome::HandedOver);
    EXPECT_TRUE(accepted.reply.accepted);
    const auto refused = ask(port("/dev/ttyUSB0"));
    EXPECT_EQ(refused.kind, SingleInstance::Outcome::HandedOver);
    EXPECT_FALSE(refused.reply.accepted);
    EXPECT_TRUE(refused.reply.running.simulate);
    ASSERT_EQ(served.size(), 2);
    EXPECT_EQ(served[0].files, QStringList{QStringLiteral("/x.txt")});

    // While quitting (no handler), a later launch gets no answer rather than a wrong one, and
    // says so where a launch from the desktop's menu is seen.
    running.setHandler(nullptr);
    SingleInstance later(dir.filePath(QStringLiteral("oq-online")));
    QString told;
    EXPECT_EQ(handOverToRunningInstance(later, usb(), [&](const QString& text) { told = text; }, 300), 1);
    EXPECT_EQ(told, oq::localized(QStringLiteral("online.instance.no_answer")));
}

TEST(SingleInstance, ARuntimeFolderOfAnotherUserIsNeitherTrustedNorChanged)
{
    OQ_REQUIRE_OTHER_USER();
    QTemporaryDir dir;
    const QString shared = oq::test::sharedFolder(dir.path());
    const QString victim = dir.filePath(QStringLiteral("victim"));
    ASSERT_TRUE(QDir().mkdir(victim));
    const QByteArray s = QFile::encodeName(shared), v = QFile::encodeName(victim);
    ASSERT_EQ(::chmod(v.constData(), 0755), 0);
    ASSERT_TRUE(oq::test::asOtherUser([&] {
        return ::symlink(v.constData(), (s + "/linked").constData()) == 0 && ::mkdir((s + "/made").constData(), 0755) == 0;
    }));
    // Their link to a folder of ours, a folder they made first, none at all; then folders of ours.
    ASSERT_TRUE(QDir().mkdir(dir.filePath(QStringLiteral("ours")))); // 0755 by the umask: made private
    for (const auto& [folder, runs] : {std::pair{shared + QStringLiteral("/linked"), false}, {shared + QStringLiteral("/made"), false},
             {QString(), false}, {shared + QStringLiteral("/ours"), true}, {dir.filePath(QStringLiteral("ours")), true}}) {
        SingleInstance instance(folder);
        EXPECT_EQ(instance.start(sim(), 300).kind, runs ? SingleInstance::Outcome::Running : SingleInstance::Outcome::Alone)
            << folder.toStdString();
        EXPECT_EQ(instance.problem().isEmpty(), runs) << folder.toStdString();
        EXPECT_TRUE(!runs || oq::test::modeOf(folder) == 0700u) << folder.toStdString();
    }
    EXPECT_EQ(oq::test::modeOf(victim), 0755u);
    EXPECT_TRUE(QDir(victim).isEmpty());
}
