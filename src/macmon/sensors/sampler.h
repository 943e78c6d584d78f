// SPDX-License-Identifier: MIT
#pragma once

#include "sensors/readings.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace macmon {

struct SamplerTiming
{
    std::chrono::milliseconds interval = std::chrono::seconds(1);
    // With no request for this long the sampler sleeps: no timer, no sysfs read.
    std::chrono::milliseconds idleAfter = std::chrono::seconds(10);
    // A document older than this is not served: a stalled read must not pass for live data.
    std::chrono::milliseconds maxAge = std::chrono::seconds(3);
    // How long a request waits for the first sample after a sleep or at start.
    std::chrono::milliseconds wakeWait = std::chrono::milliseconds(250);
    // While a source settles after a wake, so that its first figure is served soon after it has one.
    std::chrono::milliseconds settleInterval = std::chrono::milliseconds(100);
};

// Samples on its own thread while someone asks and keeps the last document ready; starts with a brief wait.
class Sampler
{
public:
    // onTransition runs each time the sampler falls asleep or wakes: the moments a service may look after
    // itself without a timer of its own.
    explicit Sampler(Roots roots, SamplerTiming timing = {}, SysfsReader::Observer observer = {},
        std::function<void()> onTransition = {});
    ~Sampler();
    Sampler(const Sampler &) = delete;
    Sampler &operator=(const Sampler &) = delete;

    // The last document, waking the sampler if it sleeps; nullptr when no fresh sample is at hand.
    std::shared_ptr<const std::string> document() const;

private:
    void run();
    bool fresh(orvane::Clock::time_point now) const;

    Sensors sensors_;
    const SamplerTiming timing_;
    const std::function<void()> onTransition_;
    mutable std::mutex mutex_;
    mutable std::condition_variable wake_; // to the sampling thread
    mutable std::condition_variable sampled_; // to requests waiting for a sample
    bool stopping_ = false;
    mutable bool asleep_ = false;
    mutable orvane::Clock::time_point lastRequest_;
    std::optional<orvane::Clock::time_point> samplingSince_;
    std::shared_ptr<const std::string> document_;
    orvane::Clock::time_point taken_ {};
    std::thread thread_;
};

} // namespace macmon
