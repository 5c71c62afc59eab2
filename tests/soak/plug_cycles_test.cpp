// 200 plug and unplug cycles of one application: every counter that stays long enough shows its
// own reading, and descriptors, threads and memory come back to their level afterwards.
#include <gtest/gtest.h>

#include <QPushButton>

#include <random>

#include "AppUnderTest.h"
#include "common/SimCounters.h"
#include "readings/ValueTransformers.h"

using namespace oq;
using namespace oq::sim;
using oq::soak::AppUnderTest;
using oq::soak::Resources;

namespace {

constexpr int kCycles = 200;
constexpr int kWarmUpCycles = 12;

std::shared_ptr<SimCounter> makeCounter(double rate)
{
    return std::make_shared<SimCounter>(oq::test::steadyCounter(rate));
}

QString rateText(double rate) { return DoseRateValueTransformer(QStringLiteral("Sv")).transformedValue(rate); }

class PlugCycles : public ::testing::Test {
protected:
    AppUnderTest app{0.01};
    quint64 entry = 0;

    void plug(const std::shared_ptr<SimCounter>& counter) { entry = SimBus::instance().plug(counter); }
    void unplug() { SimBus::instance().unplug(entry); }
    // The counter's reading reaches the window.
    ::testing::AssertionResult shows(double rate)
    {
        if (app.waitModelled([&] { return app.shownText() == rateText(rate); }, 15))
            return ::testing::AssertionSuccess();
        auto failure = ::testing::AssertionFailure() << "shows \"" << app.shownText().toStdString() << "\", not \""
                                                     << rateText(rate).toStdString() << "\"";
        if (const auto d = app.controller->device())
            failure << "; device busy " << d->busy() << ", failed " << d->failed() << " (" << d->error().toStdString() << ")";
        failure << "\n" << app.logTail().toStdString();
        return failure;
    }
    ::testing::AssertionResult cleared()
    {
        if (app.waitModelled([&] { return !app.controller->device() && !app.showsValue(); }, 10))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "still shows \"" << app.shownText().toStdString() << "\"";
    }
};

} // namespace

TEST_F(PlugCycles, EveryArrivalIsShownAndNothingIsLeftBehind)
{
    std::mt19937 rng(20240501);
    std::uniform_real_distribution<double> exchangeMoment(0.0, 1.8); // the information exchange takes ~1.7 s
    Resources baseline;
    int midStream = 0, duringExchange = 0, duringSwitch = 0;

    for (int i = 0; i < kCycles; ++i) {
        if (i == kWarmUpCycles) {
            ASSERT_TRUE(app.waitModelled([] { return Resources::countDeviceThreads() == 0; }, 10));
            baseline = Resources::now();
        }
        const double rate = 0.1 + 0.01 * (i % 60);
        auto counter = makeCounter(rate);
        SCOPED_TRACE(::testing::Message() << "cycle " << i);

        switch (i % 3) {
        case 0: // unplugged while values stream in
            plug(counter);
            ASSERT_TRUE(shows(rate));
            app.spinModelled(2.5);
            EXPECT_EQ(app.shownText(), rateText(rate));
            unplug();
            ++midStream;
            break;
        case 1: // unplugged during the information exchange, then plugged in again
            plug(counter);
            app.spinModelled(exchangeMoment(rng));
            unplug();
            ASSERT_TRUE(cleared());
            plug(counter);
            ASSERT_TRUE(shows(rate));
            unplug();
            ++duringExchange;
            break;
        case 2: // unplugged while a mode switch waits for the stream to stop
            plug(counter);
            ASSERT_TRUE(shows(rate));
            app.window->doseButton()->click();
            app.spinModelled(0.3);
            unplug();
            ASSERT_TRUE(cleared());
            app.window->rateButton()->click(); // back to the rate for the next counter
            ++duringSwitch;
            break;
        }
        ASSERT_TRUE(cleared());
    }
    EXPECT_EQ(midStream, kCycles / 3 + 1);
    EXPECT_GT(duringExchange, 0);

    // Dropped devices finish their exchanges (a read fails, a restart cannot write) and go.
    ASSERT_TRUE(app.waitModelled([] { return Resources::countDeviceThreads() == 0; }, 20)) << Resources::now();
    app.spinModelled(10);
    const Resources after = Resources::now();
    std::cout << "before: " << baseline << "\nafter:  " << after << std::endl;
    EXPECT_EQ(after.deviceThreads, 0);
    // Idle threads of the background pool linger for a while (each may hold an event descriptor);
    // neither they nor descriptors may pile up with the cycles.
    EXPECT_LE(after.threads, baseline.threads + 4) << "threads pile up";
    EXPECT_LE(after.fds, baseline.fds + std::max(0, after.threads - baseline.threads)) << "descriptors leak: " << Resources::openFiles().toStdString();
    if (!soak::kSanitized) { // the sanitizers hold freed memory back on purpose
        EXPECT_LT(after.rssMiB, baseline.rssMiB + 6) << "memory grows with the cycles";
    }
}
