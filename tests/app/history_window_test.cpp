// The History window over a recorded database: live readings with a gap, a downloaded protocol,
// a reading at the danger level; zooming asks for fewer, longer buckets; a selection exports.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

#include "app/plots/HistoryPlot.h"
#include "app/windows/HistoryWindow.h"
#include "app/windows/ProtocolFile.h"
#include "app/windows/TransferProgressDialog.h"
#include "common/TestUtil.h"
#include "history/HistoryWriter.h"
#include "platform/Clock.h"
#include "platform/ProgressRecord.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"

using namespace oq;

namespace {
// Settings of their own in `dir`, and English words and numbers.
void useEnglishSettingsIn(const QTemporaryDir& dir)
{
    SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
    SettingsStore::shared().registerDefaults(settings::defaults());
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    setLanguage(QStringLiteral("en"));
}
} // namespace

TEST(HistoryWindowPicture, TimelineOfLiveReadingsAndADownloadedProtocol)
{
    QTemporaryDir dir;
    useEnglishSettingsIn(dir);
    clock::setScale(0.01);
    const QString path = dir.filePath(QStringLiteral("history.sqlite3"));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 start = now - 24 * 3600000LL;
    {
        history::Writer writer({path});
        for (qint64 t = start; t < now; t += 10000) {
            if (t > start + 8 * 3600000LL && t < start + 11 * 3600000LL)
                continue; // no counter attached
            double v = 0.12 + 0.03 * std::sin(double(t - start) / 3.6e6) + 0.02 * std::sin(double(t) / 7e3);
            if (t > start + 16 * 3600000LL && t < start + 16 * 3600000LL + 1200000)
                v = 2.6; // a warning-level stretch
            writer.record({QStringLiteral("10423"), t, history::Rate, v, QStringLiteral("Sv"), v >= 2.2 ? 1 : 0});
        }
        std::vector<history::Interval> intervals;
        for (int i = 0; i < 30; ++i)
            intervals.push_back({start + 4 * 3600000LL + i * 600000LL, 600, 70, 0.16 + 0.01 * (i % 5), 0});
        writer.storeIntervals(QStringLiteral("10423"), intervals);
        ASSERT_TRUE(writer.flush());
    }
    clock::setScale(1.0);

    HistoryWindow window(path);
    window.resize(1000, 480);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_EQ(window.counterBox()->count(), 1);
    const HistoryPlot* plot = window.plot();
    ASSERT_FALSE(plot->data().live.empty());
    EXPECT_EQ(plot->data().intervals.size(), 30u);
    // The unplugged hours stay a gap between buckets.
    const auto& live = plot->data().live;
    qint64 widest = 0;
    for (size_t i = 1; i < live.size(); ++i)
        widest = std::max(widest, live[i].startMs - live[i - 1].startMs);
    EXPECT_GT(widest, 2 * 3600000LL);
    const QString hover = plot->valuesAt((plot->plotArea().left() + plot->plotArea().right()) / 2);
    EXPECT_TRUE(hover.contains(QStringLiteral("readings"))) << hover.toStdString();
    test::spin(0.1);
    EXPECT_TRUE(window.grab().save(QDir(test::artifactsDir()).filePath(QStringLiteral("history-window.png"))));

    // Zooming out to all time and into an hour changes the buckets' length.
    window.zoom(HistoryWindow::Zoom::Hour);
    const qint64 hourBucket = plot->data().liveBucketMs;
    window.zoom(HistoryWindow::Zoom::All);
    EXPECT_GT(plot->data().liveBucketMs, hourBucket);
    EXPECT_LE(qint64(plot->data().live.size()), qint64(plot->bucketCapacity()) + 1);

    // A dragged range exports its readings and intervals.
    const QRectF area = plot->plotArea();
    QWidget* target = window.plot();
    QTest::mousePress(target, Qt::LeftButton, {}, QPoint(int(area.left() + 2), int(area.center().y())));
    QTest::mouseMove(target, QPoint(int(area.left() + area.width() * 0.5), int(area.center().y())));
    QTest::mouseRelease(target, Qt::LeftButton, {}, QPoint(int(area.left() + area.width() * 0.5), int(area.center().y())));
    ASSERT_TRUE(plot->selection());
    const QString out = dir.filePath(QStringLiteral("range.json"));
    std::optional<std::pair<bool, QString>> ended;
    QObject::connect(&window, &HistoryWindow::exportFinished, &window, [&](bool written, const QString& error) {
        ended.emplace(written, error);
    });
    const auto exportTo = [&](const QString& file) {
        ended.reset();
        EXPECT_TRUE(window.startExport(file, history::ExportFormat::Json));
        EXPECT_TRUE(window.exportDialog()->isVisible());
        EXPECT_FALSE(window.startExport(file, history::ExportFormat::Json)) << "one at a time";
    };
    // Cancelled at once: no file, no complaint.
    exportTo(out);
    window.exportProgress()->cancel();
    ASSERT_TRUE(test::waitUntil([&] { return ended.has_value(); }));
    EXPECT_EQ(*ended, std::make_pair(false, QString()));
    EXPECT_FALSE(QFile::exists(out));
    // Into a folder that does not exist: the failure is shown and told.
    exportTo(dir.filePath(QStringLiteral("missing/range.json")));
    ASSERT_TRUE(test::waitUntil([&] { return ended.has_value(); }));
    EXPECT_FALSE(ended->first);
    EXPECT_FALSE(ended->second.isEmpty());
    auto* box = window.findChild<QMessageBox*>();
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->isVisible());
    box->close();
    exportTo(out);
    ASSERT_TRUE(test::waitUntil([&] { return ended.has_value(); }));
    ASSERT_TRUE(ended->first) << ended->second.toStdString();
    EXPECT_FALSE(window.exportDialog()->isVisible());
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QJsonArray rows = QJsonDocument::fromJson(f.readAll()).array();
    ASSERT_FALSE(rows.isEmpty());
    int intervals = 0;
    for (const auto& row : rows) {
        const qint64 t = QDateTime::fromString(row.toObject().value("time").toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
        EXPECT_GE(t, plot->selection()->first);
        EXPECT_LT(t, plot->selection()->second);
        intervals += row.toObject().value("source").toString() == QLatin1String("protocol");
    }
    EXPECT_EQ(intervals, 30);
    // Where the file went and how many rows it holds is said; the bar was named for the export.
    EXPECT_EQ(window.exportResultText(), QStringLiteral("%1 rows exported to %2").arg(QLocale().toString(rows.size()), out));
    EXPECT_TRUE(window.exportDialog()->findChild<QProgressBar*>()->accessibleName().contains(QStringLiteral("range.json")));

    // A rem user reads the same readings in μrem/h: a hundred times the μSv/h.
    const QString inSievert = plot->valuesAt(area.center().x());
    SettingsStore::shared().setString(settings::displayUnit, QStringLiteral("rem"));
    window.zoom(HistoryWindow::Zoom::All);
    const QString inRem = plot->valuesAt(area.center().x());
    EXPECT_TRUE(inSievert.contains(QStringLiteral("μSv/h")) && inRem.contains(QStringLiteral("μrem/h")))
        << inSievert.toStdString() << " | " << inRem.toStdString();
    window.close();
    QLocale::setDefault(QLocale::system());
    setLanguage({});
}

// Over a change of the clocks (the axis itself: time_axis_test), zooming out stops at the longest
// view and zooming in at the shortest, however often the keys are pressed.
TEST(HistoryWindowAxis, ZoomIsBoundedOverAClockChange)
{
    test::ScopedTimeZone berlin("Europe/Berlin");
    constexpr qint64 kDay = 24 * 3600000LL;
    const qint64 autumn = QDateTime(QDate(2026, 10, 25), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
    QTemporaryDir dir;
    SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
    SettingsStore::shared().registerDefaults(settings::defaults());
    HistoryWindow window(dir.filePath(QStringLiteral("none.sqlite3")));
    window.resize(800, 400);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    HistoryPlot* plot = window.plot();
    window.setView(autumn - 4 * kDay, autumn + 4 * kDay);
    test::spin(0.1);
    EXPECT_TRUE(window.grab().save(QDir(test::artifactsDir()).filePath(QStringLiteral("history-window-clock-change.png"))));
    for (int i = 0; i < 100; ++i)
        QTest::keyClick(plot, Qt::Key_Minus);
    EXPECT_EQ(plot->viewTo() - plot->viewFrom(), HistoryPlot::longestView());
    for (int i = 0; i < 100; ++i)
        QTest::keyClick(plot, Qt::Key_Left);
    EXPECT_LT(plot->viewFrom(), plot->viewTo());
    EXPECT_FALSE(window.rangeText().isEmpty());
    plot->grab(); // draws the axis of the widest view
    for (int i = 0; i < 100; ++i)
        QTest::keyClick(plot, Qt::Key_Plus);
    EXPECT_EQ(plot->viewTo() - plot->viewFrom(), 60000);
    window.close();
}

// Forty minutes recorded: the window opens on them, not on a day they fill 3 % of, and a screen
// reader hears what a mouse user reads by hovering.
TEST(HistoryWindowPicture, ShortHistoryFillsThePlotAndIsToldInWords)
{
    QTemporaryDir dir;
    useEnglishSettingsIn(dir);
    const QString path = dir.filePath(QStringLiteral("history.sqlite3"));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        history::Writer writer({path});
        for (qint64 t = now - 40 * 60000LL; t < now; t += 10000)
            writer.record({QStringLiteral("10423"), t, history::Rate, t < now - 60000 ? 0.12 : 0.3, QStringLiteral("Sv"), 0});
        ASSERT_TRUE(writer.flush());
    }
    HistoryWindow window(path);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const HistoryPlot* plot = window.plot();
    EXPECT_LT(plot->viewTo() - plot->viewFrom(), 45 * 60000LL);
    EXPECT_GE(plot->viewTo() - plot->viewFrom(), 40 * 60000LL);
    EXPECT_TRUE(plot->accessibleDescription().startsWith(QStringLiteral("240 readings: lowest 0.12 μSv/h, highest 0.3 μSv/h, latest 0.3 μSv/h.")))
        << plot->accessibleDescription().toStdString();

    // File dialogs open in the folder last chosen in one, not in the one the program started in.
    EXPECT_NE(protocolfile::dialogFolder(), QDir::currentPath());
    protocolfile::rememberDialogFolder(dir.filePath(QStringLiteral("history.csv")));
    EXPECT_EQ(protocolfile::dialogFolder(), dir.path());
    QLocale::setDefault(QLocale::system());
    setLanguage({});
}
