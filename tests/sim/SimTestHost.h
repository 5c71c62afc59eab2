#pragma once
// The computer's end of a simulated counter's line, for tests.
#include <memory>
#include <utility>

#include "platform/Clock.h"
#include "sim/SimCounter.h"

namespace oq::sim::test {

// Modelled time that moves only when the test sleeps, so a busy machine cannot stretch the gap
// between two steps of a test into seconds of the counter's time.
struct ManualClock {
    ManualClock() { oq::clock::setManual(true); }
    ~ManualClock() { oq::clock::setManual(false); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;
};

struct Host {
    std::shared_ptr<SimCounter> counter;

    explicit Host(CounterConfig config = {})
        : counter(std::make_shared<SimCounter>(config))
    {
        counter->hostConfigure(LineSettings::counter(config.baud));
        counter->replug(); // powered up only now: nothing went out while the port was still unset
    }

    void send(const QByteArray& bytes) { counter->hostWrite(bytes); }

    // Everything that arrives within `seconds` of modelled time (and what an earlier call left).
    QByteArray collect(double seconds)
    {
        QByteArray out = std::exchange(pending, {});
        const double end = oq::clock::now() + seconds;
        while (oq::clock::now() < end) {
            out += counter->hostRead(1 << 20);
            oq::clock::sleepFor(0.02);
        }
        return out + counter->hostRead(1 << 20);
    }

    // The next `lines` lines, waiting at most `seconds` of modelled time; what came after them is
    // kept for the next call. Fewer lines (and a partial one) when time runs out.
    QByteArray untilLines(int lines, double seconds = 30)
    {
        QByteArray out = std::exchange(pending, {});
        const double end = oq::clock::now() + seconds;
        while (out.count("\r\n") < lines && oq::clock::now() < end) {
            out += counter->hostRead(1 << 20);
            oq::clock::sleepFor(0.02);
        }
        qsizetype cut = 0;
        for (int i = 0; i < lines; ++i) {
            const qsizetype end = out.indexOf("\r\n", cut);
            if (end < 0)
                return out;
            cut = end + 2;
        }
        pending = out.mid(cut);
        return out.left(cut);
    }

    QByteArray pending;
};

} // namespace oq::sim::test
