#include <gtest/gtest.h>

#include <QPushButton>
#include <QTemporaryDir>

#include "app/controller/AppDelegate.h"
#include "common/TestUtil.h"
#include "platform/Clock.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "TestDevice.h"

using namespace oq;

namespace {
// The controller with its two buttons and a recording device factory; no monitor, no log files.
class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock::setScale(0.01);
        SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
        controller = std::make_unique<AppDelegate>();
        controller->rateButton = &rate;
        controller->doseButton = &dose;
        rate.setCheckable(true);
        dose.setCheckable(true);
        OQAppDelegate::LaunchOptions o;
        o.setUpLogging = false;
        o.startMonitor = false;
        controller->setLaunchOptions(o);
        controller->setDeviceFactory([this] {
            auto d = makeDevice<TestDevice>();
            made.push_back(d);
            return d;
        });
        controller->applicationDidFinishLaunching();
    }
    void TearDown() override
    {
        controller.reset();
        clock::setScale(1.0);
    }

    std::shared_ptr<TestDevice> arrive()
    {
        controller->monitorFoundNewDevice(nullptr);
        return made.back();
    }
    // Lets 1 s of modelled time (plus slack) pass.
    static void passSecond() { test::spin(0.05); }

    QTemporaryDir dir;
    QPushButton rate, dose;
    std::unique_ptr<AppDelegate> controller;
    std::vector<std::shared_ptr<TestDevice>> made;
};
} // namespace

TEST_F(ControllerTest, ReadyCounterGetsTheConfiguredModeOnceAfterOneSecond)
{
    dose.setChecked(true);
    auto d = arrive();
    passSecond();
    EXPECT_TRUE(d->calls.isEmpty()); // still reading its information

    d->setBusy(false);
    EXPECT_TRUE(rate.isChecked());
    EXPECT_FALSE(dose.isChecked());
    EXPECT_TRUE(d->calls.isEmpty()); // not before the second has passed
    ASSERT_TRUE(test::waitUntil([&] { return !d->calls.isEmpty(); }, 2));
    passSecond();
    EXPECT_EQ(d->calls, QStringList{QStringLiteral("startRateMode")});
}

TEST_F(ControllerTest, DoseModeSettingSetsTheButtonsAndStartsDose)
{
    SettingsStore::shared().setInteger(settings::OnlineMode, 2);
    auto d = arrive();
    d->setBusy(false);
    EXPECT_TRUE(dose.isChecked());
    EXPECT_FALSE(rate.isChecked());
    ASSERT_TRUE(test::waitUntil([&] { return !d->calls.isEmpty(); }, 2));
    EXPECT_EQ(d->calls, QStringList{QStringLiteral("startDoseMode")});
}

TEST_F(ControllerTest, OtherModeValuesStartNothing)
{
    SettingsStore::shared().setInteger(settings::OnlineMode, 0);
    auto d = arrive();
    d->setBusy(false);
    passSecond();
    passSecond();
    EXPECT_TRUE(d->calls.isEmpty());
}

TEST_F(ControllerTest, PressesInAnyOrderEndInOneStartOfTheLastChoice)
{
    auto d = arrive();
    // A press while the counter reads its information only stores the choice: no stop that
    // could disturb the exchange, and the buttons show it at once.
    controller->onlineModeChanged(&dose);
    EXPECT_TRUE(d->calls.isEmpty());
    EXPECT_TRUE(dose.isChecked());
    EXPECT_FALSE(rate.isChecked());
    d->setBusy(false);
    ASSERT_TRUE(test::waitUntil([&] { return !d->calls.isEmpty(); }, 2));
    EXPECT_EQ(d->calls, QStringList{QStringLiteral("startDoseMode")});

    // Rate, dose, dose, rate in quick succession: one stop, then the last choice once.
    d->calls.clear();
    for (auto* button : {&rate, &dose, &dose, &rate})
        controller->onlineModeChanged(button);
    EXPECT_EQ(d->calls, QStringList{QStringLiteral("stopOnlineMode")});
    EXPECT_TRUE(rate.isChecked());
    EXPECT_FALSE(dose.isChecked());
    d->completeStop();
    passSecond();
    EXPECT_EQ(d->calls, (QStringList{QStringLiteral("stopOnlineMode"), QStringLiteral("startRateMode")}));

    // A press while another exchange holds the online mode waits for its end.
    d->calls.clear();
    controller->holdOnlineMode();
    controller->onlineModeChanged(&dose);
    passSecond();
    EXPECT_TRUE(d->calls.isEmpty());
    controller->releaseOnlineMode();
    ASSERT_TRUE(test::waitUntil([&] { return !d->calls.isEmpty(); }, 2));
    EXPECT_EQ(d->calls, QStringList{QStringLiteral("startDoseMode")});
}

TEST_F(ControllerTest, AModeSwitchStartsOnlyTheDeviceItStopped)
{
    auto first = arrive();
    first->setBusy(false);
    ASSERT_TRUE(test::waitUntil([&] { return first->calls.size() == 1; }, 2));
    controller->onlineModeChanged(&dose);
    controller->monitorRemovedDevice(nullptr); // pulled out while the stop runs

    auto second = arrive();
    second->setBusy(false);
    ASSERT_TRUE(test::waitUntil([&] { return !second->calls.isEmpty(); }, 2));
    first->completeStop();
    test::spin(0.1); // past the switch's wait limit too
    EXPECT_EQ(first->calls, (QStringList{QStringLiteral("startRateMode"), QStringLiteral("stopOnlineMode")}));
    // One reading loop: the second counter's own start, in the mode now configured.
    EXPECT_EQ(second->calls, QStringList{QStringLiteral("startDoseMode")});
}

TEST_F(ControllerTest, WithoutADeviceOnlyTheSettingChanges)
{
    controller->onlineModeChanged(&dose);
    EXPECT_EQ(SettingsStore::shared().integerForKey(settings::OnlineMode), 2);
    controller->onlineModeChanged(this->controller.get()); // any other sender: nothing
    EXPECT_EQ(SettingsStore::shared().integerForKey(settings::OnlineMode), 2);
    auto d = arrive();
    d->setBusy(false);
    ASSERT_TRUE(test::waitUntil([&] { return !d->calls.isEmpty(); }, 2));
    EXPECT_EQ(d->calls, QStringList{QStringLiteral("startDoseMode")});
}

TEST_F(ControllerTest, QuitWaitsOnlyForADeviceThatHasStreamed)
{
    EXPECT_EQ(controller->applicationShouldTerminate(), AppDelegate::TerminateReply::Now);
    auto d = arrive();
    EXPECT_EQ(controller->applicationShouldTerminate(), AppDelegate::TerminateReply::Now);
    EXPECT_FALSE(d->calls.contains(QStringLiteral("stopOnlineMode")));

    d->setOnlineMode(true);
    bool replied = false;
    QObject::connect(controller.get(), &AppDelegate::replyToApplicationShouldTerminate, [&](bool t) { replied = t; });
    EXPECT_EQ(controller->applicationShouldTerminate(), AppDelegate::TerminateReply::Later);
    EXPECT_EQ(d->calls.last(), QStringLiteral("stopOnlineMode"));
    EXPECT_FALSE(replied);
    d->completeStop();
    EXPECT_TRUE(replied);
}

TEST_F(ControllerTest, QuitGoesAheadWhenTheStopNeverCompletes)
{
    auto d = arrive();
    d->setOnlineMode(true);
    bool replied = false;
    QObject::connect(controller.get(), &AppDelegate::replyToApplicationShouldTerminate, [&](bool t) { replied = t; });
    EXPECT_EQ(controller->applicationShouldTerminate(), AppDelegate::TerminateReply::Later);
    EXPECT_TRUE(test::waitUntil([&] { return replied; }, 3));
}

TEST_F(ControllerTest, RemovalDropsTheDeviceAndASecondArrivalReplacesTheFirst)
{
    auto first = arrive();
    first->setBusy(false);
    auto second = arrive();
    EXPECT_EQ(controller->device(), second);
    EXPECT_FALSE(first->calls.contains(QStringLiteral("stopOnlineMode")));
    passSecond();
    passSecond();
    // The delayed start goes to the device that is current when the delay ends, but not while it
    // reads its information: it starts once it is ready.
    EXPECT_TRUE(first->calls.isEmpty());
    EXPECT_TRUE(second->calls.isEmpty());
    second->setBusy(false);
    ASSERT_TRUE(test::waitUntil([&] { return !second->calls.isEmpty(); }, 2));
    passSecond();
    EXPECT_EQ(second->calls, QStringList{QStringLiteral("startRateMode")});

    controller->monitorRemovedDevice(nullptr); // any removal drops the device, without a stop
    EXPECT_EQ(controller->device(), nullptr);
    EXPECT_EQ(second->calls.size(), 1);

    auto plain = makeDevice<TestDevice>(false);
    controller->setDevice(plain);
    controller->monitorRemovedDevice(nullptr); // not a USB device: kept
    EXPECT_EQ(controller->device(), plain);
}

TEST_F(ControllerTest, AFailedDeviceIsStartedAgainAfterEachBusyFalse)
{
    auto d = arrive();
    d->setFailed(true);
    d->setBusy(false);
    ASSERT_TRUE(test::waitUntil([&] { return d->calls.size() == 1; }, 2));
    d->setBusy(false); // the start failed again
    ASSERT_TRUE(test::waitUntil([&] { return d->calls.size() == 2; }, 2));
    EXPECT_EQ(d->calls, (QStringList{QStringLiteral("startRateMode"), QStringLiteral("startRateMode")}));
}

TEST_F(ControllerTest, CancelTransferCancelsTheDevicesProgress)
{
    controller->cancelTransfer(); // no device: nothing
    auto d = arrive();
    controller->cancelTransfer(); // no progress record: nothing
    auto p = std::make_shared<ProgressRecord>();
    d->setProgress(p);
    controller->cancelTransfer();
    EXPECT_TRUE(p->isCancelled());
}
