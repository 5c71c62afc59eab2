// The one file-writing helper against a second local user: links planted where the programs write,
// folders another user made, and the modes the user's files get.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include "common/OtherUser.h"
#include "platform/SafeFile.h"

using oq::files::Privacy;
using oq::test::modeOf;

namespace {
QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool write(const QString& path, Privacy privacy = Privacy::Shared)
{
    return oq::files::writeAtomically(path, [](QIODevice& f) { return f.write("new\n") == 4; }, privacy);
}

bool append(const QString& path, Privacy privacy = Privacy::Shared)
{
    const int fd = oq::files::openFile(path, O_WRONLY | O_APPEND | O_CREAT, privacy);
    const bool ok = fd >= 0 && ::write(fd, "new\n", 4) == 4;
    if (fd >= 0)
        ::close(fd);
    return ok;
}
} // namespace

TEST(SafeFile, NothingOfTheUsersIsReachedThroughAnotherUsersLinkOrFolder)
{
    OQ_REQUIRE_OTHER_USER();
    QTemporaryDir dir;
    const QString shared = oq::test::sharedFolder(dir.path());
    const QString mine = dir.filePath(QStringLiteral("mine"));
    ASSERT_TRUE(QDir().mkpath(mine));
    const QString victim = mine + QStringLiteral("/notes.txt");
    QFile notes(victim);
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly) && notes.write("victim\n") == 7 && notes.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    notes.close();
    const QByteArray s = QFile::encodeName(shared), v = QFile::encodeName(victim), m = QFile::encodeName(mine);
    ASSERT_TRUE(oq::test::asOtherUser([&] {
        return ::symlink(v.constData(), (s + "/link").constData()) == 0 && ::symlink(m.constData(), (s + "/folder").constData()) == 0
            && ::mkdir((s + "/theirs").constData(), 0777) == 0 && ::chmod((s + "/theirs").constData(), 0777) == 0
            && ::symlink(v.constData(), (s + "/theirs/device.log").constData()) == 0
            && ::close(::open((s + "/planted.csv").constData(), O_CREAT | O_WRONLY, 0666)) == 0;
    }));
    // Another user reads nothing private of ours.
    EXPECT_FALSE(oq::test::asOtherUser([&] { return ::open(v.constData(), O_RDONLY) >= 0; }));

    const struct {
        const char* name;
        std::function<bool()> act;
    } refused[] = {
        {"replace through their link in a sticky folder", [&] { return write(shared + QStringLiteral("/link")); }},
        {"append through their link", [&] { return append(shared + QStringLiteral("/link")); }},
        {"a folder of theirs on the way", [&] { return write(shared + QStringLiteral("/folder/notes.txt")); }},
        {"append to their file in a sticky folder", [&] { return append(shared + QStringLiteral("/planted.csv")); }},
        {"a log folder they made", [&] { return oq::files::makeFolder(shared + QStringLiteral("/theirs/Logs"), Privacy::Private); }},
        {"a link in a log folder they made", [&] { return append(shared + QStringLiteral("/theirs/device.log"), Privacy::Private); }},
    };
    for (const auto& c : refused)
        EXPECT_FALSE(c.act()) << c.name;
    EXPECT_EQ(contents(victim), "victim\n");

    // The user's own links are followed; the modes follow the umask, or are private.
    const mode_t oldMask = ::umask(022);
    ASSERT_EQ(::symlink("notes.txt", QFile::encodeName(mine + QStringLiteral("/own")).constData()), 0);
    EXPECT_TRUE(write(mine + QStringLiteral("/own")));
    EXPECT_TRUE(QFileInfo(mine + QStringLiteral("/own")).isSymLink());
    EXPECT_EQ(contents(victim), "new\n");
    EXPECT_EQ(modeOf(victim), 0600u) << "a replaced file keeps its mode";
    EXPECT_TRUE(append(mine + QStringLiteral("/shared.csv")));
    EXPECT_EQ(modeOf(mine + QStringLiteral("/shared.csv")), 0644u);
    ASSERT_EQ(::chmod(m.constData(), 0755), 0);
    EXPECT_TRUE(append(mine + QStringLiteral("/shared.csv"), Privacy::Private));
    EXPECT_EQ(modeOf(mine + QStringLiteral("/shared.csv")), 0600u) << "an old log others could read";
    EXPECT_TRUE(oq::files::makeFolder(mine + QStringLiteral("/a/Logs"), Privacy::Private));
    EXPECT_TRUE(oq::files::makeFolder(mine, Privacy::Private));
    for (const QString& folder : {mine, mine + QStringLiteral("/a"), mine + QStringLiteral("/a/Logs")})
        EXPECT_EQ(modeOf(folder), 0700u) << folder.toStdString();
    ::umask(oldMask);
}
