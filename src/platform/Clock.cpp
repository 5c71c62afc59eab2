#include "Clock.h"

#include <atomic>
#include <cmath>
#include <thread>

namespace oq::clock {
namespace {
std::atomic<double> g_scale{1.0};
std::atomic<bool> g_manual{false};
std::atomic<double> g_manualNow{0.0};
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
    if (g_manual.load(std::memory_order_acquire)) {
        if (seconds > 0)
            g_manualNow.fetch_add(seconds, std::memory_order_acq_rel);
        return;
    }
    const auto d = scaled(seconds);
    if (d.count() > 0)
        std::this_thread::sleep_for(d);
}

double now()
{
    if (g_manual.load(std::memory_order_acquire))
        return g_manualNow.load(std::memory_order_acquire);
    const auto real = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
    return real / scale();
}

void setManual(bool on)
{
    if (on && !g_manual.load(std::memory_order_acquire))
        g_manualNow.store(now(), std::memory_order_release); // no jump back in modelled time
    g_manual.store(on, std::memory_order_release);
}

} // namespace oq::clock
