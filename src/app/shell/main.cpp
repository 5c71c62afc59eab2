// oq-online: the desktop application.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <memory>
#include <optional>
#include <string_view>

#include "app/controller/AppDelegate.h"
#include "app/shell/ApplicationShell.h"
#include "app/shell/Launch.h"
#include "app/windows/MainWindow.h"
#include "app/shell/SystemInformation.h"
#include "platform/StringTable.h"
#include "sim/SimConfig.h"

namespace {
void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("oq-online"));
    QCoreApplication::setApplicationVersion(SystemInformation::appVersion());
}

// Help and version need no display: asked for alone, they are printed without one.
bool asksForTextOnly(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            return false;
        if (arg == "-h" || arg == "-?" || arg == "--help" || arg == "--help-all" || arg == "-v" || arg == "--version")
            return true;
    }
    return false;
}
// The N of "--simulate N", when the argument after the option is a whole number from 0 to the most
// (0: a simulated bus with none plugged in at start).
std::optional<int> simulatedCount(const QStringList& arguments)
{
    const qsizetype at = arguments.indexOf(QStringLiteral("--simulate"));
    if (at < 0 || at + 1 >= arguments.size())
        return std::nullopt;
    bool ok = false;
    const int n = arguments[at + 1].toInt(&ok);
    if (!ok || n < 0 || n > oq::sim::kMaxSimulatedCounters || arguments[at + 1] != QString::number(n))
        return std::nullopt;
    return n;
}
} // namespace

int main(int argc, char** argv)
{
    std::unique_ptr<QCoreApplication> textOnly;
    if (asksForTextOnly(argc, argv)) {
        textOnly = std::make_unique<QCoreApplication>(argc, argv);
        nameApplication();
    }

    // The help follows the user's language, as the window does.
    const auto t = [](const char* key) { return oq::localized(QString::fromLatin1(key)); };
    QCommandLineParser parser;
    parser.setApplicationDescription(t("online.cli.description"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"), t("online.cli.simulate"));
    const QCommandLineOption port(QStringLiteral("port"), t("online.cli.port"), t("online.cli.path"));
    const QCommandLineOption timeScale(QStringLiteral("time-scale"), t("online.cli.time_scale"), t("online.cli.factor"));
    const QCommandLineOption quitAfter(QStringLiteral("quit-after"), t("online.cli.quit_after"), t("online.cli.seconds"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"), t("online.cli.screenshot"), t("online.cli.file"));
    const QCommandLineOption hidden(QStringLiteral("hidden"), t("online.cli.hidden"));
    parser.addOptions({simulate, port, timeScale, quitAfter, screenshot, hidden});
    parser.addPositionalArgument(t("online.cli.file"), t("online.cli.dumps"), t("online.cli.dumps_syntax"));
    if (textOnly)
        parser.process(*textOnly); // prints and exits

    QApplication app(argc, argv);
    nameApplication();
    QApplication::setApplicationDisplayName(QStringLiteral("Orbel-Quist Online"));
    QApplication::setDesktopFileName(QStringLiteral("oq-online"));
    parser.process(app);

    LaunchConfig config;
    config.simulate = parser.isSet(simulate);
    QStringList files = parser.positionalArguments();
    // "--simulate N": the number right after the option is the count, not a file.
    if (const auto n = simulatedCount(QCoreApplication::arguments()); config.simulate && n) {
        config.simulatedCounters = *n;
        files.removeOne(QString::number(*n));
    }
    config.portPath = parser.value(port);
    config.timeScale = parser.isSet(timeScale) ? parser.value(timeScale).toDouble() : 1.0;
    config.quitAfterSeconds = parser.isSet(quitAfter) ? parser.value(quitAfter).toDouble() : 0.0;
    config.screenshotPath = parser.value(screenshot);
    config.hidden = parser.isSet(hidden);
    // Absolute, as a running instance in another folder may be the one to open them.
    for (const QString& file : files)
        config.files << QFileInfo(file).absoluteFilePath();
    return runApplication(app, config);
}
