// The Device menu against the simulated counter under a real X server: protocol download with its
// cancel and its restart of the online mode, the stored dump reopened, the clock setting, and
// pictures of the windows for people to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "app/controller/AppDelegate.h"
#include "app/controller/DeviceExchanges.h"
#include "app/windows/DeviceInfoWindow.h"
#include "app/menus/DeviceMenu.h"
#include "app/controller/ErrorPresenter.h"
#include "app/windows/HistoryStrip.h"
#include "app/windows/MainWindow.h"
#include "app/plots/ProtocolPlot.h"
#include "app/windows/ProtocolWindow.h"
#include "app/controller/QuitWait.h"
#include "app/windows/TransferProgressDialog.h"
#include "common/SimCounters.h"
#include "common/TestUtil.h"
#include "device/ft/FtBackend.h"
#include "device/OQUSBDevice.h"
#include "platform/Clock.h"
#include "parser/OQDeviceInfo.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "sim/SimBus.h"
#include "sim/SimCounter.h"
#include "sim/dump/DumpWriter.h"
#include "SimulatedApplication.h"
#include "TestDevice.h"
#include "app/windows/ColorManager.h"

using namespace oq;
using namespace oq::sim;

namespace {

// A day of one-minute counts with a source passing by: a memory large enough to cancel halfway.
QString largeDump()
{
    DumpSpec spec;
    spec.serial = QStringLiteral("10423");
    spec.events = {DumpEvent::interval(60), DumpEvent::timeMark({2024, 5, 1, 6, 0, 0})};
    for (int i = 0; i < 1440 * 6; ++i) {
        const double distance = (i % 1440 - 700) / 40.0;
        spec.events.push_back(DumpEvent::count(uint64_t(1 + i % 3 + 110 / (1 + distance * distance))));
        if (i % 1440 == 690)
            spec.events.push_back(DumpEvent::flagsSet(DumpEvent::DoseRateAlarm));
    }
    QString error;
    const auto dump = writeDump(spec, &error);
    EXPECT_TRUE(dump) << error.toStdString();
    return dump ? QString::fromLatin1(dump->deviceDump) : QString();
}

QString artefact(const QString& name) { return QDir(test::artifactsDir()).filePath(name); }

// The online mode came back only once the transfer's last word ("X") was said: no "R" or "D"
// between the dump command and that "X".
void expectRestartAfterTheTransfer(const QStringList& log, const QString& lastOfTransfer)
{
    const qsizetype dump = log.lastIndexOf(QStringLiteral("b"));
    ASSERT_GE(dump, 0);
    const qsizetype last = lastOfTransfer.isEmpty() ? dump : log.lastIndexOf(lastOfTransfer);
    const qsizetype leave = log.indexOf(QStringLiteral("X"), last);
    qsizetype restart = log.indexOf(QStringLiteral("R"), dump);
    ASSERT_GE(leave, 0) << log.join(QLatin1Char(' ')).toStdString();
    ASSERT_GE(restart, 0) << log.join(QLatin1Char(' ')).toStdString();
    EXPECT_GT(restart, leave) << log.join(QLatin1Char(' ')).toStdString();
}

class HistorySimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<SimulatedApplication>(dir.path(), 0.05);
        controller = app->controller.get();
        window = app->window.get();
        window->resize(640, 360);
        ErrorPresenter::s_autoAnswer = -1;
        exchanges = window->deviceMenu()->exchanges();
        exchanges->setSaveLocationChooser([this](const QString& suggested) {
            suggestions << suggested;
            return dir.filePath(suggested);
        });
        QObject::connect(controller, &OQAppDelegate::deviceOnlineValueChanged, [this] {
            if (controller->device() && controller->device()->onlineValue())
                ++values;
        });
    }
    void TearDown() override
    {
        app.reset();
        ErrorPresenter::s_autoAnswer = -2;
    }

    std::shared_ptr<SimCounter> plugCounter()
    {
        CounterConfig c = test::steadyCounter(0.15);
        c.deviceDump = largeDump();
        auto counter = std::make_shared<SimCounter>(c);
        SimBus::instance().plug(counter);
        return counter;
    }
    // New online values arrive.
    bool streams(double realSeconds = 10)
    {
        const int before = values;
        return test::waitUntil([&] { return values >= before + 2; }, realSeconds);
    }
    bool waitFinished(bool& flag, double realSeconds = 20) { return test::waitUntil([&] { return flag; }, realSeconds); }

    QTemporaryDir dir;
    std::unique_ptr<SimulatedApplication> app;
    AppDelegate* controller = nullptr;
    MainWindow* window = nullptr;
    DeviceExchanges* exchanges = nullptr;
    QStringList suggestions;
    int values = 0;
};

} // namespace

// Quitting halfway through a download: the application does not end until the transfer has been
// cancelled and its closing sequence has reached the counter.
TEST_F(HistorySimTest, QuittingDuringADownloadLetsItsClosingSequenceEndFirst)
{
    auto counter = plugCounter();
    ASSERT_TRUE(streams());
    auto* dialog = exchanges->progressDialog();
    ASSERT_TRUE(exchanges->downloadProtocol());
    ASSERT_TRUE(test::waitUntil([&] { return dialog->bar()->maximum() > 0 && dialog->bar()->value() * 3 >= dialog->bar()->maximum(); }, 20));
    const auto device = controller->device();
    ASSERT_TRUE(device && device->hasWorkInFlight());

    controller->applicationShouldTerminate();
    EXPECT_TRUE(finishDeviceWork(*controller, 60));
    EXPECT_FALSE(device->hasWorkInFlight());
    const QStringList commands = counter->commandLog();
    EXPECT_TRUE(commands.contains(QStringLiteral("ESC"))) << commands.join(' ').toStdString();
    EXPECT_EQ(commands.last(), QStringLiteral("X")) << commands.join(' ').toStdString();

    // Nothing in flight: nothing to wait for.
    EXPECT_TRUE(finishDeviceWork(*controller, 60));
}

// Another counter pulled out while the shown one downloads: the download is not disturbed, and
// the shown counter streams again after it.
TEST_F(HistorySimTest, AnotherCounterPulledOutDuringADownloadLeavesItIntact)
{
    auto counter = plugCounter();
    ASSERT_TRUE(streams());
    const auto shown = controller->device();
    CounterConfig c = test::steadyCounter(0.3);
    c.serial = QStringLiteral("20777");
    const quint64 other = SimBus::instance().plug(std::make_shared<SimCounter>(c));
    ASSERT_TRUE(test::waitUntil([&] {
        const auto devices = controller->devices();
        return devices.size() == 2 && devices[1]->onlineValue().has_value();
    }, 10));
    ASSERT_EQ(controller->device(), shown);

    bool finished = false;
    std::shared_ptr<OQProtocol> downloaded;
    QObject::connect(exchanges, &DeviceExchanges::finished, [&] { finished = true; });
    QObject::connect(exchanges, &DeviceExchanges::protocolDownloaded, [&](std::shared_ptr<OQProtocol> p, const QString&) { downloaded = std::move(p); });
    auto* dialog = exchanges->progressDialog();
    ASSERT_TRUE(exchanges->downloadProtocol());
    ASSERT_TRUE(test::waitUntil([&] { return dialog->bar()->maximum() > 0 && dialog->bar()->value() * 3 >= dialog->bar()->maximum(); }, 20));
    SimBus::instance().unplug(other);
    ASSERT_TRUE(waitFinished(finished, 30));
    ASSERT_TRUE(downloaded);
    EXPECT_EQ(dialog->highestPercent(), 100);
    EXPECT_FALSE(counter->commandLog().contains(QStringLiteral("ESC")));
    ASSERT_EQ(window->deviceMenu()->protocolWindows().size(), 1);
    // Every minute of the six days is there.
    EXPECT_GE(window->deviceMenu()->protocolWindows()[0]->events().size(), size_t(1440 * 6));
    EXPECT_EQ(controller->device(), shown);
    EXPECT_EQ(controller->devices().size(), size_t(1));
    ASSERT_TRUE(streams()) << "online mode after the download";

    // Now the shown one pulled out halfway: the other is shown, and the failure says unplugged.
    SimBus::instance().plug(std::make_shared<SimCounter>(c));
    ASSERT_TRUE(test::waitUntil([&] { return controller->devices().size() == 2 && exchanges->canStart(); }, 10));
    finished = false;
    ASSERT_TRUE(exchanges->downloadProtocol());
    ASSERT_TRUE(test::waitUntil([&] { return dialog->bar()->maximum() > 0 && dialog->bar()->value() * 3 >= dialog->bar()->maximum(); }, 20));
    SimBus::instance().unplug(SimBus::instance().entries().front().entryId);
    ASSERT_TRUE(waitFinished(finished, 30));
    ASSERT_TRUE(test::waitUntil([&] { return ErrorPresenter::s_lastShown.localizedDescription() == localized(QStringLiteral("errors.device.detached.description")); }, 5))
        << ErrorPresenter::s_lastShown.localizedDescription().toStdString();
    ASSERT_EQ(controller->devices().size(), size_t(1));
    EXPECT_EQ(controller->device(), controller->devices().front());
    EXPECT_EQ(controller->device()->info()->serialNumber(), QStringLiteral("20777"));
}

TEST_F(HistorySimTest, DownloadCancelSaveReopenAndTheStreamComesBack)
{
    auto counter = plugCounter();
    ASSERT_TRUE(streams());
    auto* dialog = exchanges->progressDialog();
    bool finished = false, cancelled = false;
    QObject::connect(exchanges, &DeviceExchanges::finished, [&] { finished = true; });
    QObject::connect(exchanges, &DeviceExchanges::transferCancelled, [&] { cancelled = true; });

    // Cancelled halfway through the dump: ESC reaches the counter, nothing is saved.
    ASSERT_TRUE(exchanges->downloadProtocol());
    ASSERT_TRUE(test::waitUntil([&] { return dialog->bar()->maximum() > 0 && dialog->bar()->value() * 3 >= dialog->bar()->maximum(); }, 20));
    EXPECT_LT(dialog->highestPercent(), 90);
    const QImage progressPicture = dialog->grab().toImage();
    dialog->cancelButton()->click();
    EXPECT_TRUE(progressPicture.save(artefact(QStringLiteral("history-progress-dialog.png"))));
    ASSERT_TRUE(waitFinished(finished));
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(counter->commandLog().contains(QStringLiteral("ESC")));
    EXPECT_TRUE(suggestions.isEmpty());
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("*.oqdump")}).isEmpty());
    EXPECT_TRUE(window->deviceMenu()->protocolWindows().isEmpty());
    ASSERT_TRUE(streams()) << "online mode after the cancel";
    expectRestartAfterTheTransfer(counter->commandLog(), QStringLiteral("ESC"));
    EXPECT_FALSE(controller->device()->failed());

    // The whole memory: progress reaches 100 %, the dump is saved and shown.
    finished = false;
    std::shared_ptr<OQProtocol> downloaded;
    QString savedTo;
    QObject::connect(exchanges, &DeviceExchanges::protocolDownloaded, [&](std::shared_ptr<OQProtocol> p, const QString& path) {
        downloaded = std::move(p);
        savedTo = path;
    });
    const qsizetype commandsBefore = counter->commandLog().size();
    ASSERT_TRUE(exchanges->downloadProtocol());
    ASSERT_TRUE(waitFinished(finished, 30));
    ASSERT_TRUE(downloaded);
    EXPECT_EQ(dialog->highestPercent(), 100);
    EXPECT_EQ(counter->commandLog().mid(commandsBefore).count(QStringLiteral("ESC")), 0);
    ASSERT_FALSE(savedTo.isEmpty());
    ASSERT_TRUE(QFile::exists(savedTo));
    ASSERT_EQ(window->deviceMenu()->protocolWindows().size(), 1);
    ProtocolWindow* fromCounter = window->deviceMenu()->protocolWindows()[0];
    ASSERT_GT(fromCounter->events().size(), size_t(1000));
    ASSERT_TRUE(streams()) << "online mode after the download";
    expectRestartAfterTheTransfer(counter->commandLog(), QString());

    // Reopened from the file: the same events.
    ProtocolWindow* fromFile = window->deviceMenu()->openProtocolFile(savedTo);
    ASSERT_TRUE(fromFile);
    ASSERT_EQ(fromFile->events().size(), fromCounter->events().size());
    for (size_t i = 0; i < fromFile->events().size(); i += 97)
        EXPECT_EQ(fromFile->events()[i]->stringRepresentation(), fromCounter->events()[i]->stringRepresentation()) << i;

    // A day of it, zoomed in on the source passing by.
    fromFile->resize(1000, 700);
    const qint64 from = fromFile->plot()->dataFrom();
    fromFile->plot()->setVisibleRange(from + qint64(9) * 3600 * 1000, from + qint64(15) * 3600 * 1000);
    test::spin(0.2);
    // A range dragged out on the plot selects its events in the table; Shift+drag moves the view
    // and keeps the range, as in the History window.
    QWidget* plot = fromFile->plot();
    const auto drag = [&](int a, int b, Qt::KeyboardModifiers modifiers) {
        QTest::mousePress(plot, Qt::LeftButton, modifiers, QPoint(plot->width() * a / 10, plot->height() / 2));
        QTest::mouseMove(plot, QPoint(plot->width() * b / 10, plot->height() / 2));
        QTest::mouseRelease(plot, Qt::LeftButton, modifiers, QPoint(plot->width() * b / 10, plot->height() / 2));
    };
    drag(4, 6, {});
    const auto range = fromFile->plot()->selection();
    ASSERT_TRUE(range);
    const QModelIndexList rows = fromFile->table()->selectionModel()->selectedRows();
    ASSERT_GT(rows.size(), 10);
    for (const QModelIndex& row : rows) {
        const qint64 t = fromFile->events()[size_t(row.row())]->startDate().toMSecsSinceEpoch();
        EXPECT_TRUE(t >= range->first && t < range->second) << t;
    }
    drag(6, 5, Qt::ShiftModifier);
    EXPECT_EQ(fromFile->plot()->selection(), range);
    EXPECT_NEAR(double(fromFile->plot()->visibleFrom() - from), 9.6 * 3600 * 1000, 0.2 * 3600 * 1000);
    EXPECT_TRUE(fromFile->grab().save(artefact(QStringLiteral("history-protocol-window.png"))));
}

TEST_F(HistorySimTest, ClockSettingShowsTheNewClockInTheInformationWindow)
{
    auto counter = plugCounter();
    ASSERT_TRUE(streams());
    bool finished = false, set = false;
    QObject::connect(exchanges, &DeviceExchanges::finished, [&] { finished = true; });
    QObject::connect(exchanges, &DeviceExchanges::clockSet, [&] { set = true; });
    ASSERT_TRUE(window->deviceMenu()->setClockAction()->isEnabled());
    window->deviceMenu()->setClockAction()->trigger();
    ASSERT_TRUE(waitFinished(finished, 30));
    ASSERT_TRUE(set);
    auto* info = window->deviceMenu()->infoWindow();
    EXPECT_TRUE(info->isVisible());
    const auto record = controller->device()->info();
    ASSERT_TRUE(record && record->date());
    // The counter's clock runs on modelled time, so it is a few (fast) seconds on by now.
    EXPECT_LE(std::abs(QDateTime::currentDateTime().secsTo(*record->date())), 30);
    EXPECT_EQ(info->fields().serialNumber, QStringLiteral("10423"));
    EXPECT_EQ(info->fields().tube, QStringLiteral("LND 712"));
    EXPECT_NE(info->fields().clockDifference, QStringLiteral("—"));
    ASSERT_TRUE(streams()) << "online mode after the clock setting";
    test::spin(0.1);
    EXPECT_TRUE(info->grab().save(artefact(QStringLiteral("history-device-info.png"))));
}

// The strip fed through the controller over ten modelled minutes, through all three levels.
TEST(HistoryStripPicture, MainWindowWithTheStrip)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QTemporaryDir dir;
    SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
    clock::setScale(0.001);
    AppDelegate controller;
    OQAppDelegate::LaunchOptions o;
    o.setUpLogging = false;
    o.startMonitor = false;
    controller.setLaunchOptions(o);
    std::shared_ptr<TestDevice> device;
    controller.setDeviceFactory([&] { return device = makeDevice<TestDevice>(); });
    ColorManager colors;
    controller.setColorManager(&colors);
    MainWindow window(&controller);
    colors.setBackgroundView(window.backgroundView());
    controller.applicationDidFinishLaunching();
    window.show();
    window.resize(640, 400);
    window.setHistoryVisible(true);
    controller.monitorFoundNewDevice(nullptr);
    device->setOnlineUnit(QStringLiteral("Sv"));
    device->setBusy(false);
    const double start = clock::now();
    for (int i = 0; i <= 300; ++i) {
        const double t = i * 2.0; // a reading every 2 s
        const double rate = 0.15 + 0.02 * (i % 4) + (t > 240 && t < 420 ? 14.0 * std::sin((t - 240) / 180 * M_PI) : 0);
        test::waitUntil([&] { return clock::now() - start >= t; }, 5);
        device->setOnlineValue(rate);
    }
    const auto& readings = window.historyStrip()->readings();
    ASSERT_GT(readings.size(), size_t(250));
    EXPECT_GE(readings.back().t - readings.front().t, 590.0);
    window.historyStrip()->setFixedNow(readings.back().t);
    test::spin(0.1);
    EXPECT_TRUE(window.grab().save(artefact(QStringLiteral("history-main-window.png"))));
    window.historyStrip()->setFixedNow(std::nullopt);
    controller.monitorRemovedDevice(nullptr);
    clock::setScale(1.0);
}
