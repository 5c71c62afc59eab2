// Thousands of random user actions on the whole application (controller, device, windows) against
// one simulated counter that checks the protocol as it goes: mode presses (double and quick ones
// too), plugging and unplugging, downloads, cancels, clock settings, quitting and starting again.
// Whatever the order, the counter never gets a command while another answer is outstanding, never
// two streams, every stream ends with "X", and the window ends up showing the last chosen mode
// with exactly one stream in that mode.
//
// Each run takes a fresh seed and prints it. OQ_STRESS_SEED=N replays one seed; OQ_STRESS_SEEDS
// (runs, default 1), OQ_STRESS_ACTIONS (per run) and OQ_STRESS_SCALE (the clock) size the run.
#include <gtest/gtest.h>

#include <QAction>
#include <QPushButton>
#include <QTemporaryDir>

#include <iostream>
#include <random>

#include "AppUnderTest.h"
#include "app/controller/DeviceExchanges.h"
#include "app/menus/DeviceMenu.h"
#include "app/controller/ErrorPresenter.h"
#include "app/windows/ProtocolWindow.h"
#include "app/controller/QuitWait.h"
#include "app/windows/TransferProgressDialog.h"
#include "common/SimCounters.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

using namespace oq;
using namespace oq::sim;
using oq::soak::AppUnderTest;

namespace {

long envNumber(const char* name, long fallback)
{
    bool ok = false;
    const long v = qEnvironmentVariable(name).toLong(&ok);
    return ok ? v : fallback;
}

double envScale()
{
    bool ok = false;
    const double v = qEnvironmentVariable("OQ_STRESS_SCALE").toDouble(&ok);
    return ok && v > 0 ? v : (soak::kSanitized ? 0.03 : 0.01);
}

class StressRun {
public:
    StressRun(uint32_t seed, double scale)
        : m_rng(seed)
        , m_scale(scale)
    {
        ErrorPresenter::s_autoAnswer = -1; // errors are shown and dismissed, never waited for
        m_counter = std::make_shared<SimCounter>(test::steadyCounter(0.12));
        launch();
        plug();
    }
    ~StressRun()
    {
        m_app.reset();
        SimBus::instance().unplugAll();
        ErrorPresenter::s_autoAnswer = -2;
    }

    // One random action, then a random pause so the next lands in any phase of the exchanges.
    void act()
    {
        const int pick = std::uniform_int_distribution<int>(0, 99)(m_rng);
        if (pick < 30)
            press(coin() ? 1 : 2);
        else if (pick < 40) {
            const int mode = coin() ? 1 : 2; // a double click
            press(mode);
            press(mode);
        } else if (pick < 45) {
            for (int mode : {1, 2, 1, 2}) // a hesitant user, all within a blink
                if (coin())
                    press(mode);
        } else if (pick < 52)
            m_plugged ? unplug() : plug();
        else if (pick < 60)
            m_downloads += startExchange([this] { return exchanges()->downloadProtocol(); });
        else if (pick < 66)
            cancel();
        else if (pick < 70)
            m_clockSettings += startExchange([this] { return exchanges()->setClockToComputerTime(); });
        else if (pick < 72) {
            quitAndRestart();
            ++m_restarts;
        }
        else
            wait(std::uniform_real_distribution<double>(0.0, 3.0)(m_rng));
        tidyWindows();
        wait(std::uniform_real_distribution<double>(0.0, 0.3)(m_rng));
    }

    // The end: the counter plugged in, left alone; it must stream the last chosen mode, once.
    ::testing::AssertionResult settlesInTheLastChosenMode()
    {
        if (!m_plugged)
            plug();
        const long long mode = SettingsStore::shared().integerForKey(settings::OnlineMode);
        if (mode != m_lastChosen)
            return ::testing::AssertionFailure() << "setting " << mode << ", last chosen " << m_lastChosen;
        const Mode stream = mode == 1 ? Mode::OnlineRate : Mode::OnlineDose;
        const QString unit = mode == 1 ? QStringLiteral("μSv/h") : QStringLiteral("μSv");
        auto& window = *m_app->window;
        const auto shown = [&] {
            const QString text = m_app->shownText();
            const auto d = m_app->controller->device();
            return d && !d->busy() && m_counter->mode() == stream && m_app->showsValue() && text.endsWith(unit)
                && (mode != 2 || !text.endsWith(QStringLiteral("/h"))) && window.rateButton()->isChecked() == (mode == 1)
                && window.doseButton()->isChecked() == (mode == 2);
        };
        // Generous in real time: a loaded machine may starve the scaled clock's threads.
        if (!AppUnderTest::runUntil(shown, 60))
            return failure("does not settle in mode " + std::to_string(mode));
        // Exactly one stream: nothing more is sent to the counter while it streams.
        const qsizetype commands = m_counter->commandLog().size();
        m_app->spinModelled(8);
        if (m_counter->commandLog().size() != commands || !shown())
            return failure("the stream does not stay alone");
        return ::testing::AssertionSuccess();
    }

    // Quitting at the end stops the stream with "X".
    ::testing::AssertionResult quitsCleanly()
    {
        if (!quit())
            return failure("the device's work does not end after the quit");
        if (m_counter->mode() == Mode::OnlineRate || m_counter->mode() == Mode::OnlineDose)
            return failure("the counter still streams after the quit");
        if (m_counter->commandLog().last() != QStringLiteral("X"))
            return failure("the last command is not X");
        return ::testing::AssertionSuccess();
    }

    QStringList violations() const { return m_violations + m_counter->protocolViolations(); }
    // What the run did, for the record.
    QString summary() const
    {
        return QStringLiteral("%1 downloads started, %2 completed; %3 clock settings started, %4 completed; %5 restarts; %6 bytes from the counter")
            .arg(m_downloads).arg(m_downloaded).arg(m_clockSettings).arg(m_clocksSet).arg(m_restarts).arg(m_counter->bytesSent());
    }
    QString commandTail() const { return m_counter->commandLog().mid(std::max<qsizetype>(0, m_counter->commandLog().size() - 60)).join(QLatin1Char(' ')); }
    QString logTail() const { return m_app ? m_app->logTail(40) : QString(); }

private:
    bool coin() { return std::uniform_int_distribution<int>(0, 1)(m_rng) == 1; }
    void wait(double modelled) { m_app->spinModelled(modelled); }
    DeviceExchanges* exchanges() const { return m_app->window->deviceMenu()->exchanges(); }

    ::testing::AssertionResult failure(const std::string& what) const
    {
        return ::testing::AssertionFailure() << what << "\nbreaches: " << violations().mid(0, 5).join(QLatin1String("; ")).toStdString()
                                             << "\nshown \"" << m_app->shownText().toStdString()
                                             << "\"\ncounter: " << commandTail().toStdString() << "\n"
                                             << logTail().toStdString();
    }

    void launch()
    {
        m_app = std::make_unique<AppUnderTest>(m_scale, m_dir.path());
        m_app->setUnplugOnExit(false);
        exchanges()->setSaveLocationChooser([](const QString&) { return QString(); });
        QObject::connect(exchanges(), &DeviceExchanges::protocolDownloaded, [this] { ++m_downloaded; });
        QObject::connect(exchanges(), &DeviceExchanges::clockSet, [this] { ++m_clocksSet; });
    }

    // Half the users wait for the end of what they asked for; the others go on clicking.
    int startExchange(const std::function<bool()>& start)
    {
        if (!start())
            return 0;
        if (coin())
            m_app->waitModelled([this] { return !exchanges()->isRunning(); }, 40);
        return 1;
    }

    void press(int mode)
    {
        m_lastChosen = mode;
        (mode == 1 ? m_app->window->rateButton() : m_app->window->doseButton())->click();
    }

    void plug()
    {
        m_entry = SimBus::instance().plug(m_counter);
        m_plugged = true;
    }

    void unplug()
    {
        SimBus::instance().unplug(m_entry);
        m_plugged = false;
    }

    // The progress dialog's button while a transfer runs, the menu's Cancel otherwise.
    void cancel()
    {
        auto* dialog = exchanges()->progressDialog();
        if (dialog && dialog->isVisible() && coin())
            dialog->cancelButton()->click();
        else
            m_app->window->cancelTransferAction()->trigger();
    }

    void tidyWindows()
    {
        for (auto* w : m_app->window->deviceMenu()->protocolWindows())
            w->close();
    }

    // The quit sequence as the shell runs it; presses while it waits change only the setting.
    // False when the device's work never ends.
    bool quit()
    {
        auto& controller = *m_app->controller;
        bool replied = false;
        QObject::connect(&controller, &AppDelegate::replyToApplicationShouldTerminate, [&](bool) { replied = true; });
        if (controller.applicationShouldTerminate() == AppDelegate::TerminateReply::Later) {
            while (!replied && coin()) {
                press(coin() ? 1 : 2);
                wait(0.2);
            }
            AppUnderTest::runUntil([&] { return replied; }, 60);
        }
        const auto device = controller.device();
        finishDeviceWork(controller, AppDelegate::kQuitWaitLimit);
        controller.applicationWillTerminate();
        // The process would end here. The quit's bound is modelled time, which a loaded machine
        // can outrun; the next application must still not meet this one's work on the counter.
        return !device || AppUnderTest::runUntil([&] { return !device->hasWorkInFlight(); }, 60);
    }

    void quitAndRestart()
    {
        if (!quit())
            m_violations << QStringLiteral("the device's work does not end after a quit");
        if (m_counter->mode() == Mode::OnlineRate || m_counter->mode() == Mode::OnlineDose)
            m_violations << QStringLiteral("the counter still streams after a quit");
        m_app.reset();
        launch();
    }

    QTemporaryDir m_dir;
    std::mt19937 m_rng;
    double m_scale;
    std::shared_ptr<SimCounter> m_counter;
    std::unique_ptr<AppUnderTest> m_app;
    quint64 m_entry = 0;
    bool m_plugged = false;
    long long m_lastChosen = 1; // the default
    QStringList m_violations;
    int m_downloads = 0, m_downloaded = 0, m_clockSettings = 0, m_clocksSet = 0, m_restarts = 0;
};

} // namespace

TEST(ExchangeStress, UserActionsInAnyOrderKeepOneExchangeOnTheCounter)
{
    const long fixedSeed = envNumber("OQ_STRESS_SEED", -1);
    const long runs = fixedSeed >= 0 ? 1 : envNumber("OQ_STRESS_SEEDS", 1);
    const long actions = envNumber("OQ_STRESS_ACTIONS", soak::kSanitized ? 1000 : 1500);
    const double scale = envScale();
    std::random_device entropy;
    for (long run = 0; run < runs; ++run) {
        const uint32_t seed = fixedSeed >= 0 ? uint32_t(fixedSeed) : entropy();
        std::cout << "stress seed " << seed << " (replay: OQ_STRESS_SEED=" << seed << ")" << std::endl;
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " (replay with OQ_STRESS_SEED=" << seed << ")");
        StressRun stress(seed, scale);
        for (long i = 0; i < actions; ++i)
            stress.act();
        EXPECT_TRUE(stress.settlesInTheLastChosenMode());
        std::cout << stress.summary().toStdString() << std::endl;
        EXPECT_TRUE(stress.quitsCleanly());
        const QStringList violations = stress.violations();
        EXPECT_TRUE(violations.isEmpty()) << violations.mid(0, 10).join(QLatin1Char('\n')).toStdString();
        if (::testing::Test::HasFailure())
            break;
    }
}
