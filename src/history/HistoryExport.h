#pragma once
// The history as CSV or JSON, the same for `oqtool history` and the History window's export:
// UTC times, numbers with a decimal point in every locale.
//
// Raw: counter,source,time,value,unit,counter_unit,level,duration,pulses; "live" rows are
// readings, "protocol" rows a downloaded interval (its dose rate, duration in s and pulses).
// Per bucket: counter,source,start,unit,count,min,mean,max. A bucket counts only what lies in the
// range: the first and last are cut at its ends, and `start` is where the counted part begins.
#include <QStringList>

#include <functional>

class QIODevice;

namespace oq::history {

class Reader;

enum class ExportFormat { Csv, Json };

// Minutes and hours are whole ones of UTC; days are the user's local days (23 or 25 hours long
// on the days the clock changes).
enum class BucketSize { Minute, Hour, Day };

// The alarm level (0 normal, 1 warning, 2 danger) of a dose rate in μSv/h.
using RateLevel = std::function<int(double)>;
// How far the export has come (0 to 1); false cancels it.
using ExportProgress = std::function<bool(double fraction)>;

// Every reading and interval of `serials` in [fromMs, toMs), in time order, written as it is
// read. False when `out` refused the text, the reader failed (reader.error()) or `progress`
// cancelled.
bool exportRaw(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, ExportFormat format,
    const RateLevel& rateLevel, QIODevice& out, const ExportProgress& progress = {});
// Per bucket, from the first bucket that holds anything. False as exportRaw().
bool exportBuckets(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, BucketSize size,
    ExportFormat format, QIODevice& out);

} // namespace oq::history
