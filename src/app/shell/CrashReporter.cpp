#include "CrashReporter.h"

#include "logging/LGLogFileManager.h"
#include "platform/SafeFile.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {
std::atomic<bool> g_started{false};
// Everything the handler needs is prepared before a crash: no allocation inside the handler.
char g_folder[4096];
char g_version[128];

void writeAll(int fd, const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= size_t(n);
    }
}

void writeNumber(int fd, long long v)
{
    char buf[32];
    char* p = buf + sizeof buf - 1;
    *p = '\0';
    const bool neg = v < 0;
    unsigned long long u = neg ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        *--p = char('0' + u % 10);
        u /= 10;
    } while (u);
    if (neg)
        *--p = '-';
    writeAll(fd, p);
}

void onFatalSignal(int sig)
{
    char path[4200];
    char stamp[32];
    char* q = stamp + sizeof stamp - 1;
    *q = '\0';
    unsigned long long t = static_cast<unsigned long long>(std::time(nullptr));
    do {
        *--q = char('0' + t % 10);
        t /= 10;
    } while (t);
    std::snprintf(path, sizeof path, "%s/crash-%s-%d.txt", g_folder, q, int(getpid()));
    // A new file only: never through a link or into a file someone put under that name.
    const int fd = g_folder[0] ? ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    if (fd >= 0) {
        writeAll(fd, "oq-online crash report\nversion: ");
        writeAll(fd, g_version);
        writeAll(fd, "\nsignal: ");
        writeNumber(fd, sig);
        writeAll(fd, " (");
        writeAll(fd, sigabbrev_np(sig) ? sigabbrev_np(sig) : "?");
        writeAll(fd, ")\ntime: ");
        writeAll(fd, q);
        writeAll(fd, "\nbacktrace:\n");
        void* frames[64];
        const int n = backtrace(frames, 64);
        backtrace_symbols_fd(frames, n, fd);
        ::close(fd);
    }
    // Let the default action end the process (and make a core dump where enabled).
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}
} // namespace

void CrashReporter::start(const QString& secret, const QString& folder, const QString& version)
{
    if (secret.isEmpty() || g_started.exchange(true))
        return;
    // Reports hold addresses and paths: a folder of the user's alone, or none.
    if (oq::files::makeFolder(folder, oq::files::Privacy::Private))
        std::snprintf(g_folder, sizeof g_folder, "%s", QFile::encodeName(oq::files::resolve(folder)).constData());
    std::snprintf(g_version, sizeof g_version, "%s", version.toUtf8().constData());
    void* warm[1];
    backtrace(warm, 1); // loads the unwinder now, not inside the handler
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
        struct sigaction sa {};
        sa.sa_handler = onFatalSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND | SA_ONSTACK;
        sigaction(sig, &sa, nullptr);
    }
}

bool CrashReporter::isStarted() { return g_started.load(); }

QString CrashReporter::defaultFolder()
{
    const QString logs = LGLogFileManagerDefault::defaultLogsDirectory();
    return logs.isEmpty() ? QString() : QFileInfo(logs).dir().filePath(QStringLiteral("Crashes"));
}

QStringList CrashReporter::pendingReports(const QString& folder)
{
    QStringList out;
    if (folder.isEmpty())
        return out;
    const auto entries = QDir(folder).entryInfoList({QStringLiteral("crash-*.txt")}, QDir::Files, QDir::Time);
    for (const auto& e : entries)
        out << e.absoluteFilePath();
    return out;
}
