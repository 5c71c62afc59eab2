// oq-online as a user starts it: a real process, a real X server, the simulated counter.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <memory>
#include <utility>
#include <sys/wait.h>
#include <unistd.h>

#include "app/shell/CrashReporter.h"
#include "common/OtherUser.h"
#include "common/TestUtil.h"
#include "platform/AutostartEntry.h"
#include "app/preferences/StartAtLoginBox.h"

namespace {
QString onlineBinary() { return qEnvironmentVariable("OQ_BINARY_DIR") + QStringLiteral("/src/app/oq-online"); }

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString appLog(const QString& logs)
{
    const auto files = QDir(logs).entryList({QStringLiteral("oq-online *.log")}, QDir::Files, QDir::Name);
    return files.isEmpty() ? QString() : QDir(logs).filePath(files.last());
}

// A user session of its own: runtime folder (where the running instance is found), settings,
// logs and history.
struct Session {
    Session()
    {
        QDir(dir.path()).mkdir(QStringLiteral("runtime"));
        QFile::setPermissions(dir.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QProcessEnvironment env() const
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("OQ_ONLINE_SEPARATE_INSTANCE"));
        // The compositor's socket stays where it is, named by its full path.
        const QString wayland = env.value(QStringLiteral("WAYLAND_DISPLAY"));
        if (!wayland.isEmpty() && !wayland.startsWith(QLatin1Char('/')))
            env.insert(QStringLiteral("WAYLAND_DISPLAY"), env.value(QStringLiteral("XDG_RUNTIME_DIR")) + QLatin1Char('/') + wayland);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("runtime")));
        for (const char* name : {"XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
            env.insert(QString::fromLatin1(name), dir.path());
        return env;
    }
    QByteArray log() const { return readAll(appLog(dir.filePath(QStringLiteral("oq-online/Logs")))); }
    bool logShows(const char* text, int times = 1) const
    {
        return oq::test::waitUntil([&] { return log().count(text) >= times; }, 30);
    }
    QTemporaryDir dir;
};

struct Ended {
    int exitCode = -1;
    QString errors;
};

// A launch that is to end by itself: handed over, refused, or a launcher. Its output goes to
// files, as a program it starts outlives it and would die writing into a closed pipe.
Ended launch(const Session& session, const QStringList& args, const QString& program = onlineBinary())
{
    const QString errors = session.dir.filePath(QStringLiteral("launch-errors.txt"));
    QFile::remove(errors);
    QProcess p;
    p.setProcessEnvironment(session.env());
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(errors);
    p.start(program, args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromLocal8Bit(readAll(errors))};
}

// The process that holds `session`'s instance lock, however it was started; 0 without one.
pid_t instanceHolder(const Session& session)
{
    const QString lock = session.dir.filePath(QStringLiteral("runtime/oq-online/instance.lock"));
    QDirIterator procs(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (procs.hasNext()) {
        const QString pid = QFileInfo(procs.next()).fileName();
        if (pid.toInt() <= 0)
            continue;
        QDirIterator fds(QStringLiteral("/proc/%1/fd").arg(pid), QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        while (fds.hasNext())
            if (QFileInfo(fds.next()).symLinkTarget() == lock)
                return pid_t(pid.toInt());
    }
    return 0;
}

// Running, not ended (a zombie waits for a parent that is not us).
bool alive(pid_t pid)
{
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype afterName = stat.lastIndexOf(") ");
    return afterName > 0 && stat.at(afterName + 2) != 'Z';
}
} // namespace

TEST(OnlineProcess, SigtermQuitsThroughTheQuitSequence)
{
    QTemporaryDir state;
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_STATE_HOME"), state.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), state.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), state.path());
    env.insert(QStringLiteral("OQ_ONLINE_SEPARATE_INSTANCE"), QStringLiteral("1")); // beside one the user runs
    p.setProcessEnvironment(env);
    p.start(onlineBinary(), {QStringLiteral("--simulate"), QStringLiteral("--time-scale"), QStringLiteral("0.2")});
    ASSERT_TRUE(p.waitForStarted(10000));
    const QString logs = state.path() + QStringLiteral("/oq-online/Logs");
    const QString deviceLog = logs + QStringLiteral("/device.log");
    // Streaming: the rate command went out and a value line came back.
    ASSERT_TRUE(oq::test::waitUntil([&] { return readAll(deviceLog).contains("R\n"); }, 30))
        << readAll(deviceLog).toStdString();
    oq::test::spin(0.5);
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    // The "X" of the stop is not logged; the in-process end-to-end test sees it reach the counter.
    const QByteArray app = readAll(appLog(logs));
    EXPECT_TRUE(app.contains("Application started Version: ")) << app.toStdString();
    EXPECT_TRUE(app.contains(" on Linux: "));
    EXPECT_TRUE(app.contains("Application should Terminate"));
    EXPECT_TRUE(app.trimmed().endsWith("Application will Terminate")) << app.toStdString();
}

TEST(OnlineProcess, OneInstancePerSessionTakesLaterLaunchesAndOutlivesAKill)
{
    Session session;
    // Two started at the same moment: one runs, the other hands over to it and ends.
    QProcess twins[2];
    for (QProcess& p : twins) {
        p.setProcessEnvironment(session.env());
        p.start(onlineBinary(), {QStringLiteral("--simulate"), QStringLiteral("--time-scale"), QStringLiteral("0.2")});
    }
    ASSERT_TRUE(oq::test::waitUntil([&] { return twins[0].state() == QProcess::NotRunning || twins[1].state() == QProcess::NotRunning; }, 30));
    QProcess& first = twins[0].state() == QProcess::Running ? twins[0] : twins[1];
    const QProcess& second = &first == &twins[0] ? twins[1] : twins[0];
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_TRUE(session.logShows("A later launch handed over to this one")) << session.log().toStdString();
    EXPECT_EQ(session.log().count("Window system: "), 1);

    // A dump named to a later launch opens in the running one; the later launch ends at once.
    const QString dump = session.dir.filePath(QStringLiteral("stored.oqdump"));
    const Ended handedOver = launch(session, {QStringLiteral("--simulate"), dump});
    EXPECT_EQ(handedOver.exitCode, 0) << handedOver.errors.toStdString();
    EXPECT_TRUE(session.logShows("A later launch handed over to this one", 2));
    EXPECT_TRUE(session.log().contains("Opening " + dump.toUtf8() + " for a later launch"));

    const Ended refused = launch(session, {QStringLiteral("--port"), QStringLiteral("/dev/null")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.errors.contains(QStringLiteral("(--simulate)"))) << refused.errors.toStdString();
    EXPECT_TRUE(refused.errors.contains(QStringLiteral("--port /dev/null"))) << refused.errors.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);

    // Killed, it leaves its lock and socket file behind; the next launch runs all the same.
    ::kill(pid_t(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(10000));
    QProcess next;
    next.setProcessEnvironment(session.env());
    next.start(onlineBinary(), {QStringLiteral("--simulate"), QStringLiteral("--time-scale"), QStringLiteral("0.2")});
    ASSERT_TRUE(session.logShows("Window system: ", 2)) << session.log().toStdString();
    EXPECT_EQ(next.state(), QProcess::Running);
    EXPECT_EQ(launch(session, {}).exitCode, 0);
    EXPECT_TRUE(session.logShows("A later launch handed over to this one", 3));
    ::kill(pid_t(next.processId()), SIGTERM);
    ASSERT_TRUE(next.waitForFinished(20000));
    EXPECT_EQ(next.exitCode(), 0);
}

TEST(OnlineProcess, StartAtLoginRunsHiddenAsTheSessionStartsItAndALaterLaunchShowsIt)
{
    Session session;
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    ASSERT_FALSE(gio.isEmpty()) << "gio (libglib2.0-bin) launches desktop entries as a GNOME session does";
    QDir(session.dir.path()).mkdir(QStringLiteral("oq-online"));
    QFile settings(session.dir.filePath(QStringLiteral("oq-online/oq-online.conf")));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[General]\nKeepRunningWhenClosed=true\n");
    settings.close();
    // The characters the Exec line must quote or escape, in the program's path (not "%": GLib looks
    // the program up before it undoes the "%%" the format asks for).
    const QString folder = session.dir.filePath(QStringLiteral("it's \"a\" $HOME `x` \\ (y) & z"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/oq-online");
    ASSERT_TRUE(QFile::link(onlineBinary(), program));

    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", session.dir.path().toLocal8Bit());
    StartAtLoginBox box(nullptr, program);
    EXPECT_FALSE(box.isChecked());
    box.setChecked(true);
    const QString entry = oq::autostart::entryPath();
    EXPECT_EQ(entry, session.dir.filePath(QStringLiteral("autostart/oq-online.desktop")));
    const QByteArray text = readAll(entry);
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nType=Application\n"));
    EXPECT_TRUE(text.contains(" --hidden\n"));
    EXPECT_TRUE(text.contains("\nTryExec=" + program.toUtf8().replace("\\", "\\\\") + '\n')) << text.toStdString();

    const Ended launcher = launch(session, {QStringLiteral("launch"), entry}, gio);
    EXPECT_EQ(launcher.exitCode, 0) << launcher.errors.toStdString();
    ASSERT_TRUE(session.logShows("Started with the window closed; keeping on running")) << session.log().toStdString();
    const pid_t started = instanceHolder(session);
    ASSERT_GT(started, 0);
    // Not our child: ended here by its id, also when a check below fails.
    const std::unique_ptr<void, std::function<void(void*)>> endIt(&session, [started](void*) {
        if (alive(started))
            ::kill(started, SIGKILL);
    });

    EXPECT_EQ(launch(session, {}).exitCode, 0);
    EXPECT_TRUE(session.logShows("A later launch handed over to this one"));
    ::kill(started, SIGTERM);
    EXPECT_TRUE(oq::test::waitUntil([&] { return !alive(started); }, 20));

    box.setChecked(false);
    EXPECT_FALSE(QFileInfo::exists(entry));
    if (oldConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", oldConfig);
}

TEST(OnlineProcess, HelpSpeaksTheUsersLanguage)
{
    for (const auto& [locale, expected] : {std::pair{"en_US.UTF-8", "Use a simulated counter"},
             std::pair{"de_DE.UTF-8", "Einen simulierten Zähler"}}) {
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LANG"), QString::fromLatin1(locale));
        env.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
        // Without any display: the help needs none.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        p.setProcessEnvironment(env);
        p.start(onlineBinary(), {QStringLiteral("--help")});
        ASSERT_TRUE(p.waitForFinished(20000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_EQ(p.exitCode(), 0);
        EXPECT_TRUE(out.contains(QString::fromUtf8(expected))) << locale << ": " << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("--port <"))) << out.toStdString();
    }
}

TEST(CrashReporter, WritesAPrivateReportOnAFatalSignalThatTheNextStartFinds)
{
    OQ_REQUIRE_OTHER_USER();
    QTemporaryDir dir;
    const QString ours = dir.filePath(QStringLiteral("Crashes")); // 0755, as an earlier version made it
    // A folder another user made in a shared one, as the temporary folder once stood in for a home.
    const QByteArray theirs = QFile::encodeName(oq::test::sharedFolder(dir.path()) + QStringLiteral("/Crashes"));
    ASSERT_TRUE(QDir().mkdir(ours) && ::chmod(QFile::encodeName(ours).constData(), 0755) == 0);
    ASSERT_TRUE(oq::test::asOtherUser([&] { return ::mkdir(theirs.constData(), 0777) == 0 && ::chmod(theirs.constData(), 0777) == 0; }));
    for (const QString& folder : {ours, QFile::decodeName(theirs)}) {
        const pid_t child = fork();
        if (child == 0) {
            CrashReporter::start(QStringLiteral("secret"), folder, QStringLiteral("9.9.9 (42)"));
            std::raise(SIGSEGV);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status));
    }
    EXPECT_TRUE(CrashReporter::pendingReports(QFile::decodeName(theirs)).isEmpty());
    const QStringList reports = CrashReporter::pendingReports(ours);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(oq::test::modeOf(ours), 0700u);
    EXPECT_EQ(oq::test::modeOf(reports.first()), 0600u);
    const QByteArray report = readAll(reports.first());
    EXPECT_TRUE(report.contains("version: 9.9.9 (42)")) << report.toStdString();
    EXPECT_TRUE(report.contains("signal: 11 (SEGV)"));
    EXPECT_TRUE(report.contains("backtrace:"));
}

TEST(CrashReporter, DoesNothingWithoutASecret)
{
    QTemporaryDir dir;
    CrashReporter::start(QString(), dir.filePath(QStringLiteral("Crashes")), QStringLiteral("1"));
    EXPECT_FALSE(CrashReporter::isStarted());
    EXPECT_FALSE(QDir(dir.filePath(QStringLiteral("Crashes"))).exists());
}
