#include "RadiationProfile.h"

#include <cmath>

namespace oq::sim {
namespace {
// Excursions pass the usual warning (2.2 uSv/h) and danger (11.8 uSv/h) levels.
constexpr long kExcursionPeriod = 120;
constexpr long kExcursionLength = 24;
constexpr long kFirstExcursion = 30;
constexpr double kPeaks[] = {4.0, 18.0};
} // namespace

RadiationProfile::RadiationProfile(ProfileSpec spec)
    : m_spec(std::move(spec))
    , m_rng(m_spec.seed)
    , m_level(std::log(m_spec.value > 0 ? m_spec.value : 0.12))
{
    QStringList entries;
    for (const QString& line : std::as_const(m_spec.script)) {
        const QString t = line.trimmed();
        if (!t.isEmpty() && !t.startsWith(QLatin1Char('#')))
            entries << t;
    }
    m_spec.script = entries;
}

RadiationProfile::Sample RadiationProfile::next()
{
    const long k = m_index++;
    switch (m_spec.kind) {
    case ProfileSpec::Constant:
        return {m_spec.value, {}};
    case ProfileSpec::Script: {
        if (m_spec.script.isEmpty())
            return {0, {}};
        const QString& entry = m_spec.script.at(qsizetype(k % m_spec.script.size()));
        bool ok = false;
        const double v = QString(entry).replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
        if (ok)
            return {v, {}};
        return {0, entry.toLatin1()};
    }
    case ProfileSpec::Walk:
        break;
    }
    const double home = std::log(m_spec.value > 0 ? m_spec.value : 0.12);
    std::normal_distribution<double> step(0.0, 0.05);
    m_level += step(m_rng) + 0.1 * (home - m_level);
    const double background = std::exp(m_level);
    const long phase = (k + kExcursionPeriod - kFirstExcursion) % kExcursionPeriod;
    if (phase >= kExcursionLength)
        return {background, {}};
    const double peak = kPeaks[((k + kExcursionPeriod - kFirstExcursion) / kExcursionPeriod) % 2];
    const double rise = 1.0 - std::fabs(2.0 * double(phase) / double(kExcursionLength - 1) - 1.0);
    return {background + (peak - background) * rise, {}};
}

QByteArray formatValue(double amount, bool rate, const ValueFormat& format)
{
    // Amounts in the counter's own micro unit.
    double micro = format.unit == Unit::Rem ? amount * 100.0 : amount;
    if (!std::isfinite(micro) || micro < 0)
        micro = 0;
    Prefix prefix = format.prefix;
    if (prefix == Prefix::Auto)
        prefix = micro < 1000.0 ? Prefix::Micro : micro < 1e6 ? Prefix::Milli : Prefix::None;
    const double scaled = prefix == Prefix::Micro ? micro : prefix == Prefix::Milli ? micro / 1e3 : micro / 1e6;
    int decimals = format.decimals;
    if (decimals < 0) {
        decimals = format.unit == Unit::Rem ? 1 : 3;
        // Keep about three significant digits of small values under a fixed prefix.
        if (format.prefix != Prefix::Auto && scaled > 0 && scaled < 1)
            decimals = std::max(decimals, int(std::ceil(-std::log10(scaled))) + 2);
        decimals = std::min(decimals, 12);
    }
    QByteArray text = QByteArray::number(scaled, 'f', decimals);
    text.replace('.', ',');
    text += prefix == Prefix::Micro ? " u" : prefix == Prefix::Milli ? " m" : " ";
    text += format.unit == Unit::Rem ? "rem" : "Sv";
    if (rate)
        text += "/h";
    return text;
}

} // namespace oq::sim
