// SPDX-License-Identifier: MIT
#include "sampler.h"

#include "document.h"

namespace macmon {

Sampler::Sampler(Roots roots, std::chrono::milliseconds interval)
    : sensors_(std::move(roots))
    , interval_(interval)
{
    publish();
    thread_ = std::thread([this] { run(); });
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

std::shared_ptr<const std::string> Sampler::document() const
{
    std::lock_guard lock(mutex_);
    return document_;
}

void Sampler::publish()
{
    // Sampling happens outside the lock so that requests never wait on sysfs.
    auto doc = std::make_shared<const std::string>(renderDocument(sensors_.sample()));
    std::lock_guard lock(mutex_);
    document_ = std::move(doc);
}

void Sampler::run()
{
    auto next = Clock::now() + interval_;
    std::unique_lock lock(mutex_);
    while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
        lock.unlock();
        publish();
        lock.lock();
        // A fixed cadence; after a stall (suspend) start again from now instead of catching up.
        next += interval_;
        if (next < Clock::now())
            next = Clock::now() + interval_;
    }
}

} // namespace macmon
