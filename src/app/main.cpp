// oq-online: the desktop application.
#include <QApplication>
#include <QCommandLineParser>

#include "app/AppDelegate.h"
#include "app/ApplicationShell.h"
#include "app/Launch.h"
#include "app/MainWindow.h"
#include "app/SystemInformation.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("oq-online"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orbel-Quist Online"));
    QApplication::setApplicationVersion(SystemInformation::appVersion());
    QApplication::setDesktopFileName(QStringLiteral("oq-online"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the live reading of an Orbel-Quist Geiger counter."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
        QStringLiteral("Use a simulated counter on a simulated USB bus (no hardware needed)."));
    const QCommandLineOption port(QStringLiteral("port"),
        QStringLiteral("Talk to the counter on this serial device (e.g. /dev/ttyUSB0 or a pseudo-terminal)."),
        QStringLiteral("PATH"));
    const QCommandLineOption timeScale(QStringLiteral("time-scale"),
        QStringLiteral("Run every pause and time-out at this fraction of real time (testing)."), QStringLiteral("FACTOR"));
    const QCommandLineOption quitAfter(QStringLiteral("quit-after"),
        QStringLiteral("Quit by itself after this many seconds (testing)."), QStringLiteral("SECONDS"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
        QStringLiteral("Save a picture of the main window to FILE just before quitting (with --quit-after)."),
        QStringLiteral("FILE"));
    parser.addOptions({simulate, port, timeScale, quitAfter, screenshot});
    parser.process(app);

    LaunchConfig config;
    config.simulate = parser.isSet(simulate);
    config.portPath = parser.value(port);
    config.timeScale = parser.isSet(timeScale) ? parser.value(timeScale).toDouble() : 1.0;
    config.quitAfterSeconds = parser.isSet(quitAfter) ? parser.value(quitAfter).toDouble() : 0.0;
    config.screenshotPath = parser.value(screenshot);
    return runApplication(app, config);
}
