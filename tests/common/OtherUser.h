#pragma once
// A second local user for the tests of what one user's files let another do. The tests run as
// root (here and in CI), and root can become another uid in a forked child.
#include <QFile>
#include <QString>

#include <functional>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace oq::test {

constexpr uid_t kOtherUser = 65534; // nobody

inline bool canActAsOtherUser() { return geteuid() == 0; }

// Runs `act` as the other user in a child process; its result (true on success). Only system
// calls belong in `act`: the child of a threaded process may not take Qt's locks.
inline bool asOtherUser(const std::function<bool()>& act)
{
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(kOtherUser, kOtherUser, kOtherUser) != 0
            || setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)
            _exit(2);
        _exit(act() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder such as /tmp in `parent` (which the other user is let through): sticky, everyone writes.
inline QString sharedFolder(const QString& parent)
{
    const QByteArray p = QFile::encodeName(parent);
    const QByteArray shared = p + "/shared";
    ::chmod(p.constData(), 0711);
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

// The cases that need a second user are skipped where the run cannot act as one.
#define OQ_REQUIRE_OTHER_USER()                                                                          \
    if (!oq::test::canActAsOtherUser())                                                                  \
    GTEST_SKIP() << "needs root, to act as a second user"
