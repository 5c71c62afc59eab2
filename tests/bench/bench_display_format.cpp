// The per-reading work between a counter line and the text on screen.
#include <benchmark/benchmark.h>

#include <QLocale>
#include <QString>

#include "readings/NumberFormatter.h"
#include "readings/ValueTransformers.h"

namespace {

void BM_OnlineLine(benchmark::State& state)
{
    DeviceOnlineOutputValueTransformer reader;
    const QString lines[] = {QStringLiteral("0,123 uSv/h\r\n"), QStringLiteral("12,5 mrem\r\n"),
        QStringLiteral("PC-Mode gestartet\r\n")};
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(reader.transformedValue(lines[i++ % 3]));
}
BENCHMARK(BM_OnlineLine);

void BM_DisplayText(benchmark::State& state)
{
    QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    const DoseRateValueTransformer sv(QStringLiteral("Sv"));
    const DoseRateValueTransformer rem(QStringLiteral("rem"));
    const double values[] = {0.123, 999.5, 1500.25, 2500000.0};
    size_t i = 0;
    for (auto _ : state) {
        const double v = values[i++ % 4];
        benchmark::DoNotOptimize(sv.transformedValue(v));
        benchmark::DoNotOptimize(rem.transformedValue(v));
    }
}
BENCHMARK(BM_DisplayText);

// The display transformer is made afresh whenever a source of the display text changes.
void BM_MakeTransformerAndFormat(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(DoseRateValueTransformer::initWithUnit(QStringLiteral("Sv"))->transformedValue(0.25));
}
BENCHMARK(BM_MakeTransformerAndFormat);

void BM_TypedThreshold(benchmark::State& state)
{
    const oq::FloatingPointFormatter typed(QLocale(QStringLiteral("de_DE")));
    const QString texts[] = {QStringLiteral("1.500,25"), QStringLiteral("1.5"), QStringLiteral("abc")};
    size_t i = 0;
    double v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(typed.getObjectValue(&v, texts[i++ % 3], nullptr));
}
BENCHMARK(BM_TypedThreshold);

} // namespace

BENCHMARK_MAIN();
