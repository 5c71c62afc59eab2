// The one file-writing helper against a second local user: links planted where the programs write,
// folders another user made, and the modes the user's files get.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <fcntl.h>

#include "common/OtherUser.h"
#include "platform/SafeFile.h"

using oq::files::Privacy;

TEST(SafeFile, NothingOfTheUsersIsReachedThroughAnotherUsersLinkOrFolder)
{
    OQ_REQUIRE_OTHER_USER();
    const mode_t oldMask = ::umask(022);
    QTemporaryDir dir;
    const QString shared = oq::test::sharedFolder(dir.path()) + QLatin1Char('/'), mine = dir.filePath(QStringLiteral("mine/"));
    const auto write = [](const QString& path) {
        return oq::files::writeAtomically(path, [](QIODevice& f) { return f.write("new\n") == 4; }, Privacy::Shared);
    };
    const auto append = [](const QString& path, Privacy privacy = Privacy::Shared) {
        const int fd = oq::files::openFile(path, O_WRONLY | O_APPEND | O_CREAT, privacy);
        return fd >= 0 && ::write(fd, "log\n", 4) == 4 && ::close(fd) == 0;
    };
    const auto contents = [&](const char* name) {
        QFile f(mine + QLatin1String(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    ASSERT_TRUE(QDir().mkpath(mine) && append(mine + QStringLiteral("notes.txt"), Privacy::Private));
    const QByteArray s = QFile::encodeName(shared), m = QFile::encodeName(mine), v = m + "notes.txt";
    ASSERT_TRUE(oq::test::asOtherUser([&] {
        return ::symlink(v.constData(), s + "link") == 0 && ::symlink(m.constData(), s + "folder") == 0 && ::mkdir(s + "theirs", 0777) == 0
            && ::chmod(s + "theirs", 0777) == 0 && ::symlink(v.constData(), s + "theirs/device.log") == 0
            && ::close(::open(s + "planted.csv", O_CREAT | O_WRONLY, 0666)) == 0 && ::open(v.constData(), O_RDONLY) < 0;
    }));
    for (const auto& [name, act] : std::initializer_list<std::pair<const char*, std::function<bool()>>>{
             {"replace through their link in a sticky folder", [&] { return write(shared + QStringLiteral("link")); }},
             {"append through their link", [&] { return append(shared + QStringLiteral("link")); }},
             {"a folder of theirs on the way", [&] { return write(shared + QStringLiteral("folder/notes.txt")); }},
             {"append to their file in a sticky folder", [&] { return append(shared + QStringLiteral("planted.csv")); }},
             {"a log folder they made", [&] { return oq::files::makeFolder(shared + QStringLiteral("theirs/Logs"), Privacy::Private); }},
             {"a link in a log folder they made", [&] { return append(shared + QStringLiteral("theirs/device.log"), Privacy::Private); }}})
        EXPECT_FALSE(act()) << name;
    EXPECT_EQ(contents("notes.txt"), "log\n");

    // The user's own links are followed; a replaced file keeps its mode, a new one has the umask's.
    ASSERT_EQ(::symlink("notes.txt", m + "own"), 0);
    EXPECT_TRUE(write(mine + QStringLiteral("own")) && write(mine + QStringLiteral("new.dump")));
    EXPECT_EQ(contents("notes.txt"), "new\n");
    EXPECT_EQ(oq::test::modeOf(mine + QStringLiteral("notes.txt")), 0600u);
    EXPECT_EQ(oq::test::modeOf(mine + QStringLiteral("new.dump")), 0644u);
    ::umask(oldMask);
}
