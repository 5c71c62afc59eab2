// One application against a hostile counter for a (scaled) while: random bytes, lines that never
// end, the wrong line speed, answers out of order, silence, torrents of values, and a memory dump or
// calibration answer that never ends while the user keeps asking for the protocol, one after the
// other. The application stays responsive, its memory stays bounded, its dropped devices go away,
// an endless answer ends the transfer with an error, and a good counter plugged in afterwards is
// shown as usual.
//
// OQ_HOSTILE_SECONDS sets the modelled length (default 540 s, each kind for 60 s); OQ_HOSTILE_SCALE
// the time scale. A run longer than the default needs OQ_SOAK=1, or it reports itself skipped.
#include <gtest/gtest.h>

#include <QPushButton>

#include <cstdlib>
#include <functional>
#include <random>

#include "AppUnderTest.h"
#include "app/controller/DeviceExchanges.h"
#include "app/menus/DeviceMenu.h"
#include "app/controller/ErrorPresenter.h"
#include "common/SimCounters.h"
#include "device/DeviceError.h"
#include "readings/ValueTransformers.h"

using namespace oq;
using namespace oq::sim;
using oq::soak::AppUnderTest;
using oq::soak::LoopWatch;
using oq::soak::Resources;

namespace {

constexpr double kPhaseSeconds = 60;
constexpr double kSampleSeconds = 10;

QByteArray randomBytes(std::mt19937& rng, int maxCount)
{
    std::uniform_int_distribution<int> count(1, maxCount), byte(0, 255);
    QByteArray bytes;
    for (int n = count(rng); n > 0; --n)
        bytes += char(byte(rng));
    return bytes;
}

struct Hostility {
    const char* name;
    std::function<std::shared_ptr<SimCounter>(uint32_t seed)> make;
    bool downloads = false; // the user asks for the protocol instead of switching modes
};

// `command` starts dump lines at about the line rate that never end ("b" after its header).
std::shared_ptr<SimCounter> endlessAnswer(uint32_t seed, unsigned char command)
{
    CounterConfig c = oq::test::steadyCounter(0.2);
    c.seed = seed;
    c.profile.kind = ProfileSpec::Script;
    c.profile.script = {QStringLiteral("00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF42")};
    c.valueInterval = 0.0015; // 68 characters at 460800 baud
    auto counter = std::make_shared<SimCounter>(c);
    counter->setCommand(command, [command](SimCounter::Context& ctx) {
        if (command == 'b')
            ctx.send("\r\nFFFF 0 0\r\n");
        ctx.startStream(Mode::OnlineRate);
    });
    return counter;
}

const Hostility kHostilities[] = {
    {"random bytes",
        [](uint32_t seed) {
            CounterConfig c = oq::test::steadyCounter(0.2);
            c.seed = seed;
            c.startMode = Mode::OnlineRate;
            c.valueInterval = 0.05;
            c.faults.garbage = 1.0;
            auto counter = std::make_shared<SimCounter>(c);
            auto rng = std::make_shared<std::mt19937>(seed);
            for (int command = 0; command < 256; ++command)
                counter->setCommand(uchar(command), [rng](SimCounter::Context& ctx) { ctx.send(randomBytes(*rng, 400)); });
            return counter;
        }},
    {"lines that never end",
        [](uint32_t seed) {
            CounterConfig c = oq::test::steadyCounter(0.2);
            c.seed = seed;
            c.startMode = Mode::OnlineRate;
            c.valueInterval = 0.005;
            c.faults.noLineEnds = true;
            auto counter = std::make_shared<SimCounter>(c);
            counter->setCommand('v', [](SimCounter::Context& ctx) { ctx.send(QByteArray(20000, 'v')); });
            return counter;
        }},
    {"wrong line speed",
        [](uint32_t seed) {
            CounterConfig c = oq::test::steadyCounter(0.2);
            c.seed = seed;
            c.baud = 115200; // neither of the speeds the link tries
            c.startMode = Mode::OnlineRate;
            c.valueInterval = 0.1;
            return std::make_shared<SimCounter>(c);
        }},
    {"answers out of order",
        [](uint32_t seed) {
            CounterConfig c = oq::test::steadyCounter(0.2);
            c.seed = seed;
            c.startMode = Mode::OnlineRate;
            if (seed % 2)
                c.faults.stopDelay = 1e9; // "X" and "P" never stop the stream
            auto counter = std::make_shared<SimCounter>(c);
            counter->setCommand('P', [](SimCounter::Context& ctx) { ctx.send("\r\n" + ctx.versionRecord().toLatin1() + "\r\n"); });
            counter->setCommand('v', [](SimCounter::Context& ctx) { ctx.send("\r\nPC-Mode gestartet\r\n0,120 uSv/h\r\n"); });
            counter->setCommand('X', [](SimCounter::Context& ctx) { ctx.send("PC-Mode gestartet\r\n"); });
            counter->setCommand('R', [](SimCounter::Context& ctx) { ctx.send("\r\nPC-Mode beendet\r\nDatum und Zeit gestellt\r\n"); });
            counter->setCommand('D', [](SimCounter::Context& ctx) { ctx.send(ctx.versionRecord().toLatin1() + "\r\n"); });
            return counter;
        }},
    {"silence",
        [](uint32_t seed) {
            CounterConfig c = oq::test::steadyCounter(0.2);
            c.seed = seed;
            c.faults.silent = true;
            return std::make_shared<SimCounter>(c);
        }},
    {"torrent of values",
        [](uint32_t seed) {
            CounterConfig c = oq::test::steadyCounter(0.2);
            c.seed = seed;
            c.profile.kind = ProfileSpec::Walk;
            c.profile.seed = seed;
            c.valueInterval = 0.02;
            return std::make_shared<SimCounter>(c);
        }},
    {"cut and garbled lines",
        [](uint32_t seed) {
            CounterConfig c = oq::test::steadyCounter(0.2);
            c.seed = seed;
            c.faults.garbage = 0.3;
            c.faults.cutLine = 6;
            c.faults.resumeAfterCut = true;
            c.valueInterval = 0.2;
            return std::make_shared<SimCounter>(c);
        }},
    {"endless dump", [](uint32_t seed) { return endlessAnswer(seed, 'b'); }, true},
    {"endless section", [](uint32_t seed) { return endlessAnswer(seed, 'c'); }, true},
};
constexpr int kKinds = int(sizeof kHostilities / sizeof kHostilities[0]);

double envNumber(const char* name, double fallback)
{
    const QByteArray v = qgetenv(name);
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok && d > 0 ? d : fallback;
}

} // namespace

TEST(HostileCounter, TheApplicationStaysResponsiveAndBounded)
{
    const double total = envNumber("OQ_HOSTILE_SECONDS", kKinds * kPhaseSeconds);
    if (total > kKinds * kPhaseSeconds && qgetenv("OQ_SOAK") != "1")
        GTEST_SKIP() << "the long hostile run needs OQ_SOAK=1";
    AppUnderTest app(envNumber("OQ_HOSTILE_SCALE", 0.01));
    LoopWatch loop;
    ErrorPresenter::s_autoAnswer = -1; // error boxes close at once
    DeviceExchanges* exchanges = app.window->deviceMenu()->exchanges();
    exchanges->setSaveLocationChooser([](const QString&) { return QString(); });
    int endlessEnded = 0;
    QObject::connect(exchanges, &DeviceExchanges::failed, [&](const ErrorRecord& e) {
        endlessEnded += e.code() == device::DeviceErrorEndlessAnswer;
    });
    const int phases = std::max(1, int(total / kPhaseSeconds));

    std::vector<double> rss;
    double worstGap = 0;
    int maxDeviceThreads = 0;
    for (int phase = 0; phase < phases; ++phase) {
        const Hostility& h = kHostilities[phase % kKinds];
        SCOPED_TRACE(::testing::Message() << "phase " << phase << ": " << h.name);
        const quint64 entry = SimBus::instance().plug(h.make(uint32_t(1000 + phase)));
        const int endlessBefore = endlessEnded;
        for (int sample = 0; sample < int(kPhaseSeconds / kSampleSeconds); ++sample) {
            loop.reset();
            app.spinModelled(kSampleSeconds);
            worstGap = std::max(worstGap, loop.worstGap());
            const Resources r = Resources::now();
            rss.push_back(r.rssMiB);
            maxDeviceThreads = std::max(maxDeviceThreads, r.deviceThreads);
            if (h.downloads) {
                exchanges->downloadProtocol();
                continue;
            }
            // The user keeps pressing the mode buttons.
            QPushButton* button = (phase + sample) % 2 ? app.window->doseButton() : app.window->rateButton();
            button->click();
        }
        if (h.downloads) {
            // A loaded machine (or a sanitizer build) can need longer than the phase to read the
            // bound's worth of characters; what matters is that the transfer ends there.
            AppUnderTest::runUntil([&] { return endlessEnded > endlessBefore; }, 120);
            EXPECT_GT(endlessEnded, endlessBefore) << "no transfer ended at the bound";
        }
        SimBus::instance().unplug(entry);
        ASSERT_TRUE(app.waitModelled([&] { return !app.controller->device() && !app.showsValue(); }, 10))
            << "shows \"" << app.shownText().toStdString() << "\" after the unplug";
    }

    // Worker threads of dropped devices end once their reads fail.
    EXPECT_TRUE(app.waitModelled([] { return Resources::countDeviceThreads() == 0; }, 30)) << Resources::now().deviceThreads;
    EXPECT_LE(maxDeviceThreads, 2);

    // The application still works: a good counter is shown as usual.
    app.window->rateButton()->click();
    const QString expected = DoseRateValueTransformer(QStringLiteral("Sv")).transformedValue(0.25);
    SimBus::instance().plug(std::make_shared<SimCounter>(oq::test::steadyCounter(0.25)));
    EXPECT_TRUE(app.waitModelled([&] { return app.shownText() == expected; }, 15)) << app.shownText().toStdString();

    const size_t half = rss.size() / 2;
    const double firstHalf = *std::max_element(rss.begin(), rss.begin() + qsizetype(std::max<size_t>(half, 1)));
    const double overall = *std::max_element(rss.begin(), rss.end());
    std::cout << phases << " phases; worst main-loop gap " << worstGap << " s; resident " << rss.front() << " → "
              << overall << " MiB (first half peak " << firstHalf << " MiB)" << std::endl;
    EXPECT_LT(worstGap, 2.0) << "the window stopped answering";
    if (!soak::kSanitized) {
        EXPECT_LT(overall, firstHalf + 16) << "memory grows while the hostile counter goes on";
    }
    EXPECT_LT(overall, soak::kSanitized ? 2048 : 400);
    ErrorPresenter::s_autoAnswer = -2;
}
