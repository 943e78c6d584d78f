// SPDX-License-Identifier: MIT
#include "sensors/sampler.h"

#include "sensors/document.h"

#include <algorithm>

namespace macmon {

Sampler::Sampler(
    Roots roots, SamplerTiming timing, SysfsReader::Observer observer, std::function<void()> onTransition)
    : sensors_(std::move(roots), std::move(observer))
    , timing_(timing)
    , onTransition_(std::move(onTransition))
    , lastRequest_(orvane::Clock::now())
{
    // Sampled on the thread, waited for briefly: a stalled sensor must not block the start.
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    sampled_.wait_for(lock, timing_.wakeWait, [this] { return document_ != nullptr; });
}

Sampler::~Sampler()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool Sampler::fresh(orvane::Clock::time_point now) const
{
    return document_ && now - taken_ <= timing_.maxAge;
}

std::shared_ptr<const std::string> Sampler::document() const
{
    std::unique_lock lock(mutex_);
    const auto now = orvane::Clock::now();
    lastRequest_ = now;
    if (asleep_) {
        asleep_ = false;
        wake_.notify_all();
        if (onTransition_)
            onTransition_();
    }
    if (fresh(now))
        return document_;
    // Wait for a sample under way or about to start, but not for one that has already stalled.
    auto deadline = now + timing_.wakeWait;
    if (samplingSince_)
        deadline = std::min(deadline, *samplingSince_ + timing_.wakeWait);
    sampled_.wait_until(lock, deadline, [&] { return fresh(orvane::Clock::now()); });
    return fresh(orvane::Clock::now()) ? document_ : nullptr;
}

void Sampler::run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (orvane::Clock::now() - lastRequest_ >= timing_.idleAfter) {
            asleep_ = true;
            lock.unlock();
            sensors_.release();
            if (onTransition_)
                onTransition_();
            lock.lock();
            wake_.wait(lock, [this] { return stopping_ || !asleep_; });
            continue;
        }
        const auto started = orvane::Clock::now();
        samplingSince_ = started;
        lock.unlock();
        // Sampling happens outside the lock so that requests never wait on sysfs.
        std::shared_ptr<const std::string> doc;
        try {
            doc = std::make_shared<const std::string>(renderDocument(sensors_.sample(started)));
        } catch (const std::exception &) {
            // No document from this round; the last one ages out as if the read had stalled.
        }
        lock.lock();
        samplingSince_.reset();
        if (doc) {
            document_ = std::move(doc);
            taken_ = started;
            sampled_.notify_all();
        }
        // Timed from this sample's start, not a fixed grid: no burst of catch-up after a stall.
        const auto interval
            = sensors_.settling(orvane::Clock::now()) ? timing_.settleInterval : timing_.interval;
        wake_.wait_until(lock, started + interval, [this] { return stopping_; });
    }
}

} // namespace macmon
