#pragma once
// The time seam: every sleep and time-out of the device link, the simulated counter and the
// controller's delayed start go through here, so tests can run them at a fraction of real time.
#include <chrono>

namespace oq::clock {

// 1.0 = real time; 0.01 = a hundred times faster.
double scale();
void setScale(double factor);

// Real milliseconds for a span of modelled seconds; rounded up, 0 for spans of 0 or less.
int scaledMs(double seconds);
std::chrono::nanoseconds scaled(double seconds);

// Sleeps for `seconds` of modelled time.
void sleepFor(double seconds);

// Modelled seconds since an arbitrary start (monotonic): real elapsed time divided by the scale.
double now();

// Detaches modelled time from the wall clock: it then moves only by sleepFor, which returns at once.
// For tests that drive a simulated counter from a single thread, so a busy machine cannot stretch
// a gap the test meant to be short. Switching it off resumes scaled real time.
void setManual(bool manual);

} // namespace oq::clock
