// The counter's memory in the desktop application: the exchanges of the Device menu against a
// scripted device, stored dumps, the information and protocol windows, and the history strip.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QProgressBar>
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
#include "app/windows/ProtocolFile.h"
#include "app/plots/ProtocolPlot.h"
#include "app/windows/ProtocolWindow.h"
#include "app/windows/TransferProgressDialog.h"
#include "common/TestUtil.h"
#include "device/DeviceError.h"
#include "parser/OQParser.h"
#include "platform/Clock.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "sim/dump/DumpWriter.h"
#include "TestDevice.h"

#include <sys/stat.h>

using namespace oq;

namespace {

// A device whose transfer and clock setting the test finishes by hand, the way OQUSBDevice
// reports them: busy while they run, progress record replaced, nothing but state on a cancel.
class ExchangeDevice : public TestDevice {
public:
    void startRateMode() override
    {
        TestDevice::startRateMode();
        startTimes.push_back(clock::now());
    }
    void getProtocol(ProtocolCompletion completion) override
    {
        calls << QStringLiteral("getProtocol");
        auto record = std::make_shared<ProgressRecord>(-1);
        record->setCancellable(true);
        setProgress(record);
        setBusy(true);
        pendingProtocol = std::move(completion);
    }
    void setDate(const QDateTime& date, DateCompletion completion) override
    {
        calls << QStringLiteral("setDate");
        sentDate = date;
        setProgress(std::make_shared<ProgressRecord>(34));
        setBusy(true);
        pendingDate = std::move(completion);
    }
    void finishProtocol(std::shared_ptr<OQProtocol> protocol, std::optional<ErrorRecord> error)
    {
        setBusy(false);
        if (error)
            setFailed(true);
        std::exchange(pendingProtocol, nullptr)(error ? nullptr : std::move(protocol), error);
    }
    void finishDate(std::optional<ErrorRecord> error)
    {
        setBusy(false);
        if (error)
            setFailed(true);
        std::exchange(pendingDate, nullptr)(!error, error);
    }
    // What the device does when it notices the cancelled record: no completion.
    void noticeCancel()
    {
        setBusy(false);
        setFailed(false);
        setProgress(nullptr);
    }

    ProtocolCompletion pendingProtocol;
    DateCompletion pendingDate;
    QDateTime sentDate;
    std::vector<double> startTimes; // modelled seconds
};

sim::WrittenDump writtenDump(int counts = 30)
{
    sim::DumpSpec spec;
    spec.events = {sim::DumpEvent::interval(60), sim::DumpEvent::timeMark({2024, 5, 1, 12, 0, 0})};
    for (int i = 0; i < counts; ++i) {
        spec.events.push_back(sim::DumpEvent::count(uint64_t(20 + (i % 7) * 30)));
        if (i == counts / 2)
            spec.events.push_back(sim::DumpEvent::flagsSet(sim::DumpEvent::DoseRateAlarm));
    }
    QString error;
    auto dump = sim::writeDump(spec, &error);
    EXPECT_TRUE(dump) << error.toStdString();
    return dump.value_or(sim::WrittenDump{});
}

std::shared_ptr<OQProtocol> protocolOf(const sim::WrittenDump& dump)
{
    return OQProtocol::initWithDeviceDump(QString::fromLatin1(dump.deviceDump));
}

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        setLanguage(QStringLiteral("en"));
        clock::setScale(0.01);
        SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
        ErrorPresenter::s_autoAnswer = -1;
        ErrorPresenter::s_lastShown = ErrorRecord();
        controller = std::make_unique<AppDelegate>();
        OQAppDelegate::LaunchOptions o;
        o.setUpLogging = false;
        o.startMonitor = false;
        controller->setLaunchOptions(o);
        controller->setDeviceFactory([this] {
            auto d = makeDevice<ExchangeDevice>();
            made.push_back(d);
            return d;
        });
        controller->applicationDidFinishLaunching();
        window = std::make_unique<MainWindow>(controller.get());
        menu = window->deviceMenu();
        exchanges = menu->exchanges();
        exchanges->setSaveLocationChooser([this](const QString& suggested) {
            suggestions << suggested;
            return savePath;
        });
    }
    void TearDown() override
    {
        window.reset();
        controller.reset();
        setLanguage({});
        ErrorPresenter::s_autoAnswer = -2;
        clock::setScale(1.0);
    }

    // A counter that has read its information and got its online mode.
    std::shared_ptr<ExchangeDevice> readyCounter()
    {
        controller->monitorFoundNewDevice(nullptr);
        auto d = made.back();
        d->setBusy(false);
        EXPECT_TRUE(test::waitUntil([&] { return d->calls.contains(QStringLiteral("startRateMode")); }, 3));
        return d;
    }
    static int starts(const std::shared_ptr<ExchangeDevice>& d) { return int(d->calls.count(QStringLiteral("startRateMode"))); }

    QTemporaryDir dir;
    std::unique_ptr<AppDelegate> controller;
    std::unique_ptr<MainWindow> window;
    DeviceMenu* menu = nullptr;
    DeviceExchanges* exchanges = nullptr;
    std::vector<std::shared_ptr<ExchangeDevice>> made;
    QStringList suggestions;
    QString savePath;
};

} // namespace

TEST_F(HistoryTest, DownloadStopsTheStreamSavesTheDumpAndOnlyThenRestartsTheMode)
{
    auto d = readyCounter();
    EXPECT_TRUE(menu->downloadAction()->isEnabled());
    savePath = dir.filePath(QStringLiteral("saved.oqdump"));
    std::shared_ptr<OQProtocol> downloaded;
    QString savedTo;
    QObject::connect(exchanges, &DeviceExchanges::protocolDownloaded, [&](std::shared_ptr<OQProtocol> p, const QString& path) {
        downloaded = std::move(p);
        savedTo = path;
    });

    ASSERT_TRUE(exchanges->downloadProtocol());
    EXPECT_EQ(d->calls.last(), QStringLiteral("stopOnlineMode"));
    EXPECT_FALSE(menu->downloadAction()->isEnabled());
    EXPECT_FALSE(exchanges->downloadProtocol()); // one at a time
    EXPECT_TRUE(exchanges->progressDialog()->isVisible());

    d->completeStop();
    ASSERT_EQ(d->calls.last(), QStringLiteral("getProtocol"));
    // The dialog follows the record the transfer put in place.
    d->progress()->setTotalUnitCount(200);
    d->progress()->setCompletedUnitCount(200);
    EXPECT_EQ(exchanges->progressDialog()->bar()->value(), 200);
    EXPECT_EQ(exchanges->progressDialog()->highestPercent(), 100);

    const auto dump = writtenDump();
    const double finished = clock::now();
    d->finishProtocol(protocolOf(dump), std::nullopt);
    ASSERT_TRUE(downloaded);
    EXPECT_EQ(savedTo, savePath);
    ASSERT_EQ(suggestions.size(), 1);
    EXPECT_TRUE(suggestions[0].startsWith(QStringLiteral("protocol_123456_"))) << suggestions[0].toStdString();
    QFile saved(savePath);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), dump.deviceDump);
    EXPECT_FALSE(exchanges->progressDialog()->isVisible());
    ASSERT_EQ(menu->protocolWindows().size(), 1);
    EXPECT_EQ(menu->protocolWindows()[0]->filePath(), savePath);

    // Busy false came with the completion, but the counter is still told "X" after it: the
    // controller's own 1 s start would come too early.
    ASSERT_TRUE(test::waitUntil([&] { return starts(d) == 2; }, 3));
    EXPECT_GE(d->startTimes.back() - finished, DeviceExchanges::kSettleAfterTransfer + 0.5);
    EXPECT_FALSE(controller->isOnlineModeHeld());
    EXPECT_TRUE(menu->downloadAction()->isEnabled());
    test::spin(0.05);
    EXPECT_EQ(starts(d), 2);
}

TEST_F(HistoryTest, CancelDuringTheTransferWritesNothingAndRestartsOnceTheCounterIsQuiet)
{
    auto d = readyCounter();
    bool cancelled = false;
    QObject::connect(exchanges, &DeviceExchanges::transferCancelled, [&] { cancelled = true; });
    ASSERT_TRUE(exchanges->downloadProtocol());
    d->completeStop();
    auto record = d->progress();
    exchanges->progressDialog()->cancelButton()->click();
    EXPECT_TRUE(record->isCancelled());
    EXPECT_FALSE(exchanges->progressDialog()->cancelButton()->isEnabled());
    const double noticed = clock::now();
    d->noticeCancel();
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(suggestions.isEmpty());
    EXPECT_TRUE(menu->protocolWindows().isEmpty());
    // The device sends ESC until the counter is quiet after reporting itself idle; no start then.
    ASSERT_TRUE(test::waitUntil([&] { return starts(d) == 2; }, 3));
    EXPECT_GE(d->startTimes.back() - noticed, DeviceExchanges::kSettleAfterCancel + 0.5);
    EXPECT_FALSE(d->calls.contains(QStringLiteral("setDate")));
}

TEST_F(HistoryTest, CancelWhileTheStreamStopsSkipsTheTransfer)
{
    auto d = readyCounter();
    ASSERT_TRUE(exchanges->downloadProtocol());
    QTest::keyClick(exchanges->progressDialog(), Qt::Key_Escape);
    d->completeStop();
    EXPECT_FALSE(d->calls.contains(QStringLiteral("getProtocol")));
    EXPECT_FALSE(exchanges->isRunning());
    ASSERT_TRUE(test::waitUntil([&] { return starts(d) == 2; }, 3));
}

TEST_F(HistoryTest, TransferErrorsArePresentedInTheirOwnWordsUnlessTheCounterWasPulledOut)
{
    // A pulled cable fails the transfer with a driver status a moment before the removal arrives.
    const QString detached = localized(QStringLiteral("errors.device.detached.description"));
    const struct {
        const char* name;
        ErrorRecord error;
        bool removedAfterwards;
        QString shown;
    } cases[] = {
        {"incomplete, counter stays", device::deviceError(device::DeviceErrorIncompleteProtocol, QStringLiteral("cut short")),
            false, QStringLiteral("cut short")},
        {"driver failure, counter stays", device::errorWithFTStatus(4), false, QStringLiteral("Driver return code: 4")},
        {"driver failure, then the removal", device::errorWithFTStatus(4), true, detached},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorPresenter::s_lastShown = ErrorRecord();
        auto d = readyCounter();
        ASSERT_TRUE(exchanges->downloadProtocol());
        d->completeStop();
        d->finishProtocol(nullptr, c.error);
        if (c.removedAfterwards) {
            EXPECT_TRUE(ErrorPresenter::s_lastShown.domain().isEmpty()); // not yet: the removal may follow
            controller->monitorRemovedDevice(nullptr);
        }
        ASSERT_TRUE(test::waitUntil([&] { return !ErrorPresenter::s_lastShown.domain().isEmpty(); }, 3));
        EXPECT_EQ(ErrorPresenter::s_lastShown.localizedDescription(), c.shown);
        EXPECT_TRUE(suggestions.isEmpty());
        if (!c.removedAfterwards) {
            ASSERT_TRUE(test::waitUntil([&] { return starts(d) == 2; }, 3));
        }
    }
}

TEST_F(HistoryTest, CounterGoneWhileItsStreamStopsIsReportedAsDetached)
{
    auto d = readyCounter();
    ASSERT_TRUE(exchanges->downloadProtocol());
    controller->monitorRemovedDevice(nullptr);
    d->completeStop();
    EXPECT_FALSE(d->calls.contains(QStringLiteral("getProtocol")));
    EXPECT_EQ(ErrorPresenter::s_lastShown.localizedDescription(), localized(QStringLiteral("errors.device.detached.description")));
    EXPECT_FALSE(controller->isOnlineModeHeld());
    // The next counter starts as usual.
    auto next = readyCounter();
    EXPECT_EQ(starts(next), 1);
}

TEST_F(HistoryTest, SettingTheClockSendsTheComputersTimeAndShowsTheInformation)
{
    auto d = readyCounter();
    ASSERT_TRUE(exchanges->setClockToComputerTime());
    d->completeStop();
    ASSERT_EQ(d->calls.last(), QStringLiteral("setDate"));
    EXPECT_LE(std::abs(d->sentDate.secsTo(QDateTime::currentDateTime())), 2);
    EXPECT_FALSE(exchanges->progressDialog()->cancelButton()->isEnabled()); // a clock setting runs to its end
    d->finishDate(std::nullopt);
    EXPECT_TRUE(menu->infoWindow()->isVisible());
    ASSERT_TRUE(test::waitUntil([&] { return starts(d) == 2; }, 3));

    ASSERT_TRUE(exchanges->setClockToComputerTime());
    d->completeStop();
    d->finishDate(device::deviceError(device::DeviceErrorDateTimeout, QStringLiteral("Timeout setting Date")));
    EXPECT_EQ(ErrorPresenter::s_lastShown.code(), device::DeviceErrorDateTimeout);
}

TEST_F(HistoryTest, DeviceActionsFollowTheCountersReadiness)
{
    const auto enabled = [&] { return menu->infoAction()->isEnabled() && menu->downloadAction()->isEnabled() && menu->setClockAction()->isEnabled(); };
    EXPECT_FALSE(enabled());
    EXPECT_FALSE(exchanges->downloadProtocol());
    controller->monitorFoundNewDevice(nullptr);
    EXPECT_FALSE(enabled()); // reading its information
    made.back()->setBusy(false);
    EXPECT_TRUE(enabled());
    EXPECT_TRUE(menu->openProtocolAction()->isEnabled());
    controller->monitorRemovedDevice(nullptr);
    EXPECT_FALSE(enabled());
}

TEST_F(HistoryTest, StoredDumpsReloadWithTheSameEventsAndExportAsCsvAndJson)
{
    const auto dump = writtenDump(40);
    auto original = protocolOf(dump);
    const QString path = dir.filePath(QStringLiteral("p.oqdump"));
    ErrorRecord error;
    ASSERT_TRUE(protocolfile::save(*original, path, &error));
    auto* w = menu->openProtocolFile(path);
    ASSERT_TRUE(w);
    const auto expected = original->protocolEventsError();
    ASSERT_TRUE(expected);
    ASSERT_EQ(w->events().size(), expected->size());
    for (size_t i = 0; i < expected->size(); ++i)
        EXPECT_EQ(w->events()[i]->stringRepresentation(), (*expected)[i]->stringRepresentation());
    EXPECT_EQ(w->table()->model()->rowCount(), int(expected->size()));
    EXPECT_EQ(w->plot()->samples().size(), expected->size());
    EXPECT_TRUE(w->summaryText().contains(QStringLiteral("123456")));

    const QString csvPath = dir.filePath(QStringLiteral("e.csv")), jsonPath = dir.filePath(QStringLiteral("e.json"));
    ASSERT_TRUE(w->exportEvents(csvPath, ProtocolWindow::ExportFormat::Csv, &error));
    ASSERT_TRUE(w->exportEvents(jsonPath, ProtocolWindow::ExportFormat::Json, &error));
    QFile csv(csvPath), json(jsonPath);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly) && json.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = csv.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), qsizetype(expected->size() + 1));
    EXPECT_TRUE(lines[0].startsWith("start,end,duration_s,pulses,dose_rate_uSv_h"));
    const QJsonArray array = QJsonDocument::fromJson(json.readAll()).array();
    ASSERT_EQ(array.size(), qsizetype(expected->size()));
    EXPECT_EQ(array[0].toObject().value(QStringLiteral("pulses")).toDouble(), double((*expected)[0]->pulses()));
    // The alarm flag lands on the event after it, in the table as in the export.
    bool alarm = false;
    for (int row = 0; row < w->table()->model()->rowCount(); ++row)
        alarm |= w->table()->model()->index(row, ProtocolEventModel::Flags).data().toString().contains(QStringLiteral("dose rate alarm"));
    EXPECT_TRUE(alarm);

    // A downloaded protocol kept unsaved can be stored later, under its own name from then on.
    auto* unsaved = menu->showProtocol(protocolOf(dump), QString());
    ASSERT_TRUE(unsaved);
    const QString later = dir.filePath(QStringLiteral("later.oqdump"));
    ASSERT_TRUE(unsaved->saveDump(later, &error));
    EXPECT_EQ(unsaved->filePath(), later);
    EXPECT_TRUE(unsaved->windowTitle().contains(QStringLiteral("later.oqdump")));

    // A failed export leaves no partial file behind.
    EXPECT_FALSE(w->exportEvents(dir.filePath(QStringLiteral("missing/e.csv")), ProtocolWindow::ExportFormat::Csv, &error));
    EXPECT_EQ(error.domain(), protocolfile::FileErrorDomain);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("missing"))));
}

TEST_F(HistoryTest, HostileFilesAreRefusedThroughTheErrorPresentation)
{
    const auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    };
    // Missing, a folder, a pipe nobody writes to (reading it would never end), far too large.
    EXPECT_FALSE(menu->openProtocolFile(dir.filePath(QStringLiteral("nope.oqdump"))));
    EXPECT_EQ(ErrorPresenter::s_lastShown.domain(), protocolfile::FileErrorDomain);
    EXPECT_FALSE(menu->openProtocolFile(dir.path()));
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(menu->openProtocolFile(fifo));
    EXPECT_EQ(ErrorPresenter::s_lastShown.localizedFailureReason(), localized(QStringLiteral("errors.file.not_a_file")));
    QByteArray huge(protocolfile::kMaxDumpFileSize + 1, 'A');
    EXPECT_FALSE(menu->openProtocolFile(write(QStringLiteral("huge"), huge)));
    EXPECT_EQ(ErrorPresenter::s_lastShown.localizedFailureReason(), localized(QStringLiteral("errors.file.too_large")));

    // Text that is not a dump: the parser's word, with the way back to the counter offered.
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 131) & 0xFF));
    const QList<QByteArray> garbage = {binary, QByteArray(), QByteArray("v\r\nVersion 7.14Lb07 123456 7 01.05.24 12:00:00\r\nb\r\nZZ\r\n"),
        QByteArray("v\r\n\r\n\r\n"), QByteArray(200000, '\n')};
    int i = 0;
    for (const QByteArray& bytes : garbage) {
        ErrorPresenter::s_lastShown = ErrorRecord();
        const QString path = write(QStringLiteral("g%1").arg(i++), bytes);
        auto* w = menu->openProtocolFile(path);
        if (w) { // some texts parse to no events at all: an empty window is fine
            EXPECT_TRUE(w->events().empty());
            continue;
        }
        EXPECT_EQ(ErrorPresenter::s_lastShown.domain(), QLatin1String(OQParserErrorDomain));
        EXPECT_EQ(ErrorPresenter::s_lastShown.localizedDescription(), localized(QStringLiteral("errors.protocol.parsing.description")));
        EXPECT_EQ(ErrorPresenter::s_lastShown.localizedRecoveryOptions().size(), 2);
    }
    EXPECT_TRUE(made.empty()); // nothing asked of a counter
}

TEST(DeviceInfoFields, ShowTheRecordAndTheClocksDifference)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    setLanguage(QStringLiteral("en"));
    auto info = OQDeviceInfo::initWithVersionString(QStringLiteral("Version 7.14Lb07 10423 FA00 24.12.20 18:30:05\r\n"));
    ASSERT_TRUE(info);
    const QDateTime counter(QDate(2020, 12, 24), QTime(18, 30, 5));
    auto f = DeviceInfoWindow::fieldsFor(*info, counter.addSecs(-125));
    EXPECT_EQ(f.firmware, QStringLiteral("7.14Lb07"));
    EXPECT_EQ(f.tube, QStringLiteral("LND 712"));
    EXPECT_EQ(f.powerSupply, QStringLiteral("Battery"));
    EXPECT_EQ(f.features, QStringLiteral("7 (online mode, alert)"));
    EXPECT_EQ(f.serialNumber, QStringLiteral("10423"));
    EXPECT_TRUE(f.counterClock.endsWith(QStringLiteral("18:30:05")));
    EXPECT_EQ(f.clockDifference, QStringLiteral("2 min 5 s ahead"));
    EXPECT_EQ(f.protocolLength, QStringLiteral("64,000 bytes"));
    EXPECT_EQ(DeviceInfoWindow::fieldsFor(*info, counter.addSecs(3600 * 26)).clockDifference, QStringLiteral("1 d 2 h behind"));
    EXPECT_EQ(DeviceInfoWindow::fieldsFor(*info, counter.addSecs(1)).clockDifference, QStringLiteral("in step (within a second)"));

    // An old record has no clock and no features: dashes, not made-up values.
    auto old = OQDeviceInfo::initWithVersionString(QStringLiteral("Version 1.99"));
    ASSERT_TRUE(old);
    f = DeviceInfoWindow::fieldsFor(*old, QDateTime::currentDateTime());
    EXPECT_EQ(f.counterClock, QStringLiteral("—"));
    EXPECT_EQ(f.clockDifference, QStringLiteral("—"));
    EXPECT_EQ(f.tube, QStringLiteral("—"));
    EXPECT_EQ(f.serialNumber, QStringLiteral("—"));
    EXPECT_EQ(f.protocolLength, QStringLiteral("0 bytes"));
    setLanguage({});
}

TEST(ProtocolPlotZoom, StaysInsideTheDataAndBreaksTheLineAtTimeJumps)
{
    const QDateTime t0(QDate(2024, 5, 1), QTime(12, 0));
    OQProtocolEventList events;
    const auto add = [&](const QDateTime& at, double rate) {
        events.push_back(OQProtocolEvent::initWithStartDate(at, 60, 10, rate, std::nullopt, false, false, false, false, false, false, false));
    };
    for (int i = 0; i < 60; ++i)
        add(t0.addSecs(60 * i), i == 10 ? std::nan("") : 0.1 * (i % 5));
    add(t0.addDays(1), 30.0); // a new time mark a day later
    ProtocolPlot plot;
    plot.resize(600, 300);
    plot.setEvents(events);
    ASSERT_EQ(plot.samples().size(), events.size());
    EXPECT_TRUE(plot.samples().back().gapBefore);
    EXPECT_FALSE(plot.samples()[5].gapBefore);
    const qint64 full = plot.dataTo() - plot.dataFrom();
    EXPECT_FALSE(plot.isZoomed());

    plot.zoomIn();
    EXPECT_EQ(plot.visibleTo() - plot.visibleFrom(), full / 2);
    EXPECT_TRUE(plot.isZoomed());
    for (int i = 0; i < 40; ++i)
        plot.zoomIn();
    EXPECT_EQ(plot.visibleTo() - plot.visibleFrom(), ProtocolPlot::kMinSpanMs);
    plot.setVisibleRange(plot.dataTo() + 1000000, plot.dataTo() + 2000000); // past the end: clamped
    EXPECT_EQ(plot.visibleTo(), plot.dataTo());
    for (int i = 0; i < 40; ++i)
        plot.zoomOut();
    EXPECT_EQ(plot.visibleFrom(), plot.dataFrom());
    EXPECT_EQ(plot.visibleTo(), plot.dataTo());
    plot.grab(); // paints NaN rates, zero rates and a lone point without trouble

    plot.setEvents({});
    EXPECT_EQ(plot.visibleFrom(), plot.visibleTo());
    plot.zoomIn();
    plot.grab();
}

TEST(HistoryStripReadings, KeepTenMinutesAndStartAfreshForANewMode)
{
    HistoryStrip strip;
    for (int s = 0; s <= 1200; s += 10)
        strip.addReading(0.1 + s / 1000.0, double(s));
    // The oldest kept reading is the one the line enters the window from.
    ASSERT_FALSE(strip.readings().empty());
    EXPECT_LE(strip.readings().front().t, 600.0);
    EXPECT_GE(strip.readings().front().t, 590.0);
    EXPECT_EQ(strip.readings().back().t, 1200.0);
    strip.addReading(std::nullopt, 1201.0);
    strip.addReading(std::nullopt, 1202.0);
    strip.addReading(std::nan(""), 1203.0);
    EXPECT_EQ(std::count_if(strip.readings().begin(), strip.readings().end(), [](const auto& r) { return !r.value; }), 1);
    strip.setMode(2);
    EXPECT_TRUE(strip.readings().empty());
}

TEST_F(HistoryTest, HistoryStripIsOffByDefaultAndTakesItsSpaceFromTheFigure)
{
    window->show();
    window->resize(1200, 260);
    ASSERT_TRUE(test::waitUntil([&] { return window->size() == QSize(1200, 260); }, 5));
    EXPECT_FALSE(window->historyStrip()->isVisible());
    EXPECT_FALSE(window->showHistoryAction()->isChecked());
    const QFont alone = window->valueLabel()->font();
    EXPECT_DOUBLE_EQ(alone.pointSizeF(), AppDelegate::fontSizedForAreaSize(window->valueFitArea(QSize(1200, 260)),
                                             QStringLiteral("999.999 uSv/h"), alone).pointSizeF());

    window->showHistoryAction()->trigger();
    EXPECT_TRUE(window->historyStrip()->isVisible());
    const double withStrip = window->valueLabel()->font().pointSizeF();
    EXPECT_LT(withStrip, alone.pointSizeF());
    EXPECT_DOUBLE_EQ(withStrip, AppDelegate::fontSizedForAreaSize(window->valueFitArea(QSize(1200, 260)),
                                    QStringLiteral("999.999 uSv/h"), alone).pointSizeF());
    // The choice survives a restart; switching off gives the figure its space back.
    {
        MainWindow second(controller.get());
        EXPECT_TRUE(second.showHistoryAction()->isChecked());
    }
    controller->valueTextField = window->valueLabel();
    window->showHistoryAction()->trigger();
    EXPECT_DOUBLE_EQ(window->valueLabel()->font().pointSizeF(), alone.pointSizeF());
}

TEST_F(HistoryTest, TheViewMenuNamesTheStripAndTheHistoryApartWithTheirShortcuts)
{
    const auto plain = [](const QAction* a) { return a->text().remove(QLatin1Char('&')).remove(QStringLiteral("…")).trimmed(); };
    const QString strip = plain(window->showHistoryAction()), history = plain(window->historyWindowAction());
    // Neither name holds the other, as "History" and "Show History" did.
    EXPECT_FALSE(strip.contains(history, Qt::CaseInsensitive) || history.contains(strip, Qt::CaseInsensitive))
        << strip.toStdString() << " / " << history.toStdString();
    EXPECT_TRUE(strip.contains(QLatin1String("10"))) << strip.toStdString(); // says how much it shows
    EXPECT_EQ(window->showHistoryAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_H));
    EXPECT_EQ(window->historyWindowAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H));
}
