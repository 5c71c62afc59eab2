#include "ApplicationShell.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QSocketNotifier>
#include <QTranslator>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/controller/AppDelegate.h"
#include "app/windows/MainWindow.h"
#include "logging/Log.h"
#include "platform/StringTable.h"

bool installQtTranslations(QCoreApplication& app)
{
    const QString language = oq::currentLanguage();
    if (language == QLatin1String("en"))
        return true;
    auto* translator = new QTranslator(&app);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_") + language, folder)) {
        LGLogWarn("No Qt translations for %@ in %@", language, folder);
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

namespace {
int g_signalFds[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalFds[0], &byte, 1);
}
} // namespace

ApplicationShell::ApplicationShell(AppDelegate* controller, MainWindow* window, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_window(window)
{
    if (window)
        connect(window, &MainWindow::quitRequested, this, &ApplicationShell::requestQuit);
    connect(controller, &AppDelegate::replyToApplicationShouldTerminate, this, [this](bool terminate) {
        if (terminate)
            finish();
        else
            m_quitting = false;
    });
}

void ApplicationShell::installSignalHandlers()
{
    if (g_signalFds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0)
        return;
    m_signalNotifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, this);
    connect(m_signalNotifier, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        [[maybe_unused]] const auto n = ::read(g_signalFds[1], buf, sizeof buf);
        requestQuit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void ApplicationShell::requestQuit()
{
    if (m_quitting)
        return;
    m_quitting = true;
    if (m_controller->applicationShouldTerminate() == AppDelegate::TerminateReply::Now)
        finish();
}

void ApplicationShell::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_controller->applicationWillTerminate();
    if (m_window) {
        m_window->allowClose();
        m_window->close();
    }
    emit terminated();
    QCoreApplication::quit();
}
