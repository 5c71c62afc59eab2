#pragma once
// A second local user for the tests of what one user's files let another do: the tests run as
// root (here and in CI), and root becomes uid 65534 in a forked child. Skipped otherwise.
#include <QFile>
#include <QString>

#include <functional>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace oq::test {

constexpr uid_t kOtherUser = 65534;

inline bool canActAsOtherUser() { return geteuid() == 0; }

// `act` as the other user, in a child; only system calls belong in it (no Qt locks after fork).
inline bool asOtherUser(const std::function<bool()>& act)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(setgroups(0, nullptr) == 0 && setresgid(kOtherUser, kOtherUser, kOtherUser) == 0
                    && setresuid(kOtherUser, kOtherUser, kOtherUser) == 0 && act()
                ? 0
                : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A sticky folder everyone writes, as /tmp, in `parent`. The other user may then pass `parent`
// and the folders above it (a test run keeps its temporary folders private).
inline QString sharedFolder(const QString& parent)
{
    const QByteArray shared = QFile::encodeName(parent) + "/shared";
    for (QByteArray up = QFile::encodeName(parent); up.size() > 1; up.truncate(up.lastIndexOf('/'))) {
        struct stat st = {};
        if (::stat(up.constData(), &st) == 0 && st.st_uid == geteuid() && !(st.st_mode & S_IXOTH))
            ::chmod(up.constData(), (st.st_mode & 07777) | S_IXOTH);
    }
    ::mkdir(shared.constData(), 0777);
    ::chmod(shared.constData(), 01777);
    return QFile::decodeName(shared);
}

inline mode_t modeOf(const QString& path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace oq::test

#define OQ_REQUIRE_OTHER_USER()                                                                                        \
    if (!oq::test::canActAsOtherUser())                                                                                \
    GTEST_SKIP() << "needs root, to act as a second user"
