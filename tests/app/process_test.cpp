// oq-online as a user starts it: a real process, a real X server, the simulated counter.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <utility>
#include <sys/wait.h>
#include <unistd.h>

#include "app/CrashReporter.h"
#include "common/TestUtil.h"

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
} // namespace

TEST(OnlineProcess, SigtermQuitsThroughTheQuitSequence)
{
    QTemporaryDir state;
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_STATE_HOME"), state.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), state.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), state.path());
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

TEST(OnlineProcess, HelpSpeaksTheUsersLanguage)
{
    for (const auto& [locale, expected] : {std::pair{"en_US.UTF-8", "Use a simulated counter"},
             std::pair{"de_DE.UTF-8", "Einen simulierten Zähler"}}) {
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LANG"), QString::fromLatin1(locale));
        env.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        p.start(onlineBinary(), {QStringLiteral("--help")});
        ASSERT_TRUE(p.waitForFinished(20000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_EQ(p.exitCode(), 0);
        EXPECT_TRUE(out.contains(QString::fromUtf8(expected))) << locale << ": " << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("--port <"))) << out.toStdString();
    }
}

TEST(CrashReporter, WritesAReportOnAFatalSignalThatTheNextStartFinds)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("Crashes"));
    const pid_t child = fork();
    if (child == 0) {
        CrashReporter::start(QStringLiteral("secret"), folder, QStringLiteral("9.9.9 (42)"));
        std::raise(SIGSEGV);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    const QStringList reports = CrashReporter::pendingReports(folder);
    ASSERT_EQ(reports.size(), 1);
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
