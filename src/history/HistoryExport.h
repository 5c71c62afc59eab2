#pragma once
// The history as CSV or JSON, the same for `oqtool history` and the History window's export:
// UTC times, numbers with a decimal point in every locale.
//
// Raw: counter,source,time,value,unit,counter_unit,level,duration,pulses; "live" rows are
// readings, "protocol" rows a downloaded interval (its dose rate, duration in s and pulses).
// Per bucket: counter,source,start,unit,count,min,mean,max.
#include <QStringList>

#include <functional>

class QIODevice;

namespace oq::history {

class Reader;

enum class ExportFormat { Csv, Json };

// The alarm level (0 normal, 1 warning, 2 danger) of a dose rate in μSv/h.
using RateLevel = std::function<int(double)>;

// Every reading and interval of `serials` in [fromMs, toMs), in time order. False when `out`
// refused the text.
bool exportRaw(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, ExportFormat format,
    const RateLevel& rateLevel, QIODevice& out);
// Per bucket of `bucketMs`, from the first bucket that holds anything; buckets start at whole
// multiples of their length in UTC.
bool exportBuckets(const Reader& reader, const QStringList& serials, qint64 fromMs, qint64 toMs, qint64 bucketMs,
    ExportFormat format, QIODevice& out);

} // namespace oq::history
