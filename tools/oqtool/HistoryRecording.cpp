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
#include "units/ColorManager.h"

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
    o.retentionDays = oq::history::retentionDays();
    m_writer = std::make_unique<oq::history::Writer>(o);
}

HistoryRecording::~HistoryRecording()
{
    if (m_writer && !m_writer->flush(10.0))
        err(QStringLiteral("oqtool: ") + text("oqtool.history.not_written").arg(m_writer->path(), m_writer->problem()) + QLatin1Char('\n'));
}

void HistoryRecording::record(const QString& serial, const QDateTime& time, double value, int mode, const QString& counterUnit)
{
    if (!m_writer)
        return;
    const int level = static_cast<int>(ColorManager::levelForValue(value, mode));
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
    m_writer->storeIntervals(oq::history::serialOf(protocol), std::move(intervals), [stored](int n, int) { *stored = n; });
    if (!m_writer->flush(30.0)) {
        err(QStringLiteral("oqtool: ") + text("oqtool.history.not_written").arg(m_writer->path(), m_writer->problem()) + QLatin1Char('\n'));
        return false;
    }
    err(text("oqtool.history.stored").arg(stored->load()).arg(events->size()) + QLatin1Char('\n'));
    return true;
}

} // namespace oqtool
