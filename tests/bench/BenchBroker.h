#pragma once
// A benchmark's own mosquitto, started as the MQTT tests start it, with a subscriber to everything.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>

#include "mqtt/TestBroker.h"

namespace oq::bench {

struct BenchBroker {
    explicit BenchBroker(const QString& dir)
        : broker(dir, {})
    {
    }
    // False, with the run skipped, when mosquitto did not start; else the subscriber is subscribed.
    bool start(benchmark::State& state)
    {
        if (!broker.start()) {
            state.SkipWithError("mosquitto did not start");
            return false;
        }
        subscriber = std::make_unique<oq::test::Subscriber>(broker.port());
        while (!subscriber->subscribed())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return true;
    }

    oq::test::TestBroker broker;
    std::unique_ptr<oq::test::Subscriber> subscriber;
};

} // namespace oq::bench
