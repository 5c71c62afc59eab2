#include "Clock.h"

#include <atomic>
#include <cmath>
#include <thread>

namespace oq::clock {
namespace {
std::atomic<double> g_scale{1.0};
const auto g_start = std::chrono::steady_clock::now();
} // namespace

double scale() { return g_scale.load(std::memory_order_relaxed); }

void setScale(double factor) { g_scale.store(factor > 0 ? factor : 1.0, std::memory_order_relaxed); }

std::chrono::nanoseconds scaled(double seconds)
{
    if (!(seconds > 0))
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<long long>(std::llround(seconds * scale() * 1e9)));
}

int scaledMs(double seconds)
{
    if (!(seconds > 0))
        return 0;
    return static_cast<int>(std::ceil(seconds * scale() * 1000.0));
}

void sleepFor(double seconds)
{
    const auto d = scaled(seconds);
    if (d.count() > 0)
        std::this_thread::sleep_for(d);
}

double now()
{
    const auto real = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
    return real / scale();
}

} // namespace oq::clock
