#include "HistoryRecording.h"

#include <atomic>

#include "Command.h"
#include "history/HistoryDatabase.h"
#include "history/HistorySettings.h"
#include "history/HistoryWriter.h"
#include "history/ProtocolIntervals.h"
#include "parser/OQProtocol.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/Level.h"

namespace oqtool {

void takeHistoryOptions(QStringList& args, HistoryOptions& options)
{
    for (qsizetype i = 0; i < args.size();) {
        if (args[i] != QLatin1String("--db")) {
            ++i;
            continue;
        }
        options.record = true;
        args.removeAt(i);
        if (i < args.size() && !args[i].startsWith(QLatin1Char('-')))
            options.path = args.takeAt(i);
    }
}

HistoryRecording::HistoryRecording(const HistoryOptions& options)
{
    if (!options.record)
        return;
    oq::SettingsStore::shared().registerDefaults(oq::settings::defaults());
    oq::history::Writer::Options o;
    o.path = options.path.isEmpty() ? oq::history::defaultPath() : options.path;
    {
        // Refused before the counter is touched, rather than found out after a day of readings.
        QString problem;
        if (!oq::history::Database::open(o.path, oq::history::Access::Write, &problem)) {
            err(QStringLiteral("oqtool: ") + text("oqtool.history.not_written").arg(o.path, problem) + QLatin1Char('\n'));
            m_usable = false;
            return;
        }
    }
    o.retentionDays = oq::history::retentionDays();
    m_writer = std::make_unique<oq::history::Writer>(o);
}

HistoryRecording::~HistoryRecording() { finish(); }

qint64 HistoryRecording::finish()
{
    if (!m_writer)
        return 0;
    m_writer->stop();
    const qint64 lost = m_writer->notStored();
    if (lost > 0) {
        const QString why = !m_writer->problem().isEmpty() ? m_writer->problem() : m_writer->lastRefusal();
        err(QStringLiteral("oqtool: ") + text("oqtool.history.not_stored").arg(lost).arg(m_writer->path(), why) + QLatin1Char('\n'));
    }
    m_writer.reset();
    return lost;
}

void HistoryRecording::record(const QString& serial, const QDateTime& time, double value, int mode, const QString& counterUnit)
{
    if (!m_writer)
        return;
    const int level = static_cast<int>(oq::levelForValue(value, mode));
    m_writer->record({serial, time.toMSecsSinceEpoch(), mode, value, counterUnit, level});
}

bool HistoryRecording::storeProtocol(OQProtocol& protocol)
{
    if (!m_writer)
        return true;
    const auto events = protocol.protocolEventsError();
    if (!events)
        return true;
    auto intervals = oq::history::intervalsOf(*events);
    auto stored = std::make_shared<std::atomic<int>>(-1);
    const qint64 total = qint64(intervals.size());
    m_writer->storeIntervals(oq::history::serialOf(protocol), std::move(intervals), [stored](int n, int) { *stored = n; });
    if (!m_writer->flush(30.0) || stored->load() < 0) {
        const QString why = !m_writer->problem().isEmpty() ? m_writer->problem() : m_writer->lastRefusal();
        err(QStringLiteral("oqtool: ") + text("oqtool.history.intervals_not_stored").arg(total).arg(m_writer->path(), why)
            + QLatin1Char('\n'));
        return false;
    }
    err(text("oqtool.history.stored").arg(stored->load()).arg(events->size()) + QLatin1Char('\n'));
    return true;
}

} // namespace oqtool
